"""Capture control, scanner parameters, the image endpoints and the live preview stream."""

import socket
import struct
import threading
import time
import unittest

import harness
from harness import AgentTestCase, Page, get, init_devices, virtual_scanner

GIF = bytes.fromhex("474946383961010001008000000000" "00FFFFFF2C000000000100010000020" "14C003B")


def parse_bmp(data):
    """(width, height, bits) of an 8-bit BMP as the agent writes it; checks the layout."""
    assert data[:2] == b"BM", data[:16]
    size, _, offset, header, width, height, planes, bits = struct.unpack_from("<IIIIiiHH", data, 2)
    assert size == len(data) and offset == 1078 and header == 40 and planes == 1
    stride = (width + 3) // 4 * 4
    assert size == 1078 + stride * height
    return width, height, bits


class StreamReader:
    """Reads the multipart preview stream part by part from a raw socket."""

    def __init__(self, page, handle):
        self.sock = socket.create_connection(("127.0.0.1", harness.HTTP_PORT), timeout=20)
        request = ("GET /img/PreviewStreaming.bmp?sHandle=%s&id=%s HTTP/1.1\r\n"
                   "Host: 127.0.0.1\r\nCookie: %s\r\n\r\n" % (handle, page.page_id, page.cookie))
        self.sock.sendall(request.encode())
        self.buffer = b""
        header = self._read_until(b"\r\n\r\n")
        assert header.startswith(b"HTTP/1.1 200 OK\r\n"), header
        assert b"multipart/x-mixed-replace; boundary=--myboundary" in header

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("stream closed")
        self.buffer += chunk

    def _read_until(self, marker):
        while marker not in self.buffer:
            self._fill()
        head, _, self.buffer = self.buffer.partition(marker)
        return head + marker

    def _read_exact(self, n):
        while len(self.buffer) < n:
            self._fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def next_frame(self):
        head = self._read_until(b"\r\n\r\n")
        assert head.startswith(b"--myboundary\r\nContent-Length: "), head
        length = int(head.split(b": ")[1].split(b"\r\n")[0])
        return self._read_exact(length)

    def close(self):
        self.sock.close()


class CaptureAndImages(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="capture", cookie="capture-cookie")
        cls.handle = init_devices(cls.page)[0]

    def setUp(self):
        virtual_scanner(self.agent, "place", 0, 1)

    def test_images_before_and_after_a_capture(self):
        page, handle = self.page, self.handle
        page.api("uninitDevice")
        handle = type(self).handle = init_devices(page)[0]
        before = page.image("PreviewImg.bmp", handle)
        self.assertEqual(before.status, 200)
        self.assertEqual(before.headers["content-type"], "image/gif")
        self.assertEqual(before.body, GIF)
        self.assertEqual(before.headers["content-length"], "34")

        reply = page.api("captureSingle", handle).json()
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        capture = page.image("CaptureImg.bmp", handle)
        self.assertEqual(capture.headers["content-type"], "image/bmp")
        self.assertNotIn("access-control-allow-origin", capture.headers)  # no Origin, no echo
        self.assertEqual(capture.headers["x-content-type-options"], "nosniff")
        self.assertEqual(capture.headers["cache-control"], "no-store")
        self.assertEqual(int(capture.headers["content-length"]), len(capture.body))
        self.assertEqual(parse_bmp(capture.body), (320, 480, 8))
        self.assertEqual(page.image("PreviewImg.bmp", handle).body, capture.body)
        # The query variable's name is matched without regard to case.
        for name in ("shandle", "SHANDLE"):
            path = "/img/CaptureImg.bmp?%s=%s&id=capture" % (name, handle)
            self.assertEqual(get(path, cookie=page.cookie).body, capture.body)
        # Another page, or no session at all, gets the blank GIF.
        self.assertEqual(get("/img/CaptureImg.bmp?sHandle=%s&id=capture" % handle,
                             cookie="intruder").body, GIF)
        self.assertEqual(get("/img/CaptureImg.bmp?sHandle=%s&id=capture" % handle).body, GIF)
        self.assertEqual(get("/img/CaptureImg.bmp").body, GIF)

        second = page.api("captureSingle", handle).json()
        self.assertEqual(second["retValue"], "0")
        self.assertNotEqual(page.image("CaptureImg.bmp", handle).body, capture.body,
                            "every capture is a fresh impression")

    def test_lifted_finger_times_out_after_the_configured_timeout(self):
        page, handle = self.page, self.handle
        self.assertEqual(page.api("setParameters", handle, timeout=1).json()["retValue"], "0")
        self.assertEqual(page.api("getParameters", handle).json()["timeout"], 1000)
        virtual_scanner(self.agent, "lift", 0)
        start = time.monotonic()
        reply = page.api("captureSingle", handle).json()
        elapsed = time.monotonic() - start
        self.assertNotEqual(reply["retValue"], "0")
        self.assertEqual(reply["retValue"], "-105")
        self.assertGreaterEqual(elapsed, 0.9)
        page.api("setParameters", handle, timeout=5)

    def test_images_keep_flowing_while_a_capture_waits(self):
        page, handle = self.page, self.handle
        self.assertEqual(page.api("captureSingle", handle).json()["retValue"], "0")
        image = page.image("CaptureImg.bmp", handle).body
        page.api("setParameters", handle, timeout=10)
        virtual_scanner(self.agent, "lift", 0)
        results = {}
        waiting = threading.Thread(
            target=lambda: results.update(reply=page.api("captureSingle", handle).json()))
        waiting.start()
        try:
            time.sleep(0.5)
            self.assertEqual(page.image("CaptureImg.bmp", handle).body, image)
            stream = StreamReader(page, handle)
            self.assertEqual(stream.next_frame(), image)
            stream.close()
            # Delivered while the capture still waits out its 10 s: the image did not wait for it.
            self.assertTrue(waiting.is_alive(), "image delivery waited for the capture")
        finally:
            waiting.join(timeout=30)
            page.api("setParameters", handle, timeout=5)
        self.assertEqual(results["reply"]["retValue"], "-105")

    def test_live_stream_shows_changing_frames_until_aborted(self):
        page, handle = self.page, self.handle
        self.assertEqual(page.api("startCapturing", handle).json()["retValue"], "0")
        status = page.api("getScannerStatus", handle).json()
        self.assertEqual(status["IsCapturing"], "true")
        self.assertEqual(status["SensorOn"], "true")
        stream = StreamReader(page, handle)
        try:
            frames = set()
            deadline = time.monotonic() + 20
            while len(frames) < 3 and time.monotonic() < deadline:
                frame = stream.next_frame()
                self.assertEqual(parse_bmp(frame), (320, 480, 8))
                frames.add(frame)
            self.assertGreaterEqual(len(frames), 3, "live frames change")
            self.assertEqual(page.api("getScannerStatus", handle).json()["IsFingerOn"], "true")
            self.assertEqual(page.api("abortCapture", handle).json()["retValue"], "0")
            self.assertEqual(page.api("getScannerStatus", handle).json()["IsCapturing"], "false")
            time.sleep(0.3)
            page.api("getScannerStatus", handle)  # clears the flag of any last frame
            last = stream.next_frame()
            time.sleep(0.5)
            for _ in range(5):
                self.assertEqual(stream.next_frame(), last, "no new frames after abort")
            self.assertEqual(page.api("getScannerStatus", handle).json()["IsFingerOn"], "false")
        finally:
            stream.close()

    def test_auto_capture_waits_for_a_finger(self):
        page, handle = self.page, self.handle
        virtual_scanner(self.agent, "lift", 0)
        page.api("getScannerStatus", handle)
        self.assertEqual(page.api("autoCapture", handle, resetTimer=10000).json()["retValue"], "0")
        time.sleep(1.0)
        self.assertEqual(page.api("getScannerStatus", handle).json()["IsFingerOn"], "false")
        virtual_scanner(self.agent, "place", 0, 3)
        deadline = time.monotonic() + 20
        seen = False
        while time.monotonic() < deadline and not seen:
            seen = page.api("getScannerStatus", handle).json()["IsFingerOn"] == "true"
            time.sleep(0.1)
        self.assertTrue(seen, "the automatic capture delivered an image")
        self.assertEqual(parse_bmp(page.image("CaptureImg.bmp", handle).body)[:2], (320, 480))

    def test_parameters_round_trip(self):
        page, handle = self.page, self.handle
        reply = page.api("setParameters", handle, timeout="0x3", brightness=40, sensitivity="010",
                         securityLevel=3, fastMode=1, templateType=2).json()
        self.assertEqual(reply["retValue"], "0", reply)
        self.assertNotIn("unsupportedVariables", reply)
        got = page.api("getParameters", handle).json()
        self.assertEqual((got["timeout"], got["brightness"], got["sensitivity"]), (3000, 40, 8))
        self.assertEqual((got["securitylevel"], got["fastmode"], got["TemplateType"]), (3, True, 2))
        # The names getParameters answers with are not the ones setParameters takes.
        self.assertEqual(page.api("setParameters", handle, fastmode=0).json()["retString"],
                         "Success")
        self.assertTrue(page.api("getParameters", handle).json()["fastmode"])
        self.assertEqual(page.call("api", "setParameters", handle, send_id=False).json()["retValue"],
                         "-112")
        page.api("setParameters", handle, fastMode=0, templateType=1, timeout=5, brightness=50,
                 sensitivity=50)

    def test_unsupported_settings_are_listed(self):
        page = self.page
        virtual_scanner(self.agent, "plug", "--type", "1001")
        page.api("uninitDevice")
        handles = init_devices(page)
        kq10 = [h for h, t in zip(handles, page.api("initDevice").json()["ScannerInfos"])
                if t["DeviceType"] == "KQ10"][0]
        reply = page.api("setParameters", kq10, sensitivity=3, brightness=1, timeout=4).json()
        self.assertEqual(reply["retValue"], "0")
        self.assertEqual(reply["unsupportedVariables"], "brightness, sensitivity")
        virtual_scanner(self.agent, "unplug", 1)
        page.api("uninitDevice")
        type(self).handle = init_devices(page)[0]

    def test_closed_streams_free_their_workers(self):
        page, handle = self.page, self.handle
        for _ in range(3):
            streams = [StreamReader(page, handle) for _ in range(8)]
            for stream in streams:
                stream.next_frame()
                stream.close()
            time.sleep(0.5)
        # Ten workers: were the 24 closed streams still running, this would never be answered.
        self.assertEqual(page.api("version", handle).json()["API"], "0.1")
        self.assertEqual(get("/index.html").status, 200)


class StopWithOpenStream(unittest.TestCase):

    def test_agent_stops_promptly_with_streams_open(self):
        agent = harness.Agent().start()
        try:
            page = Page(page_id="s", cookie="s")
            handle = init_devices(page)[0]
            page.api("startCapturing", handle)
            streams = [StreamReader(page, handle) for _ in range(3)]
            for stream in streams:
                stream.next_frame()
            # The streams stay open until the agent ends them: a stop that waited for its readers
            # would never come, so the bound only guards against a hang, not a slow machine.
            get("/api/close")
            self.assertEqual(agent.wait(timeout=30), 0)
            for stream in streams:
                stream.close()
        finally:
            agent.cleanup()


if __name__ == "__main__":
    unittest.main()
