"""The agent's front door: envelopes, routing, static files, pinning, process lifecycle."""

import datetime
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Agent, AgentTestCase, get, raw_request

JSON_ENVELOPE = (b"HTTP/1.1 200 OK \r\nContent-Type: Application/json \r\n"
                 b"Vary: Origin\r\nX-Content-Type-Options: nosniff\r\n\r\n")
HTML_ENVELOPE = (b"HTTP/1.1 200 OK \r\nContent-Type: text/html \r\n"
                 b"Vary: Origin\r\nX-Content-Type-Options: nosniff\r\n\r\n")
UNSUPPORTED = b'{\n   "retString" : "Unsupported API",\n   "retValue" : -111\n}\n'


class Envelopes(AgentTestCase):

    def test_session_id_over_https_and_http(self):
        for tls in (True, False):
            before = datetime.datetime.now()
            reply = get("/api/createSessionID", tls=tls)
            after = datetime.datetime.now()
            self.assertTrue(reply.raw.startswith(HTML_ENVELOPE), reply.raw[:120])
            body = reply.raw[len(HTML_ENVELOPE):]
            match = re.fullmatch(rb'\{\n   "sessionId" : "(\d+)_(-?\d+)_([0-9a-f]{32})"\n\}\n', body)
            self.assertIsNotNone(match, body)
            self.assertEqual(match.group(2), b"2130706433")
            # The agent stamps with time(), which reads the kernel's coarse clock: at a second's
            # turn it can still show the second before the one this test's precise clock read.
            stamps = set()
            for t in (before - datetime.timedelta(seconds=1), before, after):
                stamps.add("%d%d%d%d%d%d" % (t.year, t.month - 1, t.day, t.hour, t.minute,
                                             t.second))
            self.assertIn(match.group(1).decode(), stamps)

    def test_scanner_api_uses_json_envelope(self):
        reply = get("/api/noSuchOperation?dummy=1&sHandle=5&id=p")
        self.assertEqual(reply.raw[:len(JSON_ENVELOPE)], JSON_ENVELOPE)
        self.assertEqual(reply.raw[len(JSON_ENVELOPE):], UNSUPPORTED)

    def test_database_api_uses_html_envelope(self):
        reply = get("/db/noSuchOperation?dummy=1&sHandle=5")
        self.assertEqual(reply.raw, HTML_ENVELOPE + UNSUPPORTED)
        reply = get("/db/x?dummy=1")
        self.assertEqual(reply.raw, HTML_ENVELOPE + UNSUPPORTED)
        # "/db/" alone is four characters: a file path, not an operation.
        self.assertEqual(get("/db/?dummy=1").status, 404)

    def test_api_without_query_closes_without_reply(self):
        self.assertEqual(get("/api/version").raw, b"")
        self.assertEqual(get("/db/queryData").raw, b"")

    def test_session_clear_writes_nothing(self):
        self.assertEqual(get("/api/sessionClear?id=page").raw, b"")
        self.assertEqual(get("/api/sessionClear").raw, b"")

    def test_closed_is_an_ordinary_api_name(self):
        reply = get("/api/closed?dummy=1")
        self.assertEqual(reply.raw, JSON_ENVELOPE + UNSUPPORTED)  # "closed" is no operation
        self.assertIsNone(self.agent.process.poll())

    def test_malformed_requests_never_stop_the_agent(self):
        nasty = [
            "/api/version?" + "dummy=" + "A" * 600 + "&sHandle=1",   # dummy over 511 bytes
            "/api/version?dummy=%zz%&sHandle=%%%",
            "/api/version?dummy=%41%4&x",
            "/api/version?&&&&",
            "/api/version?" + "a=1&" * 2000,
            "/api/%00version?dummy=1",
            "/db/%ff%fe?dummy=1",
            "/tmp/x?shandle=1&id=" + "x" * 300,
            "/img/CaptureImg.bmp?shandle=" + "9" * 200 + "&id=1",
            "/img/PreviewStreaming.bmp",
        ]
        for path in nasty:
            get(path)
        for raw in [b"\r\n\r\n", b"GARBAGE\r\n\r\n", b"GET\r\n\r\n",
                    b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n",
                    b"GET /api/version?dummy=1 HTTP/1.1\r\nCookie: " + b"c" * 10000 + b"\r\n\r\n",
                    b"POST /api/version?dummy=1 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
                    b"GET /index.html HTTP/1.1\r\n"]:  # never finished: the server times out
            try:
                raw_request(raw, timeout=5)
            except OSError:
                pass
        self.assertEqual(get("/api/nope?dummy=1").raw, JSON_ENVELOPE + UNSUPPORTED)
        self.assertIsNone(self.agent.process.poll())


class StaticFiles(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        html = os.path.join(cls.agent.workdir, "html")
        os.makedirs(os.path.join(html, "img"), exist_ok=True)
        os.makedirs(os.path.join(html, "db"), exist_ok=True)
        with open(os.path.join(html, "img", "other.bmp"), "wb") as f:
            f.write(b"BM-not-really")
        with open(os.path.join(html, "api"), "wb") as f:
            f.write(b"a file named api")
        with open(os.path.join(cls.agent.workdir, "secret.txt"), "wb") as f:
            f.write(b"TOP-SECRET")

    def test_index_and_root(self):
        with open(os.path.join(self.agent.workdir, "html", "index.html"), "rb") as f:
            index = f.read()
        for path in ("/index.html", "/"):
            reply = get(path)
            self.assertEqual(reply.status, 200, path)
            self.assertEqual(reply.body, index, path)
        self.assertEqual(get("/index.html", tls=True).body, index)

    def test_missing_file_is_the_servers_404(self):
        reply = get("/no-such-file.html")
        self.assertEqual(reply.status, 404)
        self.assertIn(b"File not found", reply.body)

    def test_short_prefixes_are_files(self):
        self.assertEqual(get("/api").body, b"a file named api")
        self.assertIn(b"Index of /db/", get("/db/").body)  # the server lists the folder
        self.assertEqual(get("/img/other.bmp").body, b"BM-not-really")

    def test_no_path_climbs_out_of_html(self):
        attempts = ["/../secret.txt", "/%2e%2e/secret.txt", "/img/..%2f..%2fsecret.txt",
                    "/img/%2e%2e/%2e%2e/secret.txt", "/..%5csecret.txt", "/./../secret.txt",
                    "//../secret.txt", "/img/../../secret.txt", "/%2E%2E%2Fsecret.txt",
                    "/api/../../secret.txt", "/img/....//secret.txt"]
        for path in attempts:
            reply = get(path)
            self.assertNotIn(b"TOP-SECRET", reply.raw, path)
        # The raw request line as a client could send it, unnormalised.
        raw = raw_request(b"GET /../../secret.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.assertNotIn(b"TOP-SECRET", raw)


class ClientPinning(AgentTestCase):

    def test_second_address_only_gets_static_files(self):
        first = get("/api/createSessionID", source="127.0.0.1")
        self.assertIn(b"sessionId", first.raw)
        other = get("/api/createSessionID", source="127.0.0.2")
        self.assertEqual(other.status, 404)
        self.assertNotIn(b"sessionId", other.raw)
        self.assertEqual(get("/api/version?dummy=1", source="127.0.0.2").status, 404)
        self.assertEqual(get("/index.html", source="127.0.0.2").status, 200)
        # The close command from the other address does not stop the agent.
        get("/api/close", source="127.0.0.2")
        time.sleep(0.3)
        self.assertIsNone(self.agent.process.poll())
        self.assertIn(b"sessionId", get("/api/createSessionID").raw)
        self.assertIn("client ip is not matched", self.agent.stdout())


class Lifecycle(unittest.TestCase):

    def tearDown(self):
        harness.wait_port_free(harness.HTTP_PORT)
        harness.wait_port_free(harness.HTTPS_PORT)

    def assert_stops_promptly(self, agent, trigger):
        # A stop that hung (a worker waiting on a stream or a capture) would outlast the bound;
        # the bound is generous so that a loaded machine does not count as a hang.
        trigger()
        status = agent.wait(timeout=15)
        self.assertEqual(status, 0, agent.stderr())
        self.assertIn("Mongoose Server is stopped successfully", agent.stderr())

    def test_banner_and_stop_commands(self):
        triggers = {
            "close": lambda a: get("/api/close?x=1"),
            "sigterm": lambda a: a.process.send_signal(signal.SIGTERM),
            "sigint": lambda a: a.process.send_signal(signal.SIGINT),
        }
        for name, trigger in triggers.items():
            with self.subTest(name):
                agent = Agent().start()
                try:
                    # The ports open a moment before the banner is printed.
                    banner = ("Web-Agent server Started\n"
                              "Tessaro Web Agent is running now......\n"
                              ">> Press 'Shift+Esc' to exit Web Agent\n"
                              "Open https://127.0.0.1:8083/ in your browser "
                              "(or http://127.0.0.1:8084/)\n")
                    deadline = time.monotonic() + 20
                    while len(agent.stdout()) < len(banner) and time.monotonic() < deadline:
                        time.sleep(0.05)
                    self.assertEqual(agent.stdout(), banner)
                    self.assert_stops_promptly(agent, lambda: trigger(agent))
                finally:
                    agent.cleanup()
                harness.wait_port_free(harness.HTTP_PORT)

    def test_single_instance(self):
        first = Agent().start()
        try:
            second = subprocess.run([harness.AGENT_BIN], cwd=first.workdir, env=first.env,
                                    capture_output=True, timeout=20)
            self.assertEqual(second.returncode, 255)
            self.assertIn(b"Another instance of the Web Agent is running... Please "
                          b"terminate the other process to launch properly", second.stderr)
            self.assertIsNone(first.process.poll())
            self.assertIn(b"sessionId", get("/api/createSessionID").raw)
        finally:
            first.cleanup()
        # The lock goes with the process: a new agent starts at once.
        again = Agent()
        again.runtime = first.runtime
        try:
            os.makedirs(again.runtime, exist_ok=True)
            again.env["XDG_RUNTIME_DIR"] = again.runtime
            again.start()
            self.assertEqual(again.stop(), 0)
        finally:
            again.cleanup()

    def test_missing_certificate_closes_only_the_https_port(self):
        tmp = tempfile.mkdtemp(prefix="webagent-nocert-")
        try:
            binary = os.path.join(tmp, "webagent")
            shutil.copy(harness.AGENT_BIN, binary)
            for present in ([], ["localhost_cert.crt"], ["localhost_cert.key"]):
                with self.subTest(present=present):
                    cert_dir = os.path.join(tmp, "cert")
                    shutil.rmtree(cert_dir, ignore_errors=True)
                    if present:
                        os.makedirs(cert_dir)
                    for name in present:
                        shutil.copy(os.path.join(harness.BIN_DIR, "cert", name), cert_dir)
                    missing = [n for n in ("localhost_cert.crt", "localhost_cert.key")
                               if n not in present][0]
                    agent = Agent(binary=binary)
                    try:
                        agent.start(wait=False)
                        deadline = time.monotonic() + 20
                        while not harness.port_open(harness.HTTP_PORT):
                            self.assertIsNone(agent.process.poll(), agent.stderr())
                            self.assertLess(time.monotonic(), deadline)
                            time.sleep(0.05)
                        self.assertIn(b"sessionId", get("/api/createSessionID").raw)
                        self.assertFalse(harness.port_open(harness.HTTPS_PORT))
                        self.assertIn("%s: No such file or directory" % os.path.join(
                            cert_dir, missing), agent.stderr())
                        self.assertEqual(agent.stop(), 0)
                    finally:
                        agent.cleanup()
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_certificate_found_beside_executable_from_any_directory(self):
        agent = Agent(workdir=tempfile.mkdtemp(prefix="webagent-elsewhere-"))
        try:
            agent.start()
            self.assertIn(b"sessionId", get("/api/createSessionID", tls=True).raw)
            self.assertEqual(agent.stop(), 0)
        finally:
            agent.cleanup()
            shutil.rmtree(agent.workdir, ignore_errors=True)

    def test_busy_port_fails_with_254(self):
        for port in (harness.HTTP_PORT, harness.HTTPS_PORT):
            with self.subTest(port=port):
                blocker = socket.socket()
                blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                blocker.bind(("127.0.0.1", port))
                blocker.listen(1)
                agent = Agent()
                try:
                    agent.process = agent.spawn()
                    self.assertEqual(agent.wait(timeout=20), 254)
                    self.assertIn("Web-Agent server failed to start\n", agent.stdout())
                finally:
                    blocker.close()
                    agent.cleanup()


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"),
                     "Xvfb and xdotool are installed by scripts/setup.sh")
class ExitKey(unittest.TestCase):

    def setUp(self):
        self.display = ":%d" % (90 + os.getpid() % 9)
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, DISPLAY=self.display)
        for _ in range(100):
            if subprocess.run(["xdotool", "getmouselocation"], env=env,
                              capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        self.xenv = env

    def tearDown(self):
        self.xvfb.terminate()
        self.xvfb.wait(timeout=10)
        harness.wait_port_free(harness.HTTP_PORT)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.xenv, check=True, timeout=10)

    def hold(self, *keys):
        for key in keys:
            self.xdotool("keydown", key)
        time.sleep(0.3)  # the watcher polls every 10 ms
        for key in reversed(keys):
            self.xdotool("keyup", key)
        time.sleep(0.3)

    def test_shift_escape_stops_the_agent_and_each_alone_does_not(self):
        agent = Agent(env={"DISPLAY": self.display})
        try:
            agent.start()
            self.hold("Escape")
            self.hold("shift")
            self.assertIsNone(agent.process.poll(), "Esc or Shift alone must not stop the agent")
            self.hold("shift", "Escape")
            self.assertEqual(agent.wait(timeout=15), 0)
        finally:
            agent.cleanup()


if __name__ == "__main__":
    unittest.main()
