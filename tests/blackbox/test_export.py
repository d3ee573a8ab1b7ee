"""Template and image export: getTemplateData, getImageData, saveImageBuffer and /tmp/."""

import base64
import os
import shutil
import struct
import tempfile
import time
import unittest

import harness
from harness import AgentTestCase, Page, get, init_devices, virtual_scanner


def b64(text):
    return base64.b64decode(text + "=" * (-len(text) % 4))


def parse_iso_record(data):
    """Header fields of an ISO/IEC 19794-2:2005 finger minutiae record; checks its framing."""
    assert data[:8] == b"FMR\x00 20\x00", data[:8]
    (length,) = struct.unpack(">I", data[8:12])
    assert length == len(data), (length, len(data))
    width, height, xres, yres, views = struct.unpack(">HHHHB", data[14:23])
    # First finger view: position, view/impression, quality, minutiae count.
    count = data[27]
    assert 28 + 6 * count + 2 <= len(data)
    return {"width": width, "height": height, "xres": xres, "views": views, "minutiae": count}


class TemplateExport(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="export", cookie="export-cookie")
        cls.handle = init_devices(cls.page)[0]

    def setUp(self):
        virtual_scanner(self.agent, "place", 0, 4)
        reply = self.page.api("captureSingle", self.handle).json()
        self.assertEqual(reply["retValue"], "0", reply)

    def template(self, **params):
        return self.page.api("getTemplateData", self.handle, **params).json()

    def test_plain_template_is_a_valid_iso_record_and_served_under_tmp(self):
        reply = self.template(extractEx=1, encrypt=0)
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        record = b64(reply["templateBase64"])
        header = parse_iso_record(record)
        self.assertEqual((header["width"], header["height"]), (320, 480))
        self.assertGreater(header["minutiae"], 5)
        self.assertEqual(parse_iso_record(b64(self.template(extractEx=0, encrypt=0)
                                              ["templateBase64"])), header)

        served = get("/tmp/data?sHandle=%s&id=export" % self.handle, cookie=self.page.cookie)
        self.assertEqual(served.headers["content-type"], "application/json")
        self.assertEqual(served.body,
                         ('{"dataBase64":"%s"}' % reply["templateBase64"]).encode())
        # Another page's cookie gets the blank answer of the image endpoints, nothing of the text.
        refused = get("/tmp/x?sHandle=%s&id=export" % self.handle, cookie="other")
        self.assertEqual(refused.status, 200)
        self.assertTrue(refused.body.startswith(b"GIF89a"), refused.raw[:200])
        self.assertNotIn(b"dataBase64", refused.raw)

    def test_encrypted_template_differs_and_the_key_matters(self):
        plain = b64(self.template(extractEx=1, encrypt=0)["templateBase64"])
        key_a = self.template(extractEx=1, encrypt=1, encryptKey="k" * 40)
        self.assertEqual(key_a["retValue"], "0")
        secret_a = b64(key_a["templateBase64"])
        self.assertNotEqual(secret_a, plain)
        self.assertEqual(len(secret_a), len(plain) + 16)
        self.assertNotIn(plain[:28], secret_a)
        # Only the first 32 bytes of the key count.
        same = b64(self.template(extractEx=1, encrypt=1, encryptKey="k" * 32 + "zzzz")
                   ["templateBase64"])
        self.assertEqual(same, secret_a)
        other = b64(self.template(extractEx=1, encrypt=1, encryptKey="another-key")
                    ["templateBase64"])
        self.assertNotEqual(other, secret_a)

    def test_parameter_faults(self):
        for params in ({}, {"encrypt": 0}, {"extractEx": 1, "encrypt": 2},
                       {"extractEx": 2, "encrypt": 0}, {"extractEx": "x", "encrypt": 0},
                       {"extractEx": 1, "encrypt": "99999999999"}):
            reply = self.template(**params)
            self.assertEqual((reply["retValue"], reply["retString"]),
                             ("-112", "passed wrong parameter"), params)
        # The next operation runs normally.
        self.assertEqual(self.template(extractEx=1, encrypt=0)["retValue"], "0")

    def test_quality_gate_passes_at_equality(self):
        # getTemplateData extracts from the same capture every time, so the reported quality
        # is the highest level that still passes.
        low, high = 0, 101
        while high - low > 1:
            middle = (low + high) // 2
            if self.template(extractEx=1, encrypt=0, qualityLevel=middle)["retValue"] == "0":
                low = middle
            else:
                high = middle
        self.assertGreater(low, 50, "a well placed finger has a high quality")
        self.assertEqual(self.template(extractEx=1, encrypt=0, qualityLevel=low)["retValue"], "0")
        refused = self.template(extractEx=1, encrypt=0, qualityLevel=low + 1)
        self.assertEqual((refused["retValue"], refused["retString"]),
                         ("-302", "Low quality fingerprint"))
        # qualityLevel is read with automatic base.
        self.assertEqual(self.template(extractEx=1, encrypt=0, qualityLevel="0x65")["retValue"],
                         "-302")

    def test_low_quality_placement_is_refused(self):
        virtual_scanner(self.agent, "place", 0, 4, "--quality", 10)
        self.assertEqual(self.page.api("captureSingle", self.handle).json()["retValue"], "0")
        reply = self.template(extractEx=1, encrypt=0, qualityLevel=60)
        self.assertEqual(reply["retValue"], "-302")


class ImageExport(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="images", cookie="images-cookie")
        cls.handle = init_devices(cls.page)[0]

    def image_data(self, **params):
        return self.page.api("getImageData", self.handle, **params).json()

    def test_file_types(self):
        bmp = self.image_data(fileType=1)
        self.assertEqual(bmp["retValue"], "0")
        data = b64(bmp["imageBase64"])
        self.assertEqual(data[:2], b"BM")
        self.assertEqual(len(data), 1078 + 320 * 480)
        # getImageData fetched a new current image: the endpoint shows the same bytes.
        self.assertEqual(self.page.image("CaptureImg.bmp", self.handle).body, data)

        raw = b64(self.image_data(fileType=2)["imageBase64"])
        self.assertEqual(raw[:4], b"VSRI")
        self.assertEqual(len(raw), 16 + 320 * 480)

        wsq = b64(self.image_data(fileType=3, compressionRatio=0.7)["imageBase64"])
        self.assertEqual(wsq[:2], b"\xff\xa0")  # SOI
        self.assertLess(len(wsq), 320 * 480 // 4)
        smaller = b64(self.image_data(compressionRatio=40, fileType=3)["imageBase64"])
        self.assertLess(len(smaller), len(wsq))

        # An unknown format is a wrong parameter, not an empty success.
        none = self.image_data(fileType=9)
        self.assertEqual((none["imageBase64"], none["retValue"]), ("", "-112"))

    def test_converted_files_are_released_with_the_image(self):
        html_img = os.path.join(self.agent.workdir, "html", "img")
        self.assertEqual(self.page.api("captureSingle", self.handle, resetTimer=5000)
                         .json()["retValue"], "0")
        for file_type in (1, 2, 3):
            reply = self.page.api("saveImageBuffer", self.handle, fileType=file_type).json()
            self.assertEqual(reply["retValue"], "0", reply)
        self.page.api("getTemplateData", self.handle, extractEx=1, encrypt=0)
        names = sorted(os.listdir(html_img))
        for ext in ("bmp", "dat", "wsq"):
            self.assertIn("convertedCaptureImage." + ext, names)
        tmp_path = "/tmp/t?sHandle=%s&id=images" % self.handle
        self.assertIn(b"dataBase64", get(tmp_path, cookie=self.page.cookie).body)
        time.sleep(7)
        self.assertFalse([n for n in os.listdir(html_img) if n.startswith("converted")])
        self.assertEqual(len(get(tmp_path, cookie=self.page.cookie).body), 34)  # blank GIF
        self.assertEqual(len(self.page.image("CaptureImg.bmp", self.handle).body), 34)


class SaveIntoEmptyDirectory(unittest.TestCase):

    def test_save_image_buffer_creates_the_folders(self):
        workdir = tempfile.mkdtemp(prefix="webagent-empty-")
        agent = harness.Agent(workdir=workdir, copy_html=False).start()
        try:
            page = Page(page_id="p", cookie="c")
            handle = init_devices(page)[0]
            page.api("captureSingle", handle)
            # Only a ratio: the folders are made, nothing is written, and it is a success.
            reply = page.api("saveImageBuffer", handle, compressionRatio=0.5).json()
            self.assertEqual(reply["retValue"], "0")
            self.assertTrue(os.path.isdir(os.path.join(workdir, "html", "img")))
            self.assertEqual(os.listdir(os.path.join(workdir, "html", "img")), [])
            reply = page.api("saveImageBuffer", handle, fileType=1).json()
            self.assertEqual(reply["retValue"], "0")
            with open(os.path.join(workdir, "html", "img", "convertedCaptureImage.bmp"),
                      "rb") as f:
                self.assertEqual(f.read(2), b"BM")
            self.assertEqual(agent.stop(), 0)
        finally:
            agent.cleanup()
            shutil.rmtree(workdir, ignore_errors=True)

    def test_folder_that_cannot_be_made(self):
        workdir = tempfile.mkdtemp(prefix="webagent-blocked-")
        with open(os.path.join(workdir, "html"), "w") as f:
            f.write("a file where the folder should be")
        agent = harness.Agent(workdir=workdir, copy_html=False).start()
        try:
            page = Page(page_id="p", cookie="c")
            handle = init_devices(page)[0]
            page.api("captureSingle", handle)
            reply = page.api("saveImageBuffer", handle, fileType=1).json()
            self.assertEqual((reply["retValue"], reply["retString"]), ("-1", "Cannot create file"))
            self.assertEqual(agent.stop(), 0)
        finally:
            agent.cleanup()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
