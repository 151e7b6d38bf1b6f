"""The example scripts, run as an administrator runs them, against the
session's cvserverd."""

import subprocess
import sys

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


@pytest.mark.parametrize("script", ["restart_apache.py", "who.py"])
def test_scripts_report_the_controls_error(agent, script):
    done = run(script, "NOSUCH")
    assert done.returncode == (2 if script == "restart_apache.py" else 1)
    assert done.stderr == f"{script}: NOSUCH: No licensed connection to the server (code 34831)\n"
    assert done.stdout == ""


def test_who_lists_the_connections_or_says_why_not(agent):
    done = run("who.py", "SRV1")
    assert "Traceback" not in done.stderr
    if done.returncode == 0:
        lines = done.stdout.splitlines()
        assert lines[0].split() == ["Conn", "User", "Login", "time"]
        assert any(line.split()[1] == "ADMIN" for line in lines[1:]), done.stdout
    else:
        # Until the control serves its connections collection it raises its
        # generic error, which the script must pass on as it is.
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.startswith("who.py: SRV1: Corvane error (0x80004005)"), done.stderr
