"""The udev rule generator reads libfprint's hwdb the way libfprint writes it."""
import importlib.util
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("generate_rules", os.path.join(HERE, "generate-rules.py"))
generate = importlib.util.module_from_spec(spec)
spec.loader.exec_module(generate)

SAMPLE = """# SPDX-License-Identifier: LGPL-2.1-or-later
# This file has been generated using fprint-list-udev-hwdb with all drivers enabled

# Supported by libfprint driver aes1610
usb:v08FFp1600*
 ID_AUTOSUSPEND=1
 ID_PERSIST=0

# Supported by libfprint driver elan
usb:v04F3p0903*
usb:v04F3p0C26*
usb:v08ffp1600*
 ID_AUTOSUSPEND=1

# Known unsupported devices
usb:v04E8p730B*
 ID_AUTOSUSPEND=1
"""


class GenerateRules(unittest.TestCase):
    def test_supported_blocks_only_lower_case_each_once(self):
        self.assertEqual(
            generate.supported_devices(SAMPLE),
            [("08ff", "1600", "aes1610"), ("04f3", "0903", "elan"), ("04f3", "0c26", "elan")],
        )

    def test_rules_file_tags_each_device_and_nothing_else(self):
        with tempfile.TemporaryDirectory() as tmp:
            hwdb = os.path.join(tmp, "sample.hwdb")
            out = os.path.join(tmp, "70-webagent-scanners.rules")
            with open(hwdb, "w") as f:
                f.write(SAMPLE)
            self.assertEqual(generate.main(["generate-rules.py", hwdb, out]), 0)
            text = open(out).read()
        rules = [l for l in text.splitlines() if "uaccess" in l and not l.startswith("#")]
        self.assertEqual(len(rules), 3)
        self.assertIn('ATTR{idVendor}=="04f3", ATTR{idProduct}=="0c26", TAG+="uaccess"', text)
        self.assertNotIn("730b", text)
        # udev has no trailing comments: a "#" may only start a line
        self.assertTrue(all("#" not in l for l in text.splitlines() if not l.startswith("#")))
        self.assertIn('SUBSYSTEM!="usb", GOTO="webagent_scanners_end"', text)

    def test_an_empty_list_is_an_error_not_an_empty_rule(self):
        with tempfile.TemporaryDirectory() as tmp:
            hwdb = os.path.join(tmp, "empty.hwdb")
            open(hwdb, "w").write("# Known unsupported devices\nusb:v04E8p730B*\n")
            self.assertEqual(generate.main(["g", hwdb, os.path.join(tmp, "out")]), 1)

    @unittest.skipUnless(os.environ.get("LIBFPRINT_HWDB"), "libfprint's hwdb not found")
    def test_the_installed_libfprint_list(self):
        devices = generate.supported_devices(open(os.environ["LIBFPRINT_HWDB"]).read())
        self.assertGreater(len(devices), 50)
        self.assertTrue(all(len(v) == 4 and len(p) == 4 for v, p, _ in devices))


if __name__ == "__main__":
    unittest.main()
