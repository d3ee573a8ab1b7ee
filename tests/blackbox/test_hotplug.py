"""Scanners plugged and unplugged while the agent runs, and a Stop that ends a waiting capture
without holding up anyone else."""

import socket
import threading
import time
import unittest

import harness
from harness import AgentTestCase, Page, get, init_devices, virtual_scanner

GIF_MAGIC = b"GIF89a"
# Bounds on hangs only: a capture left waiting runs for a minute, so anything that waits for it
# shows as a failure long before, however slow the machine.
CAPTURE_TIMEOUT_S = 60
HANG_S = 20


def wait_until(predicate, timeout=HANG_S, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


class Background:
    """One request on its own thread (a page waiting for captureSingle)."""

    def __init__(self, call):
        self.reply = None
        self.error = None
        self.finished_at = None

        def run():
            try:
                self.reply = call()
            except Exception as error:  # reported by the test that reads it
                self.error = error
            self.finished_at = time.monotonic()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def running(self):
        return self.thread.is_alive()

    def join(self, timeout=HANG_S):
        self.thread.join(timeout)
        return not self.thread.is_alive()


def first_stream_part(page, handle):
    """The bytes of the first image part of the preview stream (b"" when the stream ended)."""
    sock = socket.create_connection(("127.0.0.1", harness.HTTP_PORT), timeout=HANG_S)
    try:
        sock.sendall(("GET /img/PreviewStreaming.bmp?sHandle=%s&id=%s HTTP/1.1\r\n"
                      "Host: 127.0.0.1\r\nCookie: %s\r\n\r\n"
                      % (handle, page.page_id, page.cookie)).encode())
        data = b""
        while b"BM" not in data.split(b"\r\n\r\n", 1)[-1] or len(data) < 4096:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
        return data
    finally:
        sock.close()


class HotPlug(AgentTestCase):
    """initDevice makes the agent's scanners follow what is attached now."""

    def setUp(self):
        self.page = Page(page_id="hotplug")

    def assert_usable(self, handle):
        page = self.page
        reply = page.api("captureSingle", handle).json()
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        image = page.image("CaptureImg.bmp", handle).body
        self.assertEqual(image[:2], b"BM", "the capture is served as a BMP, not the blank GIF")
        self.assertEqual(page.api("startCapturing", handle).json()["retValue"], "0")
        try:
            part = first_stream_part(page, handle)
            self.assertIn(b"--myboundary", part)
            self.assertIn(b"BM", part.split(b"\r\n\r\n", 2)[-1])
        finally:
            self.assertEqual(page.api("abortCapture", handle).json()["retValue"], "0")

    def test_a_plugged_scanner_is_usable_and_an_unplugged_one_goes(self):
        page = self.page
        page.api("uninitDevice")
        first = init_devices(page)
        self.assertEqual(len(first), 1)
        virtual_scanner(self.agent, "plug", "--type", "1002")
        try:
            handles = init_devices(page)
            self.assertEqual(len(handles), 2)
            self.assertEqual(handles[0], first[0], "a device seen before keeps its handle")
            plugged = handles[1]
            self.assertEqual(page.api("initDevice").json()["ScannerInfos"][1]["DeviceType"],
                             "KQ20")
            self.assert_usable(plugged)
            self.assert_usable(first[0])
        finally:
            virtual_scanner(self.agent, "unplug", 1)
        self.assertEqual(init_devices(page), first)
        reply = page.api("captureSingle", plugged).json()
        self.assertNotEqual(reply["retValue"], "0", "an unplugged scanner's handle is refused")
        self.assertEqual(page.image("CaptureImg.bmp", plugged).body[:6], GIF_MAGIC)
        self.assert_usable(first[0])

    def test_the_only_scanner_unplugged_and_plugged_again(self):
        page = self.page
        page.api("uninitDevice")
        old = init_devices(page)
        self.assertEqual(len(old), 1)
        virtual_scanner(self.agent, "unplug", 0)
        try:
            reply = page.api("initDevice")
            self.assertEqual(reply.status, 200)
            self.assertEqual(reply.body, b"", "no scanner attached: an empty answer")
            self.assertNotEqual(page.api("captureSingle", old[0]).json()["retValue"], "0")
        finally:
            virtual_scanner(self.agent, "plug")
        handles = init_devices(page)
        self.assertEqual(len(handles), 1)
        self.assertNotEqual(handles, old)
        self.assert_usable(handles[0])


class Stop(AgentTestCase):
    """abortCapture reaches a capture waiting for a finger; nobody else waits for it."""

    def setUp(self):
        self.page = Page(page_id="stop")
        self.page.api("uninitDevice")
        self.handle = init_devices(self.page)[0]
        reply = self.page.api("setParameters", self.handle, timeout=CAPTURE_TIMEOUT_S).json()
        self.assertEqual(reply["retValue"], "0")
        virtual_scanner(self.agent, "lift", 0)

    def tearDown(self):
        virtual_scanner(self.agent, "place", 0, 1)
        self.page.api("abortCapture", self.handle)

    def start_waiting_capture(self, page=None):
        page = page or self.page
        capture = Background(lambda: page.api("captureSingle", self.handle).json())
        # The status answers while the capture waits, so it tells when the wait has begun.
        self.assertTrue(wait_until(lambda: page.api("getScannerStatus", self.handle)
                                   .json().get("IsCapturing") == "true"),
                        "getScannerStatus answers during a waiting capture")
        self.assertTrue(capture.running())
        return capture

    def test_abort_ends_a_waiting_capture_at_once(self):
        capture = self.start_waiting_capture()
        sent = time.monotonic()
        reply = self.page.api("abortCapture", self.handle).json()
        answered = time.monotonic()
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        self.assertTrue(capture.join(), "the capture ended after the abort")
        self.assertIsNone(capture.error)
        self.assertEqual(capture.reply["retValue"], "-106")
        print("\nabortCapture answered in %.1f ms, the capture ended %.1f ms after it was sent"
              % (1000 * (answered - sent), 1000 * (capture.finished_at - sent)))
        # The scanner serves its page again.
        virtual_scanner(self.agent, "place", 0, 1)
        self.assertEqual(self.page.api("captureSingle", self.handle).json()["retValue"], "0")

    def test_others_are_served_while_a_capture_waits(self):
        virtual_scanner(self.agent, "plug")
        other_page = Page(page_id="other")
        try:
            handles = init_devices(self.page)
            self.assertEqual(handles[0], self.handle)
            other = handles[1]
            capture = self.start_waiting_capture()
            # Another scanner captures, exports and reads its parameters.
            reply = other_page.api("captureSingle", other).json()
            self.assertEqual(reply["retValue"], "0")
            self.assertEqual(other_page.api("getImageData", other, fileType=1).json()["retValue"],
                             "0")
            self.assertEqual(other_page.api("getParameters", other).json()["retValue"], "0")
            # The database, the status of the waiting scanner, the agent's version.
            self.assertEqual(self.page.db("queryData", self.handle).status, 200)
            status = self.page.api("getScannerStatus", self.handle).json()
            self.assertEqual((status["IsCapturing"], status["SensorOn"]), ("true", "false"))
            self.assertEqual(other_page.api("version", other).json()["API"], "0.1")
            self.assertTrue(capture.running(), "all of that was answered during the wait")
            self.assertEqual(self.page.api("abortCapture", self.handle).json()["retValue"], "0")
            self.assertTrue(capture.join())
            self.assertEqual(capture.reply["retValue"], "-106")
        finally:
            virtual_scanner(self.agent, "unplug", 1)

    def test_a_finger_placed_during_the_wait_is_captured(self):
        capture = self.start_waiting_capture()
        virtual_scanner(self.agent, "place", 0, 3)
        self.assertTrue(capture.join())
        self.assertEqual(capture.reply["retValue"], "0")
        self.assertEqual(self.page.image("CaptureImg.bmp", self.handle).body[:2], b"BM")

    def test_init_and_uninit_during_a_waiting_capture(self):
        capture = self.start_waiting_capture()
        # initDevice lists the scanners without waiting for the capture and leaves it running.
        self.assertEqual(init_devices(self.page), [self.handle])
        self.assertTrue(capture.running())
        # uninitDevice releases the library, which ends the capture.
        reply = self.page.api("uninitDevice").json()
        self.assertEqual(reply["retValue"], "0")
        self.assertTrue(capture.join(), "uninitDevice ended the waiting capture")
        self.assertIsNone(capture.error)
        self.assertNotEqual(capture.reply["retValue"], "0")
        # The old handle is gone; a new initDevice serves again.
        self.assertNotEqual(self.page.api("captureSingle", self.handle).json()["retValue"], "0")
        virtual_scanner(self.agent, "place", 0, 1)
        self.handle = init_devices(self.page)[0]
        self.assertEqual(self.page.api("captureSingle", self.handle).json()["retValue"], "0")

    def test_repeated_races_of_capture_abort_and_reinit(self):
        # Captures, aborts, status polls and re-initialisation from several pages at once: the
        # agent must stay consistent (the sanitizer build checks the memory side).
        capture = self.start_waiting_capture()
        pages = [Page(page_id="race-%d" % i) for i in range(3)]
        stop = time.monotonic() + 3
        errors = []

        def hammer(page, action):
            while time.monotonic() < stop:
                try:
                    handles = init_devices(page)
                    if handles:
                        action(page, handles[0])
                except Exception as error:
                    errors.append(error)
                    return

        actions = [
            lambda page, h: page.api("captureSingle", h),
            lambda page, h: page.api("abortCapture", h),
            lambda page, h: (page.api("getScannerStatus", h), page.api("uninitDevice")),
        ]
        threads = [threading.Thread(target=hammer, args=(p, a), daemon=True)
                   for p, a in zip(pages, actions)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(CAPTURE_TIMEOUT_S)
            self.assertFalse(thread.is_alive(), "a request hung")
        self.assertEqual(errors, [])
        self.assertTrue(capture.join(), "the first uninitDevice ended the waiting capture")
        self.assertIsNone(capture.error)
        self.page.api("uninitDevice")
        self.handle = init_devices(self.page)[0]
        self.assertEqual(get("/index.html").status, 200)


if __name__ == "__main__":
    unittest.main()
