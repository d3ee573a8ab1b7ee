"""Hostile web pages against the agent, with the requests a browser sends for them.

A page on another site (http://evil.example) tries to wipe the database, change settings,
release or abort the scanners, read the handle, stop the agent with an <img>, slip requests
through CORS preflights and other methods, reach the agent under its own name after a DNS
rebinding, and drop another page's scanner bindings. None of it may run or read anything; the
enrolled users stay, and the agent keeps serving. Its own page, a site the user allowed and
local programs keep working.
"""

import os
import re
import socket
import time
import unittest

import harness
from harness import (Agent, AgentTestCase, HTTP_PORT, HTTPS_PORT, Page, Response, get,
                     init_devices, query, raw_request, virtual_scanner)

def assert_clean_exit(testcase, agent, status):
    stderr = agent.stderr()
    testcase.assertEqual(status, 0, stderr[-4000:])
    testcase.assertNotIn("ERROR: AddressSanitizer", stderr)
    testcase.assertNotIn("runtime error:", stderr)


EVIL = "http://evil.example"
ALLOWED = "https://app.example.com"  # given to the agent with --allow-origin
LISTED = "http://127.0.0.1:9000"     # listed in the allowed-origins file
OWN_HTTP = "http://127.0.0.1:8084"
OWN_HTTPS = "https://127.0.0.1:8083"

# What a script on another site sends with fetch(): its Origin and cross-site Fetch Metadata,
# and no cookie (the agent page's cookie is SameSite=Strict).
FROM_EVIL = [("Origin", EVIL), ("Sec-Fetch-Site", "cross-site"), ("Sec-Fetch-Mode", "cors"),
             ("Sec-Fetch-Dest", "empty")]
# An <img src="http://127.0.0.1:8084/..."> on another site: no Origin at all.
IMG_FROM_EVIL = [("Sec-Fetch-Site", "cross-site"), ("Sec-Fetch-Mode", "no-cors"),
                 ("Sec-Fetch-Dest", "image")]


def send(method, path, headers=(), host="default", tls=False, version="1.1"):
    """One request with exactly these headers; Host names the agent unless given."""
    port = HTTPS_PORT if tls else HTTP_PORT
    lines = ["%s %s HTTP/%s" % (method, path, version)]
    if host == "default":
        host = "127.0.0.1:%d" % port
    if host is not None:
        lines.append("Host: %s" % host)
    lines.extend("%s: %s" % header for header in headers)
    data = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    return Response(raw_request(data, port=port, tls=tls))


class HostilePages(AgentTestCase):
    agent_args = ("--allow-origin", ALLOWED)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The user's own page: a session, a scanner, three enrolled users and a capture.
        cls.owner = Page(page_id="owner")
        cls.handle = init_devices(cls.owner)[0]
        for serial, (finger, name) in enumerate(((21, "alice"), (22, "bob"), (23, "carol"))):
            virtual_scanner(cls.agent, "place", 0, finger)
            reply = cls.owner.db("enroll", cls.handle, userSerialNo=serial, userID=name,
                                 extractEx=1).json()
            assert reply["retValue"] == "0", reply
        assert cls.owner.api("setParameters", cls.handle, timeout=7).json()["retValue"] == "0"
        assert cls.owner.api("captureSingle", cls.handle).json()["retValue"] == "0"
        cls.image = cls.owner.image("CaptureImg.bmp", cls.handle).body
        assert cls.image.startswith(b"BM"), cls.image[:40]

    def q(self, *items, handle=True):
        """The query a page sends: dummy first, then sHandle and id, then the items."""
        head = [("sHandle", self.handle)] if handle else []
        return query(head + [("id", "evil")] + list(items))

    def assert_refused(self, reply, status=403, what=""):
        self.assertEqual(reply.status, status, (what, reply.raw[:300]))
        # A refused site may read the refusal itself (its origin echoed), never with credentials.
        self.assertNotEqual(reply.headers.get("access-control-allow-origin"), "*", what)
        self.assertNotIn("access-control-allow-credentials", reply.headers, what)
        self.assertEqual(reply.headers.get("x-content-type-options"), "nosniff", what)
        for secret in (b"retValue", b"DeviceHandle", b"template", b"BM", b"sessionId", b"alice",
                       str(self.handle).encode()):
            self.assertNotIn(secret, reply.body, what)

    def assert_untouched(self):
        """The users are all there, the settings as the owner left them, the agent serving."""
        self.assertIsNone(self.agent.process.poll(), "the agent is still running")
        db = self.owner.db("queryData", self.handle).json()["db"]
        self.assertEqual((db["size"], db["0"]["id"], db["1"]["id"], db["2"]["id"]),
                         (3, "alice", "bob", "carol"))
        self.assertEqual(self.owner.api("getParameters", self.handle).json()["timeout"], 7000)
        self.assertEqual(self.owner.image("CaptureImg.bmp", self.handle).body, self.image)

    def test_another_site_runs_no_operation_and_reads_nothing(self):
        # A live capture is running: an abortCapture that ran would end it.
        self.assertEqual(self.owner.api("startCapturing", self.handle).json()["retValue"], "0")
        try:
            attempts = [
                "/db/deleteAll?" + self.q(),
                "/db/delete?" + self.q(("userSerialNo", 0)),
                "/api/setParameters?" + self.q(("timeout", 1), ("brightness", 10)),
                "/api/uninitDevice?" + self.q(handle=False),
                "/api/abortCapture?" + self.q(),
                "/api/initDevice?" + self.q(handle=False),
                "/db/queryData?" + self.q(),
                "/db/getTemplateData?" + self.q(("userSerialNo", 0)),
                "/api/getTemplateData?" + self.q(),
                "/api/getImageData?" + self.q(("fileType", 1)),
                "/img/CaptureImg.bmp?shandle=%s&id=owner" % self.handle,
                "/tmp/last.json?shandle=%s&id=owner" % self.handle,
                "/api/createSessionID?dummy=1",
                "/api/close?dummy=1",
            ]
            for path in attempts:
                self.assert_refused(send("GET", path, FROM_EVIL), what=path)
                # The same with the owner's cookie, as a browser without SameSite would send it.
                with_cookie = FROM_EVIL + [("Cookie", self.owner.cookie)]
                self.assert_refused(send("GET", path, with_cookie), what=path)
            status = self.owner.api("getScannerStatus", self.handle).json()
            self.assertEqual(status["IsCapturing"], "true", "abortCapture did not run")
        finally:
            self.owner.api("abortCapture", self.handle)
        # The owner's own live capture refreshed the capture buffer with new frames (each one
        # carries fresh sensor noise); the last of them is the image the other cases compare.
        shown = self.owner.image("CaptureImg.bmp", self.handle).body
        self.assertEqual(shown[:54], self.image[:54], "same size and format")
        type(self).image = shown
        self.assert_untouched()
        # One line each, naming the site and how to allow it.
        refusals = [line for line in self.agent.stderr().splitlines()
                    if "refused" in line and "origin http://evil.example" in line]
        self.assertGreaterEqual(len(refusals), 2 * len(attempts))
        self.assertIn("--allow-origin http://evil.example", refusals[0])
        self.assertIn("webagent/allowed-origins", refusals[0])

    def test_image_tags_and_links_of_another_site(self):
        for path in ("/api/close", "/api/close?dummy=1", "/db/deleteAll?" + self.q(),
                     "/img/CaptureImg.bmp?shandle=%s&id=owner" % self.handle,
                     "/img/PreviewStreaming.bmp?shandle=%s&id=owner" % self.handle,
                     "/tmp/x?shandle=%s&id=owner" % self.handle):
            self.assert_refused(send("GET", path, IMG_FROM_EVIL), what=path)
            # A sibling site (another port of 127.0.0.1) is "same-site", and as foreign.
            sibling = [("Sec-Fetch-Site", "same-site")] + IMG_FROM_EVIL[1:]
            self.assert_refused(send("GET", path, sibling), what=path)
            link = [("Sec-Fetch-Site", "cross-site"), ("Sec-Fetch-Mode", "navigate"),
                    ("Sec-Fetch-Dest", "document")]
            self.assert_refused(send("GET", path, link), what="link to " + path)
        # Framing the agent's page (to trick the user into clicking its buttons) is refused too.
        framed = [("Sec-Fetch-Site", "cross-site"), ("Sec-Fetch-Mode", "navigate"),
                  ("Sec-Fetch-Dest", "iframe")]
        self.assertEqual(send("GET", "/", framed).status, 403)
        self.assert_untouched()
        self.assertIn("Sec-Fetch-Site: cross-site, no Origin", self.agent.stderr())

    def test_preflights_answer_and_run_nothing(self):
        ask = [("Access-Control-Request-Method", "GET"),
               ("Access-Control-Request-Private-Network", "true")]
        for path in ("/db/deleteAll?" + self.q(), "/api/close", "/api/close?dummy=1",
                     "/api/uninitDevice?" + self.q(handle=False)):
            self.assert_refused(send("OPTIONS", path, FROM_EVIL + ask), what=path)
            for origin in (ALLOWED, OWN_HTTP):
                reply = send("OPTIONS", path, [("Origin", origin), ("Sec-Fetch-Mode", "cors")]
                             + ask)
                self.assertEqual(reply.status, 204, (path, reply.raw))
                self.assertEqual(reply.body, b"")
                self.assertEqual(reply.headers["access-control-allow-origin"], origin)
                self.assertEqual(reply.headers["access-control-allow-credentials"], "true")
                self.assertEqual(reply.headers["vary"], "Origin")
                self.assertEqual(reply.headers["access-control-allow-methods"],
                                 "GET, POST, OPTIONS")
                self.assertIn("access-control-allow-headers", reply.headers)
                self.assertEqual(reply.headers["access-control-max-age"], "600")
                self.assertEqual(reply.headers["access-control-allow-private-network"], "true")
            # Without any Origin (a local program) OPTIONS only lists the methods.
            reply = send("OPTIONS", path)
            self.assertEqual((reply.status, reply.headers["allow"]), (204, "GET, OPTIONS"))
            self.assertNotIn("access-control-allow-origin", reply.headers)
        self.assert_untouched()

    def test_methods_other_than_get_run_nothing(self):
        for method in ("POST", "PUT", "DELETE", "HEAD", "PATCH"):
            for path in ("/db/deleteAll?" + self.q(), "/api/close?dummy=1",
                         "/api/uninitDevice?" + self.q(handle=False), "/index.html"):
                what = "%s %s" % (method, path)
                reply = send(method, path, [("Cookie", self.owner.cookie)])
                self.assert_refused(reply, status=405, what=what)
                self.assertEqual(reply.headers["allow"], "GET, OPTIONS", what)
                if method == "HEAD":
                    self.assertEqual(reply.body, b"", "a HEAD reply has no body")
                self.assert_refused(send(method, path, FROM_EVIL), what=what)
        # A form post with a body, as another site's <form method=post> sends it.
        body = b"x=1"
        raw = raw_request(("POST /db/deleteAll?%s HTTP/1.1\r\nHost: 127.0.0.1:8084\r\n"
                           "Content-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: %d\r\n\r\n" % (self.q(), len(body))).encode() + body)
        self.assertEqual(Response(raw).status, 405)
        self.assert_untouched()

    def test_rebinding_the_agent_under_another_name_is_refused(self):
        # After a DNS rebinding the hostile page is same-origin with the agent in the browser's
        # eyes: its own Origin, same-origin metadata, a cookie it set itself.
        rebound = [("Origin", "http://evil.example:8084"), ("Sec-Fetch-Site", "same-origin"),
                   ("Cookie", "evil-session")]
        for host in ("evil.example:8084", "evil.example", "127.0.0.1.evil.example:8084",
                     "localhost.evil.example", "0.0.0.0:8084", "127.0.0.2:8084"):
            for path in ("/api/createSessionID?dummy=1", "/api/initDevice?" + self.q(handle=False),
                         "/api/captureSingle?" + self.q(), "/db/queryData?" + self.q(),
                         "/db/getTemplateData?" + self.q(("userSerialNo", 0)),
                         "/img/CaptureImg.bmp?shandle=%s&id=evil" % self.handle,
                         "/tmp/x?shandle=%s&id=evil" % self.handle, "/api/close", "/",
                         "/index.html"):
                for headers in (rebound, [("Sec-Fetch-Site", "same-origin")], []):
                    self.assert_refused(send("GET", path, headers, host=host),
                                        what="%s %s" % (host, path))
        # HTTP/1.1 requires a Host; without one nothing is served.
        self.assert_refused(send("GET", "/db/queryData?" + self.q(), host=None), what="no Host")
        self.assertIn('for Host "evil.example:8084"', self.agent.stderr())
        self.assert_untouched()
        # The loopback names, with or without the port, are the agent's own.
        for host in ("127.0.0.1", "localhost", "LOCALHOST:8084", "[::1]:8084"):
            reply = send("GET", "/api/version?" + self.q(), host=host)
            self.assertEqual(reply.status, 200, host)
            self.assertIn(b'"API"', reply.body, host)
        # HTTP/1.0 needs no Host (a simple local program).
        reply = send("GET", "/api/version?" + self.q(), host=None, version="1.0")
        self.assertIn(b'"API"', reply.body)

    def uses_scanner(self, page):
        """True when the page's session-bound request for the scanner is not refused."""
        return page.api("isFingerOn", self.handle).json().get("retValue") != -112

    def test_only_the_cookie_that_holds_a_binding_clears_it(self):
        self.assertTrue(self.uses_scanner(self.owner))
        intruder = Page(page_id="intruder")  # a page of the agent's own origin, other session
        refused = intruder.api("isFingerOn", self.handle).json()
        self.assertEqual(refused["retString"], "invalid session cookie")
        # Knowing the owner's page ID is not enough: no cookie, another cookie, or a cookie
        # without the owner's identifier clear nothing.
        for cookie in (None, intruder.cookie, "", "theme=dark"):
            self.assertEqual(get("/api/sessionClear?dummy=1&id=owner", cookie=cookie).raw, b"")
            self.assertEqual(intruder.api("isFingerOn", self.handle).json()["retString"],
                             "invalid session cookie", cookie)
        self.assertTrue(self.uses_scanner(self.owner))
        # The owner's own clear frees the scanner; the owner then binds it again.
        self.assertEqual(get("/api/sessionClear?dummy=1&id=owner",
                             cookie=self.owner.cookie).raw, b"")
        self.assertTrue(self.uses_scanner(intruder))
        get("/api/sessionClear?dummy=1&id=intruder", cookie=intruder.cookie)
        self.assertTrue(self.uses_scanner(self.owner))

    def test_session_identifiers_cannot_be_guessed(self):
        ids = [get("/api/createSessionID?dummy=1").json()["sessionId"] for _ in range(20)]
        self.assertEqual(len(set(ids)), len(ids), "two pages never share an identifier")
        for session_id in ids:
            self.assertRegex(session_id, r"^\d+_2130706433_[0-9a-f]{32}$")

    def test_own_page_allowed_site_and_local_programs_keep_working(self):
        version = "/api/version?" + self.q()
        cases = [
            ("own page over http", [("Origin", OWN_HTTP), ("Sec-Fetch-Site", "same-origin")],
             False, OWN_HTTP),
            ("own page as localhost", [("Origin", "http://localhost:8084"),
                                       ("Sec-Fetch-Site", "same-origin")], False,
             "http://localhost:8084"),
            ("own page over https", [("Origin", OWN_HTTPS), ("Sec-Fetch-Site", "same-origin")],
             True, OWN_HTTPS),
            ("own page, same-origin GET without Origin", [("Sec-Fetch-Site", "same-origin")],
             False, None),
            ("address bar", [("Sec-Fetch-Site", "none"), ("Sec-Fetch-Mode", "navigate"),
                             ("Sec-Fetch-Dest", "document")], False, None),
            ("allowed site", [("Origin", ALLOWED), ("Sec-Fetch-Site", "cross-site")], False,
             ALLOWED),
            ("curl", [], False, None),
        ]
        for name, headers, tls, echoed in cases:
            reply = send("GET", version, headers, tls=tls)
            self.assertEqual(reply.status, 200, (name, reply.raw[:300]))
            self.assertEqual(reply.json()["API"], "0.1", name)
            self.assertEqual(reply.headers.get("access-control-allow-origin"), echoed, name)
            self.assertEqual(reply.headers.get("access-control-allow-credentials"),
                             "true" if echoed else None, name)
            self.assertEqual(reply.headers["vary"], "Origin", name)
            self.assertEqual(reply.headers["x-content-type-options"], "nosniff", name)
            self.assertNotIn(b"Access-Control-Allow-Origin: *", reply.raw, name)
        # The own page shows the image and reads the database with its cookie.
        shown = send("GET", "/img/CaptureImg.bmp?shandle=%s&id=owner" % self.handle,
                     [("Sec-Fetch-Site", "same-origin"), ("Sec-Fetch-Mode", "no-cors"),
                      ("Sec-Fetch-Dest", "image"), ("Cookie", self.owner.cookie)])
        self.assertEqual(shown.body, self.image)
        db = send("GET", "/db/queryData?" + query([("sHandle", self.handle), ("id", "owner")]),
                  [("Origin", OWN_HTTP), ("Sec-Fetch-Site", "same-origin"),
                   ("Cookie", self.owner.cookie)])
        self.assertEqual(db.json()["db"]["size"], 3)
        # The page itself: typed in, or followed from a link on any site.
        with open(os.path.join(self.agent.workdir, "html", "index.html"), "rb") as f:
            index = f.read()
        for site in ("none", "cross-site", "same-origin"):
            page = send("GET", "/", [("Sec-Fetch-Site", site), ("Sec-Fetch-Mode", "navigate"),
                                     ("Sec-Fetch-Dest", "document")])
            self.assertEqual((page.status, page.body), (200, index), site)
            self.assertEqual(page.headers["x-content-type-options"], "nosniff")
            self.assertEqual(page.headers["x-frame-options"], "SAMEORIGIN")
        self.assertEqual(send("GET", "/js/webagent.js", [("Sec-Fetch-Site", "same-origin")])
                         .headers["x-content-type-options"], "nosniff")
        self.assert_untouched()


    def test_an_allowed_site_gets_its_headers_on_every_kind_of_reply(self):
        """Every reply path writes the policy's header lines: JSON and HTML envelopes, refusals
        of the service layer, the session identifier, images, Base64 data and the live
        stream."""
        from_allowed = [("Origin", ALLOWED), ("Sec-Fetch-Site", "cross-site"),
                        ("Sec-Fetch-Mode", "cors"), ("Sec-Fetch-Dest", "empty")]
        owner = from_allowed + [("Cookie", self.owner.cookie)]
        mine = query([("sHandle", self.handle), ("id", "owner")])
        cases = [
            ("scanner operation", "/api/version?" + self.q(), from_allowed),
            ("unsupported name", "/api/noSuchOperation?" + self.q(), from_allowed),
            ("session refusal", "/api/isFingerOn?" + self.q(), from_allowed),
            ("database operation", "/db/queryData?" + mine, owner),
            ("session identifier", "/api/createSessionID", from_allowed),
            ("image", "/img/CaptureImg.bmp?shandle=%s&id=owner" % self.handle, owner),
            ("blank image", "/img/PreviewImg.bmp?shandle=-1&id=owner", from_allowed),
            ("Base64 data", "/tmp/last.json?shandle=%s&id=owner" % self.handle, owner),
        ]
        for name, path, headers in cases:
            reply = send("GET", path, headers)
            self.assertEqual(reply.status, 200, (name, reply.raw[:300]))
            self.assert_allowed_headers(reply.head, name)
        refused = send("GET", "/api/isFingerOn?" + self.q(), from_allowed).json()
        self.assertEqual(refused["retValue"], -112, refused)

        # The live stream: only its head is read, then the page goes away.
        sock = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=20)
        try:
            lines = ["GET /img/PreviewStreaming.bmp?shandle=%s&id=owner HTTP/1.1" % self.handle,
                     "Host: 127.0.0.1:%d" % HTTP_PORT]
            lines.extend("%s: %s" % header for header in owner)
            sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = sock.recv(4096)
                self.assertTrue(chunk, head)
                head += chunk
        finally:
            sock.close()
        head = head.partition(b"\r\n\r\n")[0] + b"\r\n\r\n"
        self.assertIn(b"multipart/x-mixed-replace", head)
        self.assert_allowed_headers(head, "live stream")
        self.assert_untouched()

    def assert_allowed_headers(self, head, what):
        text = head.decode("latin-1")
        self.assertIn("\r\nAccess-Control-Allow-Origin: %s\r\n" % ALLOWED, text, what)
        self.assertIn("\r\nAccess-Control-Allow-Credentials: true\r\n", text, what)
        self.assertIn("\r\nVary: Origin\r\n", text, what)
        self.assertIn("\r\nX-Content-Type-Options: nosniff\r\n", text, what)
        self.assertNotIn("Access-Control-Allow-Origin: *", text, what)


class AllowedOriginsFile(unittest.TestCase):
    """The user's list in $XDG_CONFIG_HOME/webagent/allowed-origins."""

    def test_listed_sites_are_allowed_and_bad_lines_reported(self):
        agent = Agent()
        try:
            folder = os.path.join(agent.env["XDG_CONFIG_HOME"], "webagent")
            os.makedirs(folder)
            with open(os.path.join(folder, "allowed-origins"), "w") as f:
                f.write("# the front desk's application\n%s\n\n  HTTPS://Reports.Example:443/ "
                        "# reports\n*\n" % LISTED)
            agent.start()
            for origin in (LISTED, "https://reports.example"):
                reply = send("GET", "/api/version?dummy=1", [("Origin", origin)])
                self.assertEqual(reply.status, 200, origin)
                self.assertEqual(reply.headers["access-control-allow-origin"], origin)
            self.assertEqual(send("GET", "/api/version?dummy=1", [("Origin", ALLOWED)]).status,
                             403, "not listed here")
            self.assertIn('line 5: "*" is not an origin', agent.stderr())
            assert_clean_exit(self, agent, agent.stop())
        finally:
            agent.cleanup()


class CloseCommand(unittest.TestCase):
    """/api/close stops the agent only for its own page, allowed sites and local programs."""

    def tearDown(self):
        harness.wait_port_free(HTTP_PORT)
        harness.wait_port_free(HTTPS_PORT)

    def test_who_may_stop_the_agent(self):
        cases = [
            ("own page", [("Origin", OWN_HTTP), ("Sec-Fetch-Site", "same-origin")]),
            ("allowed site", [("Origin", ALLOWED), ("Sec-Fetch-Site", "cross-site")]),
            ("local program", []),
        ]
        for name, headers in cases:
            with self.subTest(name):
                agent = Agent(args=("--allow-origin", ALLOWED)).start()
                try:
                    # Nothing from another site stops it first.
                    for hostile in (FROM_EVIL, IMG_FROM_EVIL):
                        self.assertEqual(send("GET", "/api/close", hostile).status, 403)
                        self.assertEqual(send("OPTIONS", "/api/close", hostile).status, 403)
                    self.assertEqual(send("OPTIONS", "/api/close", headers).status, 204)
                    self.assertEqual(send("GET", "/api/close", host="evil.example:8084").status,
                                     403)
                    self.assertIsNone(agent.process.poll())
                    self.assertIn(b"sessionId", get("/api/createSessionID").raw)
                    send("GET", "/api/close?dummy=1", headers)
                    assert_clean_exit(self, agent, agent.wait(timeout=10))
                finally:
                    agent.cleanup()
                harness.wait_port_free(HTTP_PORT)


if __name__ == "__main__":
    unittest.main()
