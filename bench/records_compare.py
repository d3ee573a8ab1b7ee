#!/usr/bin/env python3
"""Compares two extractions of the same images, minutia by minutia and pair by pair.

Usage: bench/records_compare.py DIR_A DIR_B [--scores A.txt B.txt] [--set NAME]
           [--radius PX] [--degrees DEG] [--fmr F]

DIR_A and DIR_B hold ISO 19794-2 records NAME.iso of the same images (for instance
`fingerprint extract --out DIR_A` and bench/bozorth_compare.sh's output for one set). Prints
per image and in total how many minutiae each holds and how many of each lie within --radius
px and --degrees of one of the other's, with the mean offset and median distance of the
nearest ones (a scale or shift between the two shows there). With --scores (matcher-evaluate
--scores files of the two, lines "SET KIND A B SCORE"), also the genuine pairs that fail at
FMR --fmr (share of the impostor scores at or above the pair's) with one and not the other,
by finger. A development aid: no part of the tests.
"""

import argparse
import bisect
import collections
import os
import struct
import sys


def read_iso(path):
    """Minutiae of an ISO 19794-2:2005 record (first view): dicts x, y, deg, kind, quality."""
    with open(path, "rb") as f:
        d = f.read()
    if d[:4] != b"FMR\0" or len(d) < 28:
        raise ValueError("%s: not an ISO finger minutiae record" % path)
    out = []
    for i in range(d[27]):
        o = 28 + 6 * i
        a, b, angle, quality = struct.unpack(">HHBB", d[o:o + 6])
        out.append({"x": a & 0x3FFF, "y": b & 0x3FFF, "deg": angle * 1.40625, "kind": a >> 14,
                    "quality": quality})
    return out


def turn(a, b):
    d = abs(a - b) % 360
    return min(d, 360 - d)


def agree(ms, others, radius, degrees):
    """How many of ms have one of others within radius px and degrees."""
    r2 = radius * radius
    def close(m, o):
        return ((m["x"] - o["x"]) ** 2 + (m["y"] - o["y"]) ** 2 <= r2
                and turn(m["deg"], o["deg"]) <= degrees)

    return sum(1 for m in ms if any(close(m, o) for o in others))


def nearest_offsets(ms, others, radius):
    out = []
    for m in ms:
        if not others:
            break
        o = min(others, key=lambda o: (m["x"] - o["x"]) ** 2 + (m["y"] - o["y"]) ** 2)
        if (m["x"] - o["x"]) ** 2 + (m["y"] - o["y"]) ** 2 <= radius * radius:
            out.append((m["x"] - o["x"], m["y"] - o["y"]))
    return out


def read_scores(path, set_name):
    genuine, impostor = {}, []
    with open(path) as f:
        for line in f:
            s, kind, a, b, score = line.split()
            if set_name and s != set_name:
                continue
            if kind == "genuine":
                genuine[(s, a, b)] = float(score)
            else:
                impostor.append(float(score))
    impostor.sort()
    return genuine, impostor


def failing(genuine, impostor, fmr):
    """Genuine pairs whose score is reached by more than fmr of the impostor scores."""
    n = len(impostor)
    return {k for k, v in genuine.items() if n and (n - bisect.bisect_left(impostor, v)) / n > fmr}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("dir_a")
    p.add_argument("dir_b")
    p.add_argument("--scores", nargs=2, metavar=("A_TXT", "B_TXT"))
    p.add_argument("--set", default="", help="only this set's lines of the score files")
    p.add_argument("--radius", type=float, default=8.0)
    p.add_argument("--degrees", type=float, default=30.0)
    p.add_argument("--fmr", type=float, default=0.01)
    args = p.parse_args()

    names = sorted(n[:-4] for n in os.listdir(args.dir_a)
                   if n.endswith(".iso") and os.path.exists(os.path.join(args.dir_b, n)))
    if not names:
        sys.exit("no NAME.iso in both folders")
    total = collections.Counter()
    offsets = []
    print("%-12s %5s %5s %7s %7s" % ("image", "A", "B", "A~B", "B~A"))
    for n in names:
        a = read_iso(os.path.join(args.dir_a, n + ".iso"))
        b = read_iso(os.path.join(args.dir_b, n + ".iso"))
        ab = agree(a, b, args.radius, args.degrees)
        ba = agree(b, a, args.radius, args.degrees)
        offsets += nearest_offsets(a, b, args.radius)
        print("%-12s %5d %5d %7d %7d" % (n, len(a), len(b), ab, ba))
        total.update({"a": len(a), "b": len(b), "ab": ab, "ba": ba})
    k = len(names)
    print("%d images: A %.1f minutiae per image, B %.1f; within %g px and %g deg of the other's:"
          " A %.0f %%, B %.0f %%" % (k, total["a"] / k, total["b"] / k, args.radius, args.degrees,
                                     100.0 * total["ab"] / max(1, total["a"]),
                                     100.0 * total["ba"] / max(1, total["b"])))
    if offsets:
        dist = sorted((dx * dx + dy * dy) ** 0.5 for dx, dy in offsets)
        print("nearest within %g px: %d, mean offset A - B %.2f / %.2f px, median distance %.2f px"
              % (args.radius, len(offsets), sum(dx for dx, _ in offsets) / len(offsets),
                 sum(dy for _, dy in offsets) / len(offsets), dist[len(dist) // 2]))
    if args.scores:
        ga, ia = read_scores(args.scores[0], args.set)
        gb, ib = read_scores(args.scores[1], args.set)
        fa, fb = failing(ga, ia, args.fmr), failing(gb, ib, args.fmr)
        finger = lambda pair: pair[1].split("_")[0]
        print("genuine pairs failing at FMR %g: A %d, B %d, both %d" % (args.fmr, len(fa), len(fb),
                                                                     len(fa & fb)))
        for label, only in (("A only", fa - fb), ("B only", fb - fa)):
            by = collections.Counter(finger(pr) for pr in only)
            print("  %s (%d): %s" % (label, len(only),
                                     ", ".join("%s %d" % kv for kv in sorted(by.items()))))


if __name__ == "__main__":
    main()
