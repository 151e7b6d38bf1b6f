"""The control's connections collection through cvole against cvserverd, with
real clients in other processes (cvcli waiting for messages): the listing,
SendMessage to one client, SendBroadCast to all, Remove, the refusals for
non-operators, and an IPv6 peer's address."""

import datetime
import json
import os
import socket
import subprocess
import sys
import time

import pytest

import cvole
from conftest import SERVER, Agent, build_path

PROGID = "CvSrvAdmLib.CvServerAdminCtrl.1"
USERS = {
    "ADMIN": ("admin-secret", True),
    "GUEST": ("guest-secret", False),
    "ALICE": ("alice-secret", False),
    "BOB": ("bob-secret", False),
    "CAROL": ("carol-secret", False),
    "EVE": ("eve-secret", False),
}


@pytest.fixture(scope="module")
def server(tmp_path_factory, registry):
    a = Agent(tmp_path_factory.mktemp("connections"), USERS)
    a.start()
    a.write_client_ini("ADMIN")
    yield a
    a.stop()


@pytest.fixture
def control(server):
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = "\\\\" + SERVER
    return ctl


class Client:
    """cvcli waiting for the messages of its own connection, as user."""

    def __init__(self, server, user, wait_ms=30000):
        self.user = user
        ini = server.write_client_ini(user, name=f"client-{user}.ini", export=False)
        self.process = subprocess.Popen(
            [str(build_path("CVOLE_CVCLI")), SERVER, "messages", "--wait", str(wait_ms)],
            env=dict(os.environ, CORVANE_CLIENT=str(ini)), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish(self, timeout=10):
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out, err

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
        self.process.communicate()


@pytest.fixture
def clients(server):
    started = []

    def start(*users):
        new = [Client(server, u) for u in users]
        started.extend(new)
        return new

    yield start
    for c in started:
        c.stop()


def names(conns):
    return [c.ShortName for c in conns]


def wait_for(conns, predicate, timeout=10):
    """Refreshes conns until predicate(names) holds."""
    deadline = time.monotonic() + timeout
    while True:
        conns.Refresh()
        if predicate(names(conns)):
            return
        assert time.monotonic() < deadline, f"still listed: {names(conns)}"
        time.sleep(0.05)


def each_once(*users):
    return lambda n: all(n.count(u) == 1 for u in users)


def entry(conns, user):
    found = [c for c in conns if c.ShortName == user]
    assert len(found) == 1, names(conns)
    return found[0]


def test_lists_every_client_in_ascending_order(control, clients):
    before = datetime.datetime.now().replace(microsecond=0) - datetime.timedelta(seconds=1)
    clients("ALICE", "BOB", "CAROL")
    conns = control.ActiveConnections
    wait_for(conns, each_once("ALICE", "BOB", "CAROL"))
    after = datetime.datetime.now() + datetime.timedelta(seconds=1)

    listed = list(conns)
    assert conns.Count == len(listed) == 4, names(conns)
    assert listed[0].ShortName == "ADMIN", "logged in first, by binding"
    assert sorted(c.ShortName for c in listed[1:]) == ["ALICE", "BOB", "CAROL"]
    numbers = [c.ConnectionNumber for c in listed]
    assert numbers == sorted(numbers) and len(set(numbers)) == 4
    for i, c in enumerate(listed):
        assert c.FullName == f"\\\\{SERVER}\\{c.ShortName}"
        assert c.NetworkAddress == "127.0.0.1"
        assert c.ConnectionType == 11
        assert isinstance(c.LoginTime, datetime.datetime)
        assert c.ConnectionNumber == conns.Item(i).ConnectionNumber
    assert all(before <= c.LoginTime <= after for c in listed[1:]), [c.LoginTime for c in listed]
    for bad in (-1, conns.Count):
        with pytest.raises(cvole.DispatchError) as e:
            conns.Item(bad)
        assert (e.value.code, e.value.description) == (0xCE10, "Exceeds the limit")
    with pytest.raises(cvole.DispatchError) as e:
        conns.Remove(max(numbers) + 1)
    assert e.value.code == 0xCE10


def test_send_message_reaches_one_client_and_broadcast_all(control, clients):
    alice, bob, carol = clients("ALICE", "BOB", "CAROL")
    conns = control.ActiveConnections
    wait_for(conns, each_once("ALICE", "BOB", "CAROL"))

    entry(conns, "BOB").SendMessage("For Bob only")
    assert bob.finish() == (0, "For Bob only\n", "")
    assert alice.running() and carol.running()

    wait_for(conns, lambda n: "BOB" not in n)
    conns.SendBroadCast("Server goes down at noon")
    assert alice.finish() == (0, "Server goes down at noon\n", ""), "Alice never saw Bob's message"
    assert carol.finish() == (0, "Server goes down at noon\n", "")


def test_remove_disconnects_the_client(server, control, clients):
    (eve,) = clients("EVE")
    conns = control.ActiveConnections
    wait_for(conns, each_once("EVE"))
    count = conns.Count
    removed = entry(conns, "EVE")
    number = removed.ConnectionNumber
    # The client library would log in again at once; with a wrong password
    # that fails, so the client reports the lost connection and ends.
    (server.root / "pw-EVE").write_text("not the password\n")

    conns.Remove(number)
    assert conns.Count == count - 1
    assert "EVE" not in names(conns)
    status, out, err = eve.finish()
    assert (status, out) == (1, ""), err
    assert err.startswith("cvcli: messages:"), err
    conns.Refresh()
    assert "EVE" not in names(conns)
    assert number not in [c.ConnectionNumber for c in conns]
    assert removed.ShortName == "EVE", "the client's reference keeps its old values"
    assert f"connection {number} cleared by connection" in server.log()


GUEST_SCRIPT = r"""
import json, sys
import cvole
ctl = cvole.Dispatch("CvSrvAdmLib.CvServerAdminCtrl.1")
ctl.FullName = "\\\\" + sys.argv[1]
conns = ctl.ActiveConnections
other = [c for c in conns if c.ShortName == "ADMIN"][0]
out = {"names": [c.ShortName for c in conns], "address": other.NetworkAddress, "type": other.ConnectionType}
for what, call in [("broadcast", lambda: conns.SendBroadCast("hello")),
                   ("message", lambda: other.SendMessage("hello")),
                   ("remove", lambda: conns.Remove(other.ConnectionNumber))]:
    try:
        call()
        out[what] = None
    except cvole.DispatchError as e:
        out[what] = [e.code, e.description]
out["count"] = conns.Count
print(json.dumps(out))
"""


def run_as(server, user):
    ini = server.write_client_ini(user, name=f"client-{user}.ini", export=False)
    done = subprocess.run([sys.executable, "-c", GUEST_SCRIPT, SERVER], env=dict(os.environ, CORVANE_CLIENT=str(ini)),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_non_operators_list_but_are_refused_the_rest(server, control):
    control.ActiveConnections  # ADMIN is logged in
    out = run_as(server, "GUEST")
    assert {"ADMIN", "GUEST"} <= set(out["names"])
    refused = [35270, "The user does have console privileges."]
    assert (out["broadcast"], out["message"], out["remove"]) == (refused, refused, refused)
    assert out["count"] == len(out["names"]), "a refused Remove leaves the collection"


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback on this machine")
def test_an_ipv6_peer_is_reported_with_the_low_96_bits(tmp_path_factory, registry):
    v6 = Agent(tmp_path_factory.mktemp("ipv6"), USERS, host="::1")
    v6.start()
    try:
        v6.write_client_ini("ADMIN", name="client-v6-ADMIN.ini", export=False)
        out = run_as(v6, "ADMIN")
    finally:
        v6.stop()
    assert (out["address"], out["type"]) == ("00000000:000000000000:0001", 23)
