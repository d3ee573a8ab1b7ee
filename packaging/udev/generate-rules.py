#!/usr/bin/env python3
"""Writes a udev rules file that gives the user at the seat (TAG+="uaccess") access to every USB
fingerprint scanner libfprint drives.

The list of devices comes from libfprint itself: its package installs a udev hwdb file that
libfprint's build generates from its drivers' own USB id tables ("fprint-list-udev-hwdb").
Each block of that file is introduced by a comment naming the driver ("# Supported by libfprint
driver NAME"); a last block lists devices known NOT to be supported, which are left out here.

usage: generate-rules.py HWDB OUTPUT
"""
import re
import sys

SUPPORTED = re.compile(r"^#\s*Supported by libfprint driver\s+(\S+)")
DEVICE = re.compile(r"^usb:v([0-9A-Fa-f]{4})p([0-9A-Fa-f]{4})\*$")


def supported_devices(text):
    """[(vendor, product, driver)] in the file's order, lower-case hex, each pair once."""
    devices = []
    seen = set()
    driver = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("#"):
            match = SUPPORTED.match(line)
            driver = match.group(1) if match else None  # any other heading ends a driver's block
            continue
        match = DEVICE.match(line)
        if match and driver:
            pair = (match.group(1).lower(), match.group(2).lower())
            if pair not in seen:
                seen.add(pair)
                devices.append((pair[0], pair[1], driver))
    return devices


def rules(devices, source):
    lines = [
        "# Generated at build time from libfprint's list of supported USB devices",
        f"# ({source}); do not edit.",
        "#",
        "# Lets the user at the local seat open the fingerprint scanners libfprint drives, so",
        "# that the web agent, which runs as that user, can use them without root. Must sort",
        "# before 73-seat-late.rules, which turns the uaccess tag into an access list.",
        'ACTION=="remove", GOTO="webagent_scanners_end"',
        'SUBSYSTEM!="usb", GOTO="webagent_scanners_end"',
        'ENV{DEVTYPE}!="usb_device", GOTO="webagent_scanners_end"',
        "",
    ]
    # udev knows comments only as whole lines: each driver's devices follow its name.
    previous = None
    for vendor, product, driver in devices:
        if driver != previous:
            lines.append(f"# libfprint driver {driver}")
            previous = driver
        lines.append(f'ATTR{{idVendor}}=="{vendor}", ATTR{{idProduct}}=="{product}", TAG+="uaccess"')
    lines += ["", 'LABEL="webagent_scanners_end"', ""]
    return "\n".join(lines)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        devices = supported_devices(f.read())
    if not devices:
        sys.stderr.write(f"generate-rules.py: no supported devices found in {argv[1]}\n")
        return 1
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(rules(devices, argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
