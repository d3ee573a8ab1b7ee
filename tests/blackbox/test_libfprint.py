"""Real-scanner backend: the agent drives scanners through libfprint; libfprint's own
virtual_image driver (a Unix socket named by FP_VIRTUAL_IMAGE that takes images) stands in for a
USB scanner. Fingerprint images come from ../shared/testdata/fingerprints/ beside the repository.

Impressions are fed before the capture that should take them: libfprint reads a new connection
of the socket only while a capture waits, so an image sent on a fresh connection is kept by the
socket until the next capture starts.
"""

import base64
import os
import socket
import struct
import subprocess
import threading
import time
import unittest

import harness
from harness import AgentTestCase, Page, init_devices



def fingerprints_dir():
    """../shared/testdata/fingerprints from the repository; from a git worktree, also from the
    main checkout's root."""
    roots = [harness.ROOT]
    try:
        common = subprocess.run(["git", "-C", harness.ROOT, "rev-parse", "--git-common-dir"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
        if common:
            roots.append(os.path.dirname(os.path.join(harness.ROOT, common)))
    except OSError:
        pass
    for root in roots:
        path = os.path.join(os.path.dirname(os.path.abspath(root)), "shared", "testdata",
                            "fingerprints")
        if os.path.isdir(path):
            return path
    return os.path.join(os.path.dirname(harness.ROOT), "shared", "testdata", "fingerprints")


FINGERPRINTS = fingerprints_dir()
# Optical 500 ppi images: virtual_image reports no resolution, and libfprint then assumes 500.
IMAGE_SET = os.path.join(FINGERPRINTS, "fvc2002_db2_b")


def read_pgm(path):
    """(width, height, pixels) of a binary 8-bit PGM."""
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P5" and fields[3] == b"255", path
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:pos + 1 + width * height]
    assert len(pixels) == width * height
    return width, height, pixels


def bmp_pixels(data):
    """(width, height, top-down pixels) of the agent's 8-bit grey BMP."""
    assert data[:2] == b"BM", data[:16]
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    assert bits == 8
    stride = (width + 3) // 4 * 4
    rows = abs(height)
    lines = [data[offset + r * stride:offset + r * stride + width] for r in range(rows)]
    if height > 0:  # bottom-up
        lines.reverse()
    return width, rows, b"".join(lines)


def b64(text):
    return base64.b64decode(text + "=" * (-len(text) % 4))


def finger(number, impression):
    return read_pgm(os.path.join(IMAGE_SET, "%d_%d.pgm" % (number, impression)))


@unittest.skipUnless(os.path.isdir(IMAGE_SET), "fingerprint images absent: %s" % IMAGE_SET)
class LibfprintVirtualImage(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        cls.socket_dir = harness.tempfile.mkdtemp(prefix="webagent-fp-")
        cls.socket_path = os.path.join(cls.socket_dir, "virtual-image.sock")
        cls.agent_env = {"WEBAGENT_SCANNER_BACKEND": "libfprint",
                         "FP_VIRTUAL_IMAGE": cls.socket_path}
        super().setUpClass()
        cls.page = Page(page_id="fp-page", cookie="fp-cookie")
        reply = cls.page.api("initDevice").json()
        cls.infos = reply["ScannerInfos"]
        cls.handle = cls.infos[0]["DeviceHandle"]

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            harness.shutil.rmtree(cls.socket_dir, ignore_errors=True)

    def feed(self, image):
        """Sends one image on a fresh connection; the next capture takes it."""
        width, height, pixels = image
        deadline = time.monotonic() + 10
        while True:
            try:
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.connect(self.socket_path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        with sock:
            sock.sendall(struct.pack("<ii", width, height) + pixels)

    def api(self, name, **params):
        return self.page.api(name, self.handle, **params).json()

    def db(self, name, **params):
        return self.page.db(name, self.handle, **params).json()

    def capture(self, image):
        self.feed(image)
        reply = self.api("captureSingle")
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"), reply)

    def test_device_is_listed_with_its_driver(self):
        self.assertEqual(len(self.infos), 1)
        self.assertIn("virtual_image", self.infos[0]["ScannerName"])
        self.assertIsInstance(self.handle, int)
        # Brightness and sensitivity are not libfprint's to set.
        reply = self.api("setParameters", brightness=60, sensitivity=60)
        self.assertEqual(reply.get("unsupportedVariables"), "brightness, sensitivity", reply)

    def test_capture_returns_the_fed_image(self):
        image = finger(101, 1)
        self.capture(image)
        shown = bmp_pixels(self.page.image("CaptureImg.bmp", self.handle).body)
        self.assertEqual(shown, image)
        data = self.api("getImageData", fileType=1)
        self.assertEqual(data["retValue"], "0")
        self.assertEqual(bmp_pixels(b64(data["imageBase64"])), image)
        # A second, different image replaces it.
        other = finger(102, 1)
        self.capture(other)
        self.assertEqual(bmp_pixels(self.page.image("CaptureImg.bmp", self.handle).body), other)

    def test_capture_without_a_finger_times_out_and_abort_ends_a_waiting_capture(self):
        self.assertEqual(self.api("setParameters", timeout=1)["retValue"], "0")
        try:
            start = time.monotonic()
            reply = self.api("captureSingle")
            self.assertEqual(reply["retValue"], "-105", reply)
            self.assertGreaterEqual(time.monotonic() - start, 0.9)
        finally:
            self.api("setParameters", timeout=5)
        # An automatic capture waits for a finger without a time-out, until aborted.
        self.assertEqual(self.api("autoCapture")["retValue"], "0")
        self.assertEqual(self.api("getScannerStatus")["IsCapturing"], "true")
        self.assertEqual(self.api("abortCapture")["retValue"], "0")
        self.assertEqual(self.api("getScannerStatus")["IsCapturing"], "false")
        # The device is usable again at once.
        image = finger(103, 1)
        self.capture(image)
        self.assertEqual(bmp_pixels(self.page.image("CaptureImg.bmp", self.handle).body), image)

    def enrol(self, image, user_id):
        self.feed(image)
        count = self.db("queryData")["db"]["size"]
        reply = self.db("enroll", userSerialNo=count, userID=user_id, extractEx=1)
        self.assertEqual(reply["retValue"], "0", reply)
        return count

    def test_enrol_verify_identify_real_impressions(self):
        self.db("deleteAll")
        fingers = [104, 105, 106]
        for n in fingers:
            self.enrol(finger(n, 1), "user%d" % n)
        self.feed(finger(105, 2))
        right = self.db("verify", userSerialNo=1, extractEx=1)
        self.assertEqual((right["retValue"], right["retVerify"]), ("0", "Success"), right)
        self.feed(finger(105, 3))
        wrong = self.db("verify", userSerialNo=0, extractEx=1)
        self.assertEqual((wrong["retValue"], wrong["retVerify"]), ("0", "Fail"), wrong)
        self.feed(finger(106, 2))
        found = self.db("identify", extractEx=1)
        self.assertEqual((found["retValue"], found["matchedIndex"], found["matchedID"]),
                         ("0", 2, "user106"), found)
        self.db("deleteAll")

    def test_live_preview_shows_fed_frames(self):
        from test_capture import StreamReader
        self.assertEqual(self.api("startCapturing")["retValue"], "0")
        stream = StreamReader(self.page, self.handle)
        try:
            for n in (107, 108):
                image = finger(n, 1)
                self.feed(image)
                deadline = time.monotonic() + 20
                seen = False
                while not seen and time.monotonic() < deadline:
                    frame = stream.next_frame()
                    seen = frame[:2] == b"BM" and bmp_pixels(frame) == image
                self.assertTrue(seen, "the preview shows the fed frame of finger %d" % n)
        finally:
            stream.close()
            self.assertEqual(self.api("abortCapture")["retValue"], "0")
        self.assertEqual(self.api("getScannerStatus")["IsCapturing"], "false")


@unittest.skipUnless(os.path.isdir(IMAGE_SET), "fingerprint images absent: %s" % IMAGE_SET)
class UnpluggedWhileCapturing(LibfprintVirtualImage):
    """The scanner disappears during a capture (virtual_image's command -5): the capture ends
    with -108, the device is no longer listed, and the agent keeps serving."""

    def test_capture_ends_and_the_agent_keeps_serving(self):
        self.assertEqual(self.api("setParameters", timeout=20)["retValue"], "0")
        result = {}
        waiting = threading.Thread(target=lambda: result.update(reply=self.api("captureSingle")))
        start = time.monotonic()
        waiting.start()
        time.sleep(0.5)  # the capture has reached libfprint and reads the socket
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.connect(self.socket_path)
            sock.sendall(struct.pack("<ii", -5, 0))
            waiting.join(timeout=30)
        self.assertFalse(waiting.is_alive())
        self.assertEqual(result["reply"]["retValue"], "-108", result)
        self.assertLess(time.monotonic() - start, 15, "the capture did not wait for its time-out")
        # libfprint reports the removal once the device is closed, shortly after the capture.
        deadline = time.monotonic() + 10
        while self.api("getScannerStatus")["retValue"] != "-102" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.api("getScannerStatus")["retValue"], "-102", "handle is gone")
        self.assertEqual(self.page.api("uninitDevice").json()["retValue"], "0")
        self.assertEqual(self.page.api("initDevice").body, b"", "no scanner is listed")
        self.assertEqual(harness.get("/api/createSessionID").status, 200)

    # The other cases of the base class are not repeated here.
    test_capture_returns_the_fed_image = None
    test_capture_without_a_finger_times_out_and_abort_ends_a_waiting_capture = None
    test_device_is_listed_with_its_driver = None
    test_enrol_verify_identify_real_impressions = None
    test_live_preview_shows_fed_frames = None


if __name__ == "__main__":
    unittest.main()
