"""The registered CVSRVA.OCX binding through the directory: a private slapd on
loopback with the tree ACME (its SRV1 object pointing at the session's
cvserverd), reached by the real client library."""

import gc
import os
import pathlib
import socket
import subprocess
import time

import pytest

import cvole
from conftest import build_path

PROGID = "CvSrvAdmLib.CvServerAdminCtrl.1"
BASE = "dc=corvane,dc=test"


def raised(call):
    with pytest.raises(cvole.DispatchError) as e:
        call()
    return e.value


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def user(name, ou, uid):
    lower = name.lower()
    return (f"dn: cn={name},ou={ou},o=ACME,{BASE}\nobjectClass: inetOrgPerson\nobjectClass: posixAccount\n"
            f"cn: {name}\nsn: {name}\nuid: {lower}\nuidNumber: {uid}\ngidNumber: 100\n"
            f"homeDirectory: /home/{lower}\nuserPassword: {lower}-secret\n\n")


class Slapd:
    """slapd with its own configuration and database in root; never the system's."""

    def __init__(self, root, srv1_address, big=2000):
        self.root = root
        self.process = None
        conf = root / "slapd.conf"
        (root / "db").mkdir()
        conf.write_text(
            "include /etc/ldap/schema/core.schema\ninclude /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/nis.schema\ninclude /etc/ldap/schema/inetorgperson.schema\n"
            f"include {build_path('CVOLE_SCHEMA')}\n"
            f"pidfile {root}/slapd.pid\nargsfile {root}/slapd.args\n"
            "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
            "sizelimit size.soft=500 size.hard=500 size.prtotal=unlimited\n"
            "access to attrs=userPassword by self read by anonymous auth by * none\n"
            "access to * by * read\n"
            f'database mdb\nmaxsize 268435456\nsuffix "{BASE}"\nrootdn "cn=manager,{BASE}"\nrootpw manager-secret\n'
            f"directory {root}/db\n")
        ldif = [f"dn: {BASE}\nobjectClass: dcObject\nobjectClass: organization\ndc: corvane\no: Corvane test\n\n",
                f"dn: o=ACME,{BASE}\nobjectClass: organization\no: ACME\n\n",
                f"dn: ou=SALES,o=ACME,{BASE}\nobjectClass: organizationalUnit\nou: SALES\n\n",
                f"dn: cn=SRV1,ou=SALES,o=ACME,{BASE}\nobjectClass: kcpServer\ncn: SRV1\n"
                f"kcpNetworkAddress: {srv1_address}\ndescription: Sales file server in the directory\n\n",
                f"dn: cn=SRV2,ou=SALES,o=ACME,{BASE}\nobjectClass: kcpServer\ncn: SRV2\n"
                f"kcpNetworkAddress: 127.0.0.1:1\n\n",
                user("JSMITH", "SALES", 1001), user("ADMIN", "SALES", 1000),
                f"dn: ou=BIG,o=ACME,{BASE}\nobjectClass: organizationalUnit\nou: BIG\n\n"]
        ldif += [f"dn: cn=OBJ{i:05},ou=BIG,o=ACME,{BASE}\nobjectClass: device\ncn: OBJ{i:05}\n\n"
                 for i in range(1, big + 1)]
        (root / "tree.ldif").write_text("".join(ldif))
        subprocess.run(["/usr/sbin/slapadd", "-q", "-f", str(conf), "-l", str(root / "tree.ldif")], check=True,
                       capture_output=True)
        # A port found free can be taken before slapd binds it (by another
        # test's connection): slapd then stops at once, and a new port is tried.
        with open(root / "slapd.log", "ab") as log:
            for _ in range(5):
                self.port = free_port()
                self.process = subprocess.Popen(["/usr/sbin/slapd", "-h", f"ldap://127.0.0.1:{self.port}/", "-f",
                                                 str(conf), "-d", "none"], stdout=log, stderr=subprocess.STDOUT)
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline and self.process.poll() is None:
                    try:
                        socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                        if self.process.poll() is None:
                            return
                    except OSError:
                        time.sleep(0.02)
                self.stop()
        raise RuntimeError("slapd did not start: " + (root / "slapd.log").read_text()[-500:])

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


@pytest.fixture(scope="module")
def directory(tmp_path_factory, agent):
    slapd = Slapd(tmp_path_factory.mktemp("slapd"), f"127.0.0.1:{agent.port}")
    ini = pathlib.Path(os.environ["CORVANE_CLIENT"])
    saved = ini.read_text()
    ini.write_text(saved + f"[Trees]\nACME=ldap://127.0.0.1:{slapd.port}/{BASE}\n")
    yield slapd
    ini.write_text(saved)
    slapd.stop()


@pytest.fixture
def control(directory):
    ctl = cvole.Dispatch(PROGID)
    yield ctl
    del ctl
    gc.collect()


def test_browse_name_binds_through_the_directory(control):
    control.FullName = r"cds:\\acme\acme\sales\srv1"
    assert control.FullName == r"CDS:\\ACME\ACME\SALES\SRV1"
    assert control.ShortName == "SRV1"
    assert control.Description == "Sales file server in the directory"
    assert control.LoadQRX("NOSUCHMODULE", "") is False  # reaches the agent, which refuses


def test_browse_name_binds_past_replicas_that_are_down_or_silent(directory):
    """[Trees] names three replicas of ACME: one refuses connections, one
    accepts and never answers, the last is slapd. Binding goes on to it."""
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    down = free_port()
    ini = pathlib.Path(os.environ["CORVANE_CLIENT"])
    saved = ini.read_text()
    one = f"ACME=ldap://127.0.0.1:{directory.port}/{BASE}"
    assert one in saved
    replicas = " ".join(f"ldap://127.0.0.1:{p}/{BASE}" for p in (down, silent.getsockname()[1], directory.port))
    # The silent one costs one Request: a shorter one keeps the test short.
    ini.write_text(saved.replace(one, f"ACME={replicas}").replace("Request=5000", "Request=1500"))
    try:
        ctl = cvole.Dispatch(PROGID)
        ctl.FullName = r"CDS:\\ACME\ACME\SALES\SRV1"
        assert ctl.ShortName == "SRV1"
        assert ctl.Description == "Sales file server in the directory"
        del ctl
        gc.collect()
    finally:
        ini.write_text(saved)
        silent.close()


def test_objects_that_are_not_servers_or_do_not_exist_raise(control):
    err = raised(lambda: setattr(control, "FullName", r"CDS:\\ACME\ACME\SALES\JSMITH"))
    assert err.description == "Corvane error"
    err = raised(lambda: setattr(control, "FullName", r"CDS:\\ACME\ACME\SALES\NOSUCH"))
    assert (err.code, err.description) == (0xFDA7, "Invalid entry name")  # -601
    err = raised(lambda: setattr(control, "FullName", r"CDS:\\NOTREE\ACME\SALES\SRV1"))
    assert (err.code, err.description) == (34865, "Corvane error")  # no directory server for that tree
    err = raised(lambda: setattr(control, "FullName", r"CDS:\\ACME\ACME\SALES\SRV2"))
    assert (err.code, err.description) == (34831, "No licensed connection to the server")  # agent unreachable
    err = raised(lambda: control.LoadQRX("x", ""))
    assert err.code == 34831  # the last binding error


def test_plain_binding_of_a_server_login_is_not_directory_bound(control):
    control.FullName = r"\\SRV1"
    assert control.Description == "Web server of the sales office"  # from the agent, not the directory


class DirectoryAgent:
    """A second cvserverd on a port chosen beforehand, with a [directory] section."""

    def __init__(self, agent_class, root, port, slapd):
        self.inner = agent_class(root)
        base_config = self.inner.config

        def config():
            text = base_config().replace('listen = "127.0.0.1:0"', f'listen = "127.0.0.1:{port}"')
            return text + (f'[directory]\nuri = "ldap://127.0.0.1:{slapd.port}"\nbase = "{BASE}"\ntree = "ACME"\n'
                           f'server = "SRV1.SALES.ACME"\noperators = "OPERATORS.EMPTY.ACME"\ntimeout_ms = 3000\n')
        self.inner.config = config
        self.inner.start()


@pytest.fixture(scope="module")
def directory_login(tmp_path_factory, agent):
    from conftest import Agent
    port = free_port()
    slapd = Slapd(tmp_path_factory.mktemp("slapd-login"), f"127.0.0.1:{port}", big=10)
    server = DirectoryAgent(Agent, tmp_path_factory.mktemp("agent-dir"), port, slapd)
    secret = server.inner.root / "pw-jsmith"
    secret.write_text("jsmith-secret\n")
    secret.chmod(0o600)
    ini = server.inner.write("client.ini",
                             f"[Servers]\nSRV1=127.0.0.1:{port}\n[Trees]\nACME=ldap://127.0.0.1:{slapd.port}/{BASE}\n"
                             f"[Login]\nTree=ACME\nUser=JSMITH.SALES.ACME\nPasswordFile={secret}\n"
                             f"[Timeouts]\nConnect=2000\nRequest=5000\n")
    saved = os.environ["CORVANE_CLIENT"]
    os.environ["CORVANE_CLIENT"] = str(ini)
    yield server
    os.environ["CORVANE_CLIENT"] = saved
    server.inner.stop()
    slapd.stop()


def test_plain_binding_of_a_directory_login_is_directory_bound(directory_login):
    ctl = cvole.Dispatch(PROGID)
    ctl.FullName = r"\\srv1"
    assert ctl.FullName == r"\\SRV1"
    assert ctl.ShortName == "SRV1"
    assert ctl.DirectoryInstalled is True
    assert ctl.Description == "Sales file server in the directory"  # from the directory, not the agent
    ctl.FullName = r"CDS:\\ACME\ACME\SALES\SRV1"
    assert ctl.Description == "Sales file server in the directory"
    assert ctl.LoadQRX("NOSUCH", "") is False  # JSMITH is no operator: refused, reported as FALSE
    del ctl
    gc.collect()


def test_connections_of_a_directory_bound_server_are_named_from_the_directory(directory_login):
    for name in (r"\\SRV1", r"CDS:\\ACME\ACME\SALES\SRV1"):
        ctl = cvole.Dispatch(PROGID)
        ctl.FullName = name
        listed = list(ctl.ActiveConnections)
        assert [(c.FullName, c.ShortName) for c in listed] == [(r"CDS:\\ACME\ACME\SALES\JSMITH", "JSMITH")], name
        del listed, ctl
        gc.collect()
