"""The example scripts, run as an administrator runs them, against the
session's cvserverd."""

import os
import shlex
import signal
import socket
import subprocess
import sys
import time

import pytest

import cvole
from conftest import build_path

PROGID = "CvSrvAdmLib.CvServerAdminCtrl.1"


def run(script, *args):
    return subprocess.run([sys.executable, str(build_path("CVOLE_EXAMPLES") / script), *args],
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def control(agent):
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\SRV1"
    yield ctl
    ctl.UnloadQRX("APACHE2")


def test_restart_of_a_running_apache(agent, control):
    assert control.LoadQRX("apache2.qrx", "")
    before = agent.module_pid("APACHE2")
    done = run("restart_apache.py", "SRV1")
    assert (done.returncode, done.stdout, done.stderr) == (0, "Apache was successfully restarted on SRV1.\n", "")
    after = agent.module_pid("APACHE2")
    assert after and after != before
    assert control.LoadQRX("apache2.qrx", "") is False, "running again after the restart"


def test_restart_of_a_stopped_apache_fails(agent, control):
    done = run("restart_apache.py", "srv1")
    assert (done.returncode, done.stdout) == (1, "An error occurred while restarting Apache on srv1.\n")
    assert control.UnloadQRX("apache2 shutdown") is False, "the failed unload ended the chain: nothing was loaded"


@pytest.mark.parametrize("script", ["restart_apache.py", "who.py", "broadcast.py"])
def test_scripts_report_the_controls_error(agent, script):
    done = run(script, "NOSUCH", *(["hello"] if script == "broadcast.py" else []))
    assert done.returncode == (2 if script == "restart_apache.py" else 1)
    assert done.stderr == f"{script}: NOSUCH: No licensed connection to the server (code 34831)\n"
    assert done.stdout == ""


@pytest.fixture
def guest(agent):
    """cvcli logged in as GUEST, waiting for a message; listed once it runs."""
    ini = agent.write_client_ini("GUEST", name="client-GUEST.ini", export=False)
    process = subprocess.Popen([str(build_path("CVOLE_CVCLI")), "SRV1", "messages", "--wait", "30000"],
                               env=dict(os.environ, CORVANE_CLIENT=str(ini)), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\SRV1"
    conns = ctl.ActiveConnections
    deadline = time.monotonic() + 10
    while "GUEST" not in [c.ShortName for c in conns]:
        assert time.monotonic() < deadline, "GUEST never logged in"
        time.sleep(0.05)
        conns.Refresh()
    yield process
    if process.poll() is None:
        process.kill()
    process.communicate()


def test_who_lists_the_connections(agent, guest):
    done = run("who.py", "SRV1")
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["Conn", "User", "Login", "time", "Address"]
    rows = {line.split()[1]: line.split() for line in lines[1:]}
    assert {"ADMIN", "GUEST"} <= set(rows), done.stdout
    assert rows["GUEST"][4] == "127.0.0.1"
    numbers = [int(line.split()[0]) for line in lines[1:]]
    assert numbers == sorted(numbers)


def test_broadcast_reaches_every_connection(agent, guest):
    done = run("broadcast.py", "SRV1", "Backup", "starts", "now")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Sent to ") and done.stdout.endswith(" connections of SRV1.\n")
    out, err = guest.communicate(timeout=10)
    assert (guest.returncode, out) == (0, "Backup starts now\n"), err


def read_env(path):
    """The variables of the demo's env file (export NAME=VALUE lines)."""
    values = {}
    for line in path.read_text().splitlines():
        words = shlex.split(line)
        assert words[0] == "export" and len(words) == 2, line
        name, value = words[1].split("=", 1)
        values[name] = value
    return values


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


def test_examples_against_the_demo_servers(tmp_path):
    folder = tmp_path / "demo"
    demo = subprocess.Popen([str(build_path("CVOLE_DEMO")), "--servers", "--dir", str(folder), "--no-setup",
                             "--no-build", "--build", str(build_path("CVOLE_BUILD_DIR"))],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    receiver = None
    try:
        deadline = time.monotonic() + 60
        while not (folder / "env").exists():
            assert demo.poll() is None, demo.communicate()[0]
            assert time.monotonic() < deadline, "the demo never wrote its env file"
            time.sleep(0.1)
        values = read_env(folder / "env")
        assert set(values) == {"OLE_REGISTRY", "CORVANE_CLIENT", "PYTHONPATH"}
        env = dict(os.environ, **values)
        agent_port = int((folder / "cvserverd.port").read_text())

        receiver = subprocess.Popen([str(build_path("CVOLE_CVCLI")), "DEMO1", "messages", "--wait", "30000"], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10
        while True:
            who = subprocess.run([sys.executable, str(build_path("CVOLE_EXAMPLES") / "who.py"), "DEMO1"], env=env,
                                 capture_output=True, text=True, timeout=60)
            assert who.returncode == 0, who.stderr
            users = [line.split()[1] for line in who.stdout.splitlines()[1:]]
            if users.count("ADMIN") == 2:  # the receiver and who.py itself
                break
            assert time.monotonic() < deadline, who.stdout
            time.sleep(0.1)
        sent = subprocess.run([sys.executable, str(build_path("CVOLE_EXAMPLES") / "broadcast.py"), "DEMO1", "Hello", "demo"],
                              env=env, capture_output=True, text=True, timeout=60)
        assert (sent.returncode, sent.stderr) == (0, ""), sent.stdout
        out, err = receiver.communicate(timeout=10)
        assert (receiver.returncode, out) == (0, "Hello demo\n"), err
    finally:
        # Ctrl-C in the demo's terminal: SIGINT to its process group.
        os.killpg(demo.pid, signal.SIGINT)
        log = demo.communicate(timeout=30)[0]
        if receiver and receiver.poll() is None:
            receiver.kill()
            receiver.communicate()
    assert demo.returncode == 0, log
    assert not (folder / "env").exists()
    assert not port_open(agent_port), "cvserverd still listens"
