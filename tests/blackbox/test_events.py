"""What happens at the scanners reaches the pages that listen, and only the pages entitled to it.

A page opens /api/events with its session identifier and sees its scanner's finger go on and
off, its captures start and end, each sample of an enrolment, and scanners plugged in and out.
Events of a scanner bound to another page never reach it.
"""

import json
import socket
import time
import unittest

from harness import AgentTestCase, HTTP_PORT, Page, init_devices, virtual_scanner

# Bound for waits on the agent; generous, so that no case depends on the machine's speed.
HANG_BOUND = 30.0


class EventReader:
    """One events stream, read as a page's EventSource would: a list of (name, data)."""

    def __init__(self, page):
        self.sock = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=HANG_BOUND)
        path = "/api/events?dummy=1&id=%s&sessionId=%s" % (page.page_id, page.cookie)
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" %
                           (path, HTTP_PORT)).encode("latin-1"))
        self.buffer = b""
        self.events = []  # parsed, not yet taken by wait_for
        self.log = []  # every event the stream delivered, in order
        head_end = self._read_until(b"\r\n\r\n")
        head = self.buffer[:head_end]
        if not head.startswith(b"HTTP/1.1 200 "):
            raise AssertionError("events stream refused: %r" % head[:200])
        self.buffer = self.buffer[head_end + 4:]
        self._read_until(b": connected\n\n")

    def _read_until(self, marker):
        while marker not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("events stream ended early: %r" % self.buffer[-200:])
            self.buffer += chunk
        return self.buffer.index(marker)

    def _parse(self):
        while b"\n\n" in self.buffer:
            block, self.buffer = self.buffer.split(b"\n\n", 1)
            name, data = None, None
            for line in block.decode("utf-8").split("\n"):
                if line.startswith("event: "):
                    name = line[len("event: "):]
                elif line.startswith("data: "):
                    data = json.loads(line[len("data: "):])
            if name is not None:
                self.events.append((name, data))
                self.log.append((name, data))

    def wait_for(self, name, **members):
        """The first event not yet taken named `name` whose data holds `members`."""
        deadline = time.monotonic() + HANG_BOUND
        while True:
            self._parse()
            for index, (event_name, data) in enumerate(self.events):
                if event_name == name and all(data.get(k) == v for k, v in members.items()):
                    del self.events[:index + 1]
                    return data
            if time.monotonic() > deadline:
                raise AssertionError("no %s %s in %s" % (name, members, self.events))
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("events stream ended while waiting for %s" % name)
            self.buffer += chunk

    def close(self):
        self.sock.close()


def last_device(agent):
    """Index of the last device 'virtual-scanner list' shows (the one plugged last)."""
    indexes = [int(line.split()[0]) for line in virtual_scanner(agent, "list").splitlines()
               if line.split() and line.split()[0].isdigit()]
    return max(indexes)


class Events(AgentTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="listener")
        cls.handle = str(init_devices(cls.page)[0])

    def setUp(self):
        self.stream = EventReader(self.page)

    def tearDown(self):
        self.stream.close()
        self.page.db("deleteAll", self.handle)

    def test_each_enrolment_sample_is_announced(self):
        virtual_scanner(self.agent, "place", 0, 3)
        reply = self.page.db("enroll", self.handle, userSerialNo=0, userID="events",
                             extractEx=1).json()
        self.assertEqual(reply["retValue"], "0", reply)
        first = self.stream.wait_for("enrolsample", sHandle=self.handle)
        self.assertEqual(first["sample"], 1, first)
        self.assertGreaterEqual(first["samples"], 1, first)
        self.assertIn("quality", first)

    def test_scanners_plugged_in_and_out_are_announced_to_everyone(self):
        other = Page(page_id="bystander")
        bystander = EventReader(other)
        try:
            virtual_scanner(self.agent, "plug")
            for stream in (self.stream, bystander):
                stream.wait_for("plug")
            # The agent notices the new device; take it out again so the next case sees one.
            handles = init_devices(self.page)
            virtual_scanner(self.agent, "unplug", last_device(self.agent))
            for stream in (self.stream, bystander):
                stream.wait_for("unplug")
            self.assertGreaterEqual(len(handles), 1)
        finally:
            bystander.close()
            type(self).handle = str(init_devices(self.page)[0])

    def test_another_page_hears_nothing_of_a_scanner_bound_to_this_one(self):
        # This page binds the scanner by using it.
        self.assertNotEqual(self.page.api("isFingerOn", self.handle).json().get("retValue"), -112)
        other = Page(page_id="bystander")
        bystander = EventReader(other)
        try:
            virtual_scanner(self.agent, "place", 0, 4)
            self.assertEqual(self.page.api("captureSingle", self.handle).json()["retValue"], "0")
            self.stream.wait_for("capturedone", sHandle=self.handle)
            # A plug is everyone's news: once the bystander has it, everything published before
            # it has been delivered, and none of it may name the bound scanner.
            virtual_scanner(self.agent, "plug")
            bystander.wait_for("plug")
            leaked = [e for e in bystander.log if (e[1] or {}).get("sHandle") == self.handle]
            self.assertEqual(leaked, [], bystander.log)
        finally:
            bystander.close()
            last = last_device(self.agent)
            if last > 0:
                virtual_scanner(self.agent, "unplug", last)
            type(self).handle = str(init_devices(self.page)[0])


class FingerEvents(AgentTestCase):
    """A fresh agent: the finger watcher has seen the sensor empty from the start, so each
    change below is one it must report."""

    def setUp(self):
        self.page = Page(page_id="listener")
        self.handle = str(init_devices(self.page)[0])
        self.stream = EventReader(self.page)

    def tearDown(self):
        self.stream.close()

    def test_finger_on_and_off_and_a_capture_from_start_to_end(self):
        self.assertNotEqual(self.page.api("isFingerOn", self.handle).json().get("retValue"), -112)
        virtual_scanner(self.agent, "place", 0, 2)
        self.stream.wait_for("fingeron", sHandle=self.handle)
        reply = self.page.api("captureSingle", self.handle).json()
        self.assertEqual(reply["retValue"], "0", reply)
        started = self.stream.wait_for("capturestarted", sHandle=self.handle)
        self.assertEqual(started.get("mode"), "capture", started)
        self.assertEqual(self.stream.wait_for("capturedone", sHandle=self.handle)["retValue"], 0)
        virtual_scanner(self.agent, "lift", 0)
        self.stream.wait_for("fingeroff", sHandle=self.handle)


if __name__ == "__main__":
    unittest.main()
