"""The example scripts, run as an administrator runs them, against the
session's cvserverd."""

import os
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
