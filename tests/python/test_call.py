"""The control's Call end to end: cvole drives CVSRVA.OCX against cvserverd
with the call service module cvrfcd loaded."""

import os
import subprocess
import sys

import pytest

import cvole
from conftest import build_path

PROGID = "CvSrvAdmLib.CvServerAdminCtrl.1"
SERVICE = "CvSrvA Remote Function Calls"


def raised(call):
    with pytest.raises(cvole.DispatchError) as e:
        call()
    return e.value


def write_service(agent, name, exec_line):
    agent.write(f"SYS/SYSTEM/{name}.qrx",
                f"exec = {exec_line}\nservices = [\"{SERVICE}\"]\nready = {{ service = true }}\n"
                "stop_timeout_ms = 2000\n")


@pytest.fixture(scope="module")
def rfc(agent):
    """The call service loaded on the session's agent for this module's tests."""
    write_service(agent, "RFC", f'["{build_path("CVOLE_RFCD")}"]')
    write_service(agent, "CRASHRFC", f'["{build_path("CVOLE_TESTMODULE")}", "--service", "crash"]')
    echo = agent.volume / "SYSTEM" / "ECHO.BAS"
    echo.write_bytes(build_path("CVOLE_ECHO_BAS").read_bytes())
    echo.chmod(0o755)
    tester = build_path("CVOLE_TESTMODULE")
    agent.write("SYS/SYSTEM/GOODWEB.qrx", f'exec = ["{tester}"]\nready = {{ alive_ms = 100 }}\n'
                f'preflight = ["{tester}", "--print", "Syntax OK", "--exit", "0"]\n')
    agent.write("SYS/SYSTEM/BADWEB.qrx", f'exec = ["{tester}"]\nready = {{ alive_ms = 100 }}\n'
                f'preflight = ["{tester}", "--print-err", "Syntax error on line 3", "--exit", "1"]\n')
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\SRV1"
    assert ctl.LoadQRX("RFC", ""), agent.log()
    yield ctl
    ctl.UnloadQRX("RFC")


def test_every_parameter_type_through_echo(rfc):
    assert rfc.Call("ECHO", 42) == 42
    assert rfc.Call("ECHO", -2.25) == -2.25
    assert rfc.Call("ECHO", "text") == "text"
    assert rfc.Call("ECHO", True) is True
    assert rfc.Call("ECHO", cvole.Variant(cvole.VT_I2, -3)) == -3
    assert rfc.Call("ECHO", cvole.Variant(cvole.VT_R4, 0.5)) == 0.5
    assert rfc.Call("ECHO", cvole.Variant(cvole.VT_UI4, 4000000000)) == 4000000000
    r = rfc.Call("ECHO", 1, "two", 3.5, False)
    assert (r.P1, r.P2, r.P3, r.P4) == (1, "two", 3.5, False)


def test_a_result_object_changed_and_sent_back(rfc):
    info = rfc.Call("SERVER.INFO")
    assert (info.NAME, info.VERSION, info.MODULES) == ("SRV1", "6.5.2", 1)
    assert info.UPTIME >= 0
    info.NAME = "renamed"
    back = rfc.Call("ECHO", info)
    assert back.NAME == "renamed"
    assert back.VERSION == "6.5.2"
    nested = rfc.Call("ECHO", back, "x")
    assert nested.P1.NAME == "renamed"
    assert nested.P2 == "x"


def test_configuration_test_good_and_broken(rfc):
    good = rfc.Call("APACHE.CONFIGTEST", "goodweb")
    assert good.OK is True and "Syntax OK" in good.OUTPUT
    bad = rfc.Call("APACHE.CONFIGTEST", "BADWEB")
    assert bad.OK is False and "Syntax error on line 3" in bad.OUTPUT


def test_script_with_a_negative_integer_and_a_real(rfc):
    r = rfc.Call("echo.bas", -7, 2.5)
    assert (r.P1, r.P2) == (-7, 2.5)


def test_errors_are_read_by_name(rfc):
    assert rfc.Call("NO.SUCH").ERROR.CODE == 1
    assert "inside the volume" in rfc.Call("FILE.TAIL", "../agent.toml", 1).ERROR.TEXT


def test_non_operator_running_a_script(agent, rfc):
    # A process of its own, logged in as a user without operator rights.
    ini = agent.write_client_ini("GUEST", name="guest.ini", export=False)
    code = (
        "import cvole\n"
        f"c = cvole.Dispatch('{PROGID}')\n"
        "c.FullName = r'\\\\SRV1'\n"
        "print(c.Call('SERVER.INFO').NAME)\n"
        "try:\n"
        "    c.Call('ECHO.BAS', 1)\n"
        "except cvole.DispatchError as e:\n"
        "    print(e.code, e.description)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "CORVANE_CLIENT": str(ini)})
    assert done.stdout == "SRV1\n52756 The user does have console privileges.\n", done.stderr


def test_service_gone_and_a_crashing_service(agent, rfc):
    assert rfc.UnloadQRX("RFC")
    try:
        err = raised(lambda: rfc.Call("SERVER.INFO"))
        assert (err.code, err.description) == (52755, "Qrx is not running")
        assert rfc.LoadQRX("CRASHRFC", "")
        err = raised(lambda: rfc.Call("ECHO", 1))
        assert (err.code, err.description) == (35082, "Invalid connection from the QRX.")
        rfc.UnloadQRX("CRASHRFC")
    finally:
        assert rfc.LoadQRX("RFC", ""), agent.log()
    assert rfc.Call("ECHO", 5.5) == 5.5


def test_server_status_example(rfc):
    done = subprocess.run([sys.executable, str(build_path("CVOLE_EXAMPLES") / "server_status.py"), "SRV1", "RFC",
                           "NOSUCH"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("Server   SRV1 (version 6.5.2), up ")
    assert lines[1].startswith("Volume   ") and " MB free of " in lines[1]
    assert lines[2].startswith("RFC      running, process ")
    assert lines[3] == "NOSUCH   not loaded"
