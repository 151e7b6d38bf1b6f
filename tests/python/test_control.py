"""cvole driving the registered CVSRVA.OCX against cvserverd on loopback:
binding, the server properties, the module and command-file operations,
server parameters, the control's errors, and design mode."""

import gc
import time

import pytest

import cvole

PROGID = "CvSrvAdmLib.CvServerAdminCtrl.1"
CLSID = "{EC747AF1-8EF6-11D0-B375-0000E20315E2}"
READ_ONLY = ["CorvaneVersion", "Description", "DirectoryInstalled", "ShortName", "TotalConnections",
             "UsedConnections", "Company", "ActiveConnections"]


def raised(call):
    with pytest.raises(cvole.DispatchError) as e:
        call()
    return e.value


@pytest.fixture
def control():
    ctl = cvole.Dispatch(PROGID)
    yield ctl
    del ctl
    gc.collect()


@pytest.fixture
def bound(agent, control):
    control.FullName = r"\\SRV1"
    return control


@pytest.fixture
def apache(agent):
    """Makes sure the test's module is unloaded afterwards."""
    yield agent
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\SRV1"
    ctl.UnloadQRX("APACHE2")


def running(pid):
    """Whether the process lives (a zombie waiting for its parent does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return not f.read().rsplit(") ", 1)[1].startswith("Z")
    except FileNotFoundError:
        return False


def wait_gone(pid, seconds=5):
    deadline = time.monotonic() + seconds
    while running(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


# ---- binding and server properties ------------------------------------------------------

def test_binding_by_plain_name(agent, control):
    control.FullName = r"\\srv1"
    assert control.FullName == r"\\SRV1"
    assert control.ShortName == "SRV1"


@pytest.mark.parametrize("name, value", [
    ("CorvaneVersion", "6.5"),
    ("Description", "Web server of the sales office"),
    ("Company", "Corvane Software"),
    ("ShortName", "SRV1"),
    ("DirectoryInstalled", False),
    ("TotalConnections", 40000 - 65536),  # a signed 16-bit number
    ("UsedConnections", 1),
])
def test_server_properties(bound, name, value):
    got = getattr(bound, name)
    assert got == value and type(got) is type(value)


def test_creation_by_clsid_and_through_raw_dispids(agent):
    ctl = cvole.Dispatch(CLSID)
    ctl.invoke(1, cvole.DISPATCH_PROPERTYPUT, r"\\SRV1")
    assert ctl.invoke(5, cvole.DISPATCH_PROPERTYGET) == "SRV1"
    assert ctl.invoke(2, cvole.DISPATCH_PROPERTYGET | cvole.DISPATCH_METHOD) == "6.5"


@pytest.mark.parametrize("name, code, text", [
    (r"\\NOSUCH", 34831, "No licensed connection to the server"),
    (r"\\SRV1.X", 52737, "Invalid name format"),
    (r"CDS:\\TREE\SRV1", 52737, "Invalid name format"),
    (r"\\A\B\C", 52737, "Invalid name format"),
])
def test_binding_failures(agent, control, name, code, text):
    err = raised(lambda: setattr(control, "FullName", name))
    assert (err.code, err.description, err.source, str(err)) == (code, text, "CVSRVA", f"{text} (code {code})")
    assert err.hresult == cvole.DISP_E_EXCEPTION


def test_a_failed_binding_is_what_the_operations_report(agent, control):
    raised(lambda: setattr(control, "FullName", r"\\NOSUCH"))
    err = raised(lambda: control.LoadQRX("apache2.qrx", ""))
    assert (err.code, err.description) == (34831, "No licensed connection to the server")


@pytest.mark.parametrize("name", READ_ONLY)
def test_properties_of_an_unbound_control(control, name):
    err = raised(lambda: getattr(control, name))
    assert (err.code, err.description) == (52757, "Control not initialized")


@pytest.mark.parametrize("name", READ_ONLY)
def test_read_only_properties_refuse_a_put(bound, name):
    err = raised(lambda: setattr(bound, name, "x"))
    assert (err.code, err.scode, err.description) == (383, cvole.CTL_E_SETNOTSUPPORTED, "Property is read-only")


@pytest.mark.parametrize("call", [
    lambda c: c.UnloadQRX("APACHE2"),
    lambda c: c.LoadQRX("apache2.qrx", ""),
    lambda c: c.ExecuteProfile("start.qbt"),
    lambda c: c.Parameters("Server Banner"),
])
def test_operations_of_a_never_bound_control(control, call):
    err = raised(lambda: call(control))
    assert (err.code, err.description, str(err)) == (34817, "Invalid connection", "Invalid connection (code 34817)")


# ---- design mode --------------------------------------------------------------------------

def test_design_mode(agent):
    ctl = cvole.Dispatch(PROGID, user_mode=False)
    assert [getattr(ctl, n) for n in READ_ONLY[:7]] == ["", "", False, "", 0, 0, ""]
    ctl.FullName = r"CDS:\\TREE\SRV1"  # rejected without a word
    assert ctl.FullName == ""
    ctl.FullName = r"\\NOSUCH"
    assert ctl.FullName == ""
    assert ctl.Parameters("Server Banner") is None
    err = raised(lambda: ctl.UnloadQRX("APACHE2"))  # the not-bound rule holds in both modes
    assert err.code == 34831
    ctl.FullName = r"\\SRV1"
    assert ctl.CorvaneVersion == "6.5" and ctl.Parameters("No Such Parameter") is None
    user = cvole.Dispatch(PROGID)
    user.FullName = r"\\SRV1"
    assert raised(lambda: user.Parameters("No Such Parameter")).code == 35327


# ---- modules and command files ------------------------------------------------------------

def test_load_and_unload_a_module(bound, apache):
    assert bound.LoadQRX("apache2.qrx", "") is True
    pid = apache.module_pid("APACHE2")
    assert pid and running(pid)
    assert bound.LoadQRX("apache2.qrx", "") is False, "a loaded module is not loaded twice"
    assert bound.UnloadQRX("apache2 shutdown") is True
    assert wait_gone(pid)
    assert bound.UnloadQRX("apache2 shutdown") is False
    assert bound.LoadQRX("APACHE2", "") is True
    assert bound.UnloadQRX("apache2.qrx") is True


def test_load_passes_the_parameters(bound, apache):
    assert bound.LoadQRX("apache2.qrx", "--print started") is True
    argv = apache.module_argv("APACHE2")
    assert argv[-2:] == ["--print", "started"]


def test_raw_method_call(bound, apache):
    assert bound.invoke(11, cvole.DISPATCH_METHOD, "apache2.qrx", "") is True
    assert bound.invoke(12, cvole.DISPATCH_METHOD, "apache2 shutdown") is True


@pytest.mark.parametrize("qbt, ok", [("start.qbt", True), ("STOP", True), ("broken.qbt", False), ("missing.qbt", False),
                                     ("../start.qbt", False)])
def test_command_files(bound, apache, qbt, ok):
    if qbt == "STOP":
        assert bound.ExecuteProfile("start.qbt")
    assert bound.ExecuteProfile(qbt) is ok


# ---- server parameters --------------------------------------------------------------------

@pytest.mark.parametrize("name, value", [
    ("Server Banner", "Hello"),
    ("server banner", "Hello"),
    ("MINIMUM PACKET RECEIVE BUFFERS", 50),
])
def test_parameters_get(bound, name, value):
    got = bound.Parameters(name)
    assert got == value and type(got) is type(value)


def test_unknown_parameter(bound):
    err = raised(lambda: bound.Parameters("No Such Parameter"))
    assert (err.code, err.description) == (35327, "Failure")


@pytest.mark.parametrize("name, value, stored", [
    ("Maximum Packet Receive Buffers", 600, 600),
    ("Maximum Packet Receive Buffers", "100", 100),  # refused as text, taken as a number
    ("Maximum Packet Receive Buffers", cvole.Variant(cvole.VT_I2, 7), 7),
    ("Maximum Packet Receive Buffers", 12.6, 13),
    ("Maximum Packet Receive Buffers", "seven", 500),  # neither text nor number: dropped without a word
    ("Server Banner", "Welcome", "Welcome"),
    ("Server Banner", 5, "5"),  # refused as a number, taken as text
    ("Server Banner", True, "-1"),
])
def test_parameters_put(bound, name, value, stored):
    before = bound.Parameters(name)
    bound.set("Parameters", name, 500 if type(before) is int else "Hello")
    try:
        bound.set("Parameters", name, value)
        assert bound.Parameters(name) == stored
    finally:
        bound.set("Parameters", name, before)


def test_a_value_no_parameter_takes_is_refused(bound):
    err = raised(lambda: bound.set("Parameters", "Minimum Packet Receive Buffers", 1e20))
    assert (err.code, err.scode, err.description) == (380, cvole.CTL_E_INVALIDPROPERTYVALUE, "Invalid property value")
    assert bound.Parameters("Minimum Packet Receive Buffers") == 50


def test_parameters_put_through_dispid(bound):
    bound.invoke(14, cvole.DISPATCH_PROPERTYPUT, "Minimum Packet Receive Buffers", 64)
    assert bound.invoke(14, cvole.DISPATCH_PROPERTYGET, "Minimum Packet Receive Buffers") == 64
    bound.set("Parameters", "Minimum Packet Receive Buffers", 50)


# ---- the host's side ----------------------------------------------------------------------

def test_the_type_library_tells_methods_from_properties(control):
    for name in ["LoadQRX", "UnloadQRX", "ExecuteProfile", "Call", "Parameters", "AboutBox"]:
        assert isinstance(getattr(control, name), cvole.Method), name
    assert {"FullName", "Parameters", "AboutBox"} <= set(dir(control))
    assert "_DCvServerAdmin" in repr(control)


def test_controls_leave_nothing_behind(agent):
    gc.collect()
    strings = cvole._live_bstr_count()
    for _ in range(20):
        ctl = cvole.Dispatch(PROGID)
        ctl.FullName = r"\\SRV1"
        assert ctl.CorvaneVersion == "6.5" and ctl.Parameters("Server Banner")
        raised(lambda: setattr(ctl, "FullName", r"\\SRV1.X"))
        del ctl
    gc.collect()
    assert cvole._live_bstr_count() == strings
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\SRV1"
    assert ctl.UsedConnections == 1, "one connection per process, released by every control"


# ---- a registry file that cannot be read ----------------------------------------------------

@pytest.mark.parametrize("name", [PROGID, CLSID])
def test_a_malformed_registry_is_named_with_line_and_reason(tmp_path, monkeypatch, name):
    broken = tmp_path / "registry.reg"
    text = "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\CLSID]\r\n@=dword:12\r\n"
    broken.write_bytes(text.encode())
    monkeypatch.setenv("OLE_REGISTRY", str(broken))
    with pytest.raises(cvole.ComError) as e:
        cvole.Dispatch(name)
    assert f"the registry cannot be read: {broken}:4: malformed dword value" in str(e.value)
    assert broken.read_bytes() == text.encode()
