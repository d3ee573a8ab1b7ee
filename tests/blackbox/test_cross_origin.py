"""A web application on a site of its own uses the agent, as a browser lets it.

The application's page is on http://127.0.0.1:9000, which the user allowed with --allow-origin.
It cannot set the agent's cookie, so it sends its session identifier as the X-Session-Id header
(or as the "sessionId" query variable where it cannot set a header). It gets CORS answers with
credentials, the identifier alone decides the binding (an unrelated cookie beside it changes
nothing), a refusal says who holds the scanner and until when, a beacon frees the scanner when
the page goes, and a site that is not allowed can read why it is refused. The events stream
opens at once, counts against the cap of long-lived streams, notices a page that has gone and
ends when the agent stops.
"""

import re
import socket
import time
import unittest
from datetime import datetime

import harness
from harness import (Agent, AgentTestCase, HTTP_PORT, Page, Response, get, init_devices, query,
                     raw_request)

APP = "http://127.0.0.1:9000"
OTHER_SITE = "http://127.0.0.1:9001"
REFUSED_TEXT = b"this site is not allowed to use the agent: ask your administrator to add it"
STREAM_CAP = 8
# Bounds for waits on the agent; generous, so that no case depends on the machine's speed.
HANG_BOUND = 30.0

# What fetch() from the application's page sends with it.
FROM_APP = [("Origin", APP), ("Sec-Fetch-Site", "same-site"), ("Sec-Fetch-Mode", "cors"),
            ("Sec-Fetch-Dest", "empty")]


def send(method, path, headers=(), body=b""):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: 127.0.0.1:%d" % HTTP_PORT]
    lines.extend("%s: %s" % header for header in headers)
    if body:
        lines.append("Content-Length: %d" % len(body))
    data = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body
    return Response(raw_request(data))


def new_session_id():
    return get("/api/createSessionID?dummy=1").json()["sessionId"]


class OpenStream:
    """A long-lived reply (events or preview) of which only the head and first bytes are read."""

    def __init__(self, path, headers=(), until=b"\r\n\r\n"):
        self.sock = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=HANG_BOUND)
        lines = ["GET %s HTTP/1.1" % path, "Host: 127.0.0.1:%d" % HTTP_PORT]
        lines.extend("%s: %s" % header for header in headers)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        self.data = b""
        self.read_until(until)

    def read_until(self, marker):
        while marker not in self.data:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            self.data += chunk
        return marker in self.data

    def read_to_end(self):
        """Everything until the agent closes the connection."""
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                return self.data
            self.data += chunk

    def head(self):
        return Response(self.data)

    def close(self):
        self.sock.close()


def events_path(session_id, page_id="app"):
    return "/api/events?dummy=1&id=%s&sessionId=%s" % (page_id, session_id)


class CrossOriginSessions(AgentTestCase):
    agent_args = ("--allow-origin", APP)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.handle = init_devices(Page(page_id="setup"))[0]

    def setUp(self):
        self.sessions = []

    def tearDown(self):
        # Every test leaves the scanner free for the next one.
        for session_id, page_id in self.sessions:
            get("/api/sessionClear?dummy=1&id=%s&sessionId=%s" % (page_id, session_id))

    def session(self, page_id):
        session_id = new_session_id()
        self.sessions.append((session_id, page_id))
        return session_id

    def call(self, name, page_id, headers=(), prefix="api", **params):
        items = [("sHandle", self.handle), ("id", page_id)] + list(params.items())
        return send("GET", "/%s/%s?%s" % (prefix, name, query(items)), FROM_APP + list(headers))

    def uses_scanner(self, page_id, headers=(), **params):
        reply = self.call("isFingerOn", page_id, headers, **params).json()
        return reply.get("retValue") != -112, reply

    def test_allowed_site_gets_cors_with_credentials_and_preflights_allow_the_header(self):
        reply = send("GET", "/api/version?dummy=1", FROM_APP)
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.headers.get("access-control-allow-origin"), APP)
        self.assertEqual(reply.headers.get("access-control-allow-credentials"), "true")
        self.assertEqual(reply.headers.get("vary"), "Origin")
        preflight = send("OPTIONS", "/api/captureSingle?dummy=1", [
            ("Origin", APP), ("Access-Control-Request-Method", "GET"),
            ("Access-Control-Request-Headers", "x-session-id"),
            ("Access-Control-Request-Private-Network", "true")])
        self.assertEqual(preflight.status, 204, preflight.raw)
        self.assertEqual(preflight.headers.get("access-control-allow-origin"), APP)
        self.assertEqual(preflight.headers.get("access-control-allow-credentials"), "true")
        self.assertEqual(preflight.headers.get("access-control-allow-headers"),
                         "Content-Type, X-Session-Id")
        self.assertEqual(preflight.headers.get("access-control-allow-methods"),
                         "GET, POST, OPTIONS")
        self.assertEqual(preflight.headers.get("access-control-allow-private-network"), "true")
        # Not asked, not answered.
        plain = send("OPTIONS", "/api/captureSingle?dummy=1", [
            ("Origin", APP), ("Access-Control-Request-Method", "GET")])
        self.assertNotIn("access-control-allow-private-network", plain.headers)

    def test_identifier_in_the_header_or_query_works_without_a_cookie(self):
        mine = self.session("app")
        ok, reply = self.uses_scanner("app", [("X-Session-Id", mine)])
        self.assertTrue(ok, reply)
        # The same session by the query variable (an <img>, an EventSource, a beacon).
        ok, reply = self.uses_scanner("app", sessionId=mine)
        self.assertTrue(ok, reply)
        image = get("/img/CaptureImg.bmp?shandle=%s&id=app&sessionId=%s" % (self.handle, mine))
        self.assertEqual(image.status, 200)
        # Nothing names a session: the old refusal, now with advice.
        ok, reply = self.uses_scanner("app")
        self.assertFalse(ok)
        self.assertEqual(reply["retString"], "No session cookie is passed")
        self.assertIn("X-Session-Id", reply["detail"])
        self.assertNotIn("heldUntil", reply)

    def test_an_unrelated_cookie_beside_the_identifier_changes_nothing(self):
        mine = self.session("app")
        ok, reply = self.uses_scanner("app", [("Cookie", mine)])
        self.assertTrue(ok, reply)
        for cookie in ("theme=dark; " + mine, mine + "; theme=dark",
                       "theme=dark; sessionId=%s; lang=de" % mine):
            ok, reply = self.uses_scanner("app", [("Cookie", cookie)])
            self.assertTrue(ok, (cookie, reply))
        # The header beats a cookie of another session set on the same host.
        other = new_session_id()
        ok, reply = self.uses_scanner("app", [("X-Session-Id", mine), ("Cookie", other)])
        self.assertTrue(ok, reply)
        ok, reply = self.uses_scanner("app", [("Cookie", "theme=dark")])
        self.assertFalse(ok, reply)

    def test_second_session_is_told_who_holds_the_scanner_and_until_when(self):
        mine = self.session("app")
        self.assertTrue(self.uses_scanner("app", [("X-Session-Id", mine)])[0])
        before = datetime.now().replace(microsecond=0)
        ok, reply = self.uses_scanner("other", [("X-Session-Id", new_session_id())])
        after = datetime.now()
        self.assertFalse(ok)
        self.assertEqual(reply["retValue"], -112)
        self.assertEqual(reply["retString"], "invalid session cookie")
        held_until = datetime.strptime(reply["heldUntil"], "%Y-%m-%dT%H:%M:%S")
        # Five minutes and a second from the holder's last request, which came before.
        self.assertLessEqual(held_until.timestamp(), after.timestamp() + 302)
        self.assertGreaterEqual(held_until.timestamp(), before.timestamp() + 240)
        self.assertEqual(
            reply["detail"],
            "scanner %s is held by another page until %s; it is freed when that page closes or "
            "after it has been idle for 5 minutes" % (self.handle, reply["heldUntil"][11:]))

    def test_beacon_to_session_clear_frees_the_scanner_for_another_session(self):
        mine = self.session("app")
        self.assertTrue(self.uses_scanner("app", [("X-Session-Id", mine)])[0])
        other = self.session("other")
        self.assertFalse(self.uses_scanner("other", [("X-Session-Id", other)])[0])
        # What navigator.sendBeacon sends when the page goes: a POST with a body, no header of
        # its own, the identifier and the page ID in the query.
        beacon = send("POST", "/api/sessionClear?dummy=1&id=app&sessionId=%s" % mine,
                      [("Origin", APP), ("Sec-Fetch-Site", "same-site"),
                       ("Sec-Fetch-Mode", "no-cors"), ("Content-Type", "text/plain;charset=UTF-8")],
                      body=b"bye")
        self.assertNotEqual(beacon.status, 405, beacon.raw)
        ok, reply = self.uses_scanner("other", [("X-Session-Id", other)])
        self.assertTrue(ok, reply)
        # Any other POST still runs nothing.
        self.assertEqual(send("POST", "/api/uninitDevice?dummy=1", FROM_APP).status, 405)

    def test_base64_text_of_a_refused_page_is_the_blank_answer(self):
        mine = self.session("app")
        self.assertTrue(self.uses_scanner("app", [("X-Session-Id", mine)])[0])
        for path in ("/tmp/x?shandle=%s&id=other&sessionId=%s" % (self.handle, new_session_id()),
                     "/tmp/x?shandle=999999&id=app&sessionId=%s" % mine):
            reply = get(path)
            self.assertEqual(reply.status, 200, (path, reply.raw[:200]))
            self.assertTrue(reply.body.startswith(b"GIF89a"), (path, reply.raw[:200]))
            self.assertNotIn(b"dataBase64", reply.raw)

    def test_refused_site_can_read_why(self):
        reply = send("GET", "/api/createSessionID?dummy=1",
                     [("Origin", OTHER_SITE), ("Sec-Fetch-Site", "same-site"),
                      ("Sec-Fetch-Mode", "cors")])
        self.assertEqual(reply.status, 403)
        self.assertEqual(reply.headers.get("access-control-allow-origin"), OTHER_SITE)
        self.assertNotIn("access-control-allow-credentials", reply.headers)
        self.assertEqual(reply.body.strip(), REFUSED_TEXT)
        self.assertNotIn(b"sessionId", reply.body)


class EventsStream(AgentTestCase):
    agent_args = ("--allow-origin", APP)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="app")
        cls.handle = init_devices(cls.page)[0]

    def open_events(self, expect=b": connected\n\n"):
        """An events stream; waits while slots of streams closed just before are still held."""
        deadline = time.monotonic() + HANG_BOUND
        while True:
            stream = OpenStream(events_path(self.page.cookie), FROM_APP, until=expect)
            if expect in stream.data or time.monotonic() > deadline:
                return stream
            stream.close()
            time.sleep(0.2)

    def open_preview(self):
        return OpenStream("/img/PreviewStreaming.bmp?sHandle=%s&id=app&sessionId=%s" % (
            self.handle, self.page.cookie))

    def test_stream_opens_at_once_with_its_headers(self):
        stream = self.open_events()
        try:
            head = stream.head()
            self.assertEqual(head.status, 200, stream.data)
            self.assertEqual(head.headers.get("content-type"), "text/event-stream")
            self.assertEqual(head.headers.get("cache-control"), "no-store")
            self.assertEqual(head.headers.get("access-control-allow-origin"), APP)
            self.assertEqual(head.headers.get("access-control-allow-credentials"), "true")
            self.assertTrue(head.body.startswith(b": connected\n\n"), head.body)
        finally:
            stream.close()

    def test_events_count_against_the_stream_cap_and_a_gone_page_frees_its_slot(self):
        previews = []
        events = None
        try:
            for _ in range(STREAM_CAP - 1):
                previews.append(self.open_preview())
                self.assertEqual(previews[-1].head().status, 200, previews[-1].data[:200])
            events = self.open_events()
            # Eight long-lived replies are open: neither kind gets a ninth.
            refused = OpenStream(events_path(self.page.cookie), FROM_APP)
            self.assertTrue(refused.data.startswith(b"HTTP/1.1 503 "), refused.data)
            refused.close()
            refused = self.open_preview()
            self.assertTrue(refused.data.startswith(b"HTTP/1.1 503 "), refused.data)
            refused.close()
            # The events page goes; its stream notices at its next keep-alive and gives its
            # slot back, so a new stream opens.
            events.close()
            events = self.open_events()
            self.assertIn(b": connected\n\n", events.data)
        finally:
            for stream in previews:
                stream.close()
            if events is not None:
                events.close()


class EventsStreamAtStop(unittest.TestCase):
    def test_stream_ends_when_the_agent_stops_and_the_address_was_shown(self):
        agent = Agent().start()
        try:
            self.assertIn("Open https://127.0.0.1:8083/ in your browser "
                          "(or http://127.0.0.1:8084/)", self.wait_for_banner(agent))
            stream = OpenStream(events_path(new_session_id()), until=b": connected\n\n")
            self.assertIn(b": connected\n\n", stream.data)
            get("/api/close?dummy=1")
            # The stream ends (rather than holding its worker and the shutdown) and the agent
            # exits cleanly.
            stream.read_to_end()
            stream.close()
            self.assertEqual(agent.wait(timeout=HANG_BOUND), 0, agent.stderr()[-2000:])
            self.assertNotIn("runtime error:", agent.stderr())
            self.assertNotIn(".exe", agent.stdout() + agent.stderr())
        finally:
            agent.cleanup()

    @staticmethod
    def wait_for_banner(agent):
        deadline = time.monotonic() + HANG_BOUND
        while "in your browser" not in agent.stdout() and time.monotonic() < deadline:
            time.sleep(0.05)
        return agent.stdout()


if __name__ == "__main__":
    unittest.main()
