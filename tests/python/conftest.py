"""Fixtures for cvole's tests: a registry of the session's own with CVSRVA.OCX
and ECHO.OCX registered, and a cvserverd on loopback with a temporary volume,
users, parameters, a QRX module and QBT command files, and a client.ini that
logs in as its operator.

The build's paths come from the environment ctest sets (CVOLE_*)."""

import os
import pathlib
import subprocess
import time

import pytest

SERVER = "SRV1"
USERS = {"ADMIN": ("admin-secret", True), "GUEST": ("guest-secret", False)}
PARAMETERS = [
    ("Maximum Packet Receive Buffers", "number", 500),
    ("Server Banner", "text", "Hello"),
    ("Minimum Packet Receive Buffers", "number", 50),
]
CAPACITY = 40000  # above 32767: TotalConnections is a signed 16-bit number


def build_path(var):
    value = os.environ.get(var)
    if not value:
        pytest.fail(f"{var} is not set: run these tests through ctest", pytrace=False)
    return pathlib.Path(value)


def regsvr32(module):
    done = subprocess.run([str(build_path("CVOLE_REGSVR32")), "/s", str(module)], capture_output=True, text=True)
    assert done.returncode == 0, f"regsvr32 {module}: {done.returncode} {done.stderr}"


@pytest.fixture(scope="session", autouse=True)
def registry(tmp_path_factory):
    """Every session registers the modules in a registry file of its own."""
    path = tmp_path_factory.mktemp("registry") / "registry.reg"
    os.environ["OLE_REGISTRY"] = str(path)
    regsvr32(build_path("CVOLE_CVSRVA"))
    regsvr32(build_path("CVOLE_ECHO"))
    return path


class Agent:
    """A cvserverd process with its folder."""

    def __init__(self, root, users=None, host="127.0.0.1"):
        self.root = root
        self.users = users or USERS
        self.host = host
        self.volume = root / "SYS"
        (self.volume / "SYSTEM").mkdir(parents=True)
        self.process = None
        self.port = None

    def write(self, relative, text):
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return path

    def log(self):
        path = self.root / "agent.log"
        return path.read_text() if path.exists() else ""

    def hash_password(self, password):
        done = subprocess.run([str(build_path("CVOLE_CVSERVERD")), "hash-password", "--iterations", "1000"],
                              input=password + "\n", capture_output=True, text=True, check=True)
        return done.stdout.strip()

    def config(self):
        lines = [
            "[server]",
            f'name = "{SERVER}"',
            f'listen = "{self.host}:0"',
            f'port_file = "{self.root / "port"}"',
            f'volume = "{self.volume}"',
            'search_path = ["SYSTEM"]',
            f'state = "{self.root / "state.db"}"',
            f"capacity = {CAPACITY}",
            'version = "6.5.2"',
            'description = "Web server of the sales office"',
            'company = "Corvane Software"',
        ]
        for name, (password, operator) in self.users.items():
            lines += ["[[user]]", f'name = "{name}"', f'password = "{self.hash_password(password)}"',
                      f"operator = {'true' if operator else 'false'}"]
        for name, kind, value in PARAMETERS:
            shown = f'"{value}"' if kind == "text" else str(value)
            lines += ["[[parameter]]", f'name = "{name}"', f'type = "{kind}"', f"value = {shown}"]
        return "\n".join(lines) + "\n"

    def write_module(self, name, command):
        """A QRX manifest running the test module, which records its arguments."""
        program = build_path("CVOLE_TESTMODULE")
        self.write(f"SYS/SYSTEM/{name}.qrx",
                   f'description = "Test module"\n'
                   f'exec = ["{program}", "--pidfile", "{{volume}}/{name}.pid", '
                   f'"--argv-file", "{{volume}}/{name}.argv", "{{args}}"]\n'
                   f"ready = {{ alive_ms = 150 }}\nstop_timeout_ms = 2000\n"
                   f'[commands]\n"{command}" = "unload"\n')

    def start(self):
        config = self.write("agent.toml", self.config())
        (self.root / "port").unlink(missing_ok=True)
        with open(self.root / "agent.log", "ab") as log:
            self.process = subprocess.Popen([str(build_path("CVOLE_CVSERVERD")), "--config", str(config)],
                                            stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        port_file = self.root / "port"
        while time.monotonic() < deadline:
            if port_file.exists():
                text = port_file.read_text()
                if text.endswith("\n"):
                    self.port = int(text)
                    return
            if self.process.poll() is not None:
                break
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("cvserverd did not start:\n" + self.log())

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def write_client_ini(self, user="ADMIN", name="client.ini", export=True):
        """client.ini logging in as user; export points CORVANE_CLIENT at it."""
        password, _ = self.users[user]
        secret = self.root / f"pw-{user}"
        secret.unlink(missing_ok=True)
        secret.write_text(password + "\n")
        secret.chmod(0o600)
        ini = self.write(name,
                         f"[Servers]\n{SERVER}={self.host}:{self.port}\n"
                         f"[Login]\nUser={user}\nPasswordFile={secret}\n"
                         f"[Timeouts]\nConnect=2000\nRequest=5000\n")
        if export:
            os.environ["CORVANE_CLIENT"] = str(ini)
        return ini

    def module_pid(self, name):
        path = self.volume / f"{name}.pid"
        return int(path.read_text()) if path.exists() else None

    def module_argv(self, name):
        path = self.volume / f"{name}.argv"
        return path.read_text().splitlines() if path.exists() else None


@pytest.fixture(scope="session")
def agent(tmp_path_factory, registry):
    a = Agent(tmp_path_factory.mktemp("agent"))
    a.write_module("APACHE2", "apache2 shutdown")
    a.write("SYS/SYSTEM/START.qbt", "# starts the web server\nLOAD APACHE2\n")
    a.write("SYS/SYSTEM/STOP.qbt", "UNLOAD APACHE2\n")
    a.write("SYS/SYSTEM/BROKEN.qbt", "LOAD NOSUCH\n")
    a.start()
    a.write_client_ini("ADMIN")
    yield a
    a.stop()
