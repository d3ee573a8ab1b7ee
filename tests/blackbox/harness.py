"""Starts the real agent binary and talks HTTP(S) to it the way a browser page does.

Every test module gets a fresh working directory holding a copy of the repository's html/
folder, its own XDG_RUNTIME_DIR (single-instance lock, virtual-scanner socket), and the agent's
standard output and error captured to files.
"""

import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

HTTP_PORT = 8084
HTTPS_PORT = 8083
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
AGENT_BIN = os.environ.get("WEBAGENT_BIN", os.path.join(ROOT, "build", "bin", "webagent"))
BIN_DIR = os.path.dirname(AGENT_BIN)
CERT_FILE = os.path.join(BIN_DIR, "cert", "localhost_cert.crt")


class Response:
    """A raw HTTP reply: the bytes as received, split at the first blank line."""

    def __init__(self, raw):
        self.raw = raw
        head, sep, body = raw.partition(b"\r\n\r\n")
        self.has_header = raw.startswith(b"HTTP/")
        self.head = head + sep if self.has_header else b""
        self.body = body if self.has_header else raw
        self.status = None
        self.headers = {}
        if self.has_header:
            lines = head.decode("latin-1").split("\r\n")
            parts = lines[0].split(" ")
            self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None
            for line in lines[1:]:
                name, _, value = line.partition(":")
                self.headers[name.strip().lower()] = value.strip()

    def json(self):
        import json
        return json.loads(self.body.decode("utf-8"))


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


def wait_port_free(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not port_open(port):
            return True
        time.sleep(0.05)
    return False


def raw_request(data, port=HTTP_PORT, tls=False, source="127.0.0.1", timeout=20.0):
    """Sends `data` (bytes) and returns every byte the server sends until it closes."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    if tls:
        context = ssl.create_default_context(cafile=CERT_FILE)
        sock = context.wrap_socket(sock, server_hostname="127.0.0.1")
    chunks = []
    try:
        sock.sendall(data)
        while True:
            try:
                chunk = sock.recv(65536)
            except (ConnectionResetError, ssl.SSLError):
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        sock.close()
    return b"".join(chunks)


def get(path, port=None, tls=False, cookie=None, source="127.0.0.1", timeout=20.0):
    if port is None:
        port = HTTPS_PORT if tls else HTTP_PORT
    lines = ["GET %s HTTP/1.1" % path, "Host: 127.0.0.1:%d" % port]
    if cookie is not None:
        lines.append("Cookie: %s" % cookie)
    request = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    return Response(raw_request(request, port=port, tls=tls, source=source, timeout=timeout))


class Agent:
    """One agent process in its own working directory."""

    def __init__(self, workdir=None, env=None, binary=AGENT_BIN, copy_html=True, args=()):
        self.tmp = tempfile.mkdtemp(prefix="webagent-test-")
        self.workdir = workdir or os.path.join(self.tmp, "work")
        self.runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(self.workdir, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        if copy_html and not os.path.exists(os.path.join(self.workdir, "html")):
            shutil.copytree(os.path.join(ROOT, "html"), os.path.join(self.workdir, "html"))
        self.binary = binary
        self.args = list(args)
        self.env = dict(os.environ)
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        # The user's own configuration, and the machine's in /etc/xdg/webagent, must not leak
        # into a test run.
        self.env["XDG_CONFIG_HOME"] = os.path.join(self.tmp, "config")
        self.env["XDG_CONFIG_DIRS"] = os.path.join(self.tmp, "config-dirs")
        self.env.pop("DISPLAY", None)
        self.env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        if env:
            self.env.update(env)
        self.process = None
        self.stdout_path = os.path.join(self.tmp, "stdout.txt")
        self.stderr_path = os.path.join(self.tmp, "stderr.txt")

    def start(self, wait=True):
        assert wait_port_free(HTTP_PORT) and wait_port_free(HTTPS_PORT), "agent ports are busy"
        self.process = self.spawn()
        if wait:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                if self.process.poll() is not None:
                    raise RuntimeError("agent exited with %s: %s %s" % (
                        self.process.returncode, self.stdout(), self.stderr()))
                if port_open(HTTP_PORT) and port_open(HTTPS_PORT):
                    return self
                time.sleep(0.05)
            raise RuntimeError("agent did not open its ports")
        return self

    def spawn(self):
        """Starts the process without waiting for its ports."""
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            return subprocess.Popen([self.binary, *self.args], cwd=self.workdir, env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def wait(self, timeout=10.0):
        return self.process.wait(timeout=timeout)

    def stop(self):
        """Ends the agent with SIGTERM (SIGKILL if it hangs); returns its exit status."""
        if self.process is None or self.process.poll() is not None:
            return None if self.process is None else self.process.returncode
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("agent did not stop within 10 s of SIGTERM")

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def cleanup(self):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)


class AgentTestCase(unittest.TestCase):
    """Starts one agent for the whole test class; stops it and checks it ended cleanly."""

    agent_env = None
    agent_args = ()

    @classmethod
    def setUpClass(cls):
        cls.agent = Agent(env=cls.agent_env, args=cls.agent_args).start()

    @classmethod
    def tearDownClass(cls):
        status = cls.agent.stop()
        stderr = cls.agent.stderr()
        cls.agent.cleanup()
        if status not in (0, None):
            raise AssertionError("agent ended with status %s: %s" % (status, stderr[-4000:]))
        if "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr:
            raise AssertionError("sanitizer report from the agent:\n" + stderr[-8000:])


VIRTUAL_SCANNER_BIN = os.environ.get("WEBAGENT_VIRTUAL_SCANNER",
                                     os.path.join(BIN_DIR, "virtual-scanner"))


def virtual_scanner(agent, *args, check=True):
    """Runs the virtual-scanner control command against `agent`; returns its stdout."""
    result = subprocess.run([VIRTUAL_SCANNER_BIN, *[str(a) for a in args]], env=agent.env,
                            capture_output=True, timeout=30)
    if check and result.returncode != 0:
        raise AssertionError("virtual-scanner %s failed: %s" % (args, result.stderr.decode()))
    return result.stdout.decode()


def query(params):
    """The query text a page sends: `dummy` first, then the items in the order given."""
    items = ["dummy=1"]
    for key, value in params:
        items.append("%s=%s" % (key, value) if value is not None else key)
    return "&".join(items)


class Page:
    """One browser page: its session cookie (from /api/createSessionID) and its page ID."""

    def __init__(self, page_id="page-1", cookie=None, tls=False):
        self.page_id = page_id
        self.tls = tls
        if cookie is None:
            cookie = get("/api/createSessionID", tls=tls).json()["sessionId"]
        self.cookie = cookie

    def call(self, prefix, name, handle=None, send_id=True, cookie=True, **params):
        items = []
        if handle is not None:
            items.append(("sHandle", handle))
        if send_id:
            items.append(("id", self.page_id))
        items.extend(params.items())
        return get("/%s/%s?%s" % (prefix, name, query(items)), tls=self.tls,
                   cookie=self.cookie if cookie else None)

    def api(self, name, handle=None, **params):
        return self.call("api", name, handle, **params)

    def db(self, name, handle=None, **params):
        return self.call("db", name, handle, **params)

    def image(self, name, handle, **params):
        path = "/img/%s?shandle=%s&id=%s" % (name, handle, self.page_id)
        return get(path, tls=self.tls, cookie=self.cookie)


def init_devices(page):
    """initDevice; returns the list of DeviceHandle values."""
    reply = page.api("initDevice")
    if not reply.body:
        return []
    return [info["DeviceHandle"] for info in reply.json()["ScannerInfos"]]
