#!/usr/bin/env python3
"""Measures the live preview stream on loopback: frames per second, distinct frames per second,
throughput, and the agent's CPU use while one (or several) pages watch the stream.

Usage: tests/isolated.sh bench/preview_stream_bench.py [--seconds N] [--streams K] [--no-capture]
Starts build/bin/webagent (or $WEBAGENT_BIN) in a temporary directory; not part of the tests.
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "blackbox"))
import harness  # noqa: E402
from test_capture import StreamReader  # noqa: E402


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--streams", type=int, default=1)
    parser.add_argument("--no-capture", action="store_true",
                        help="leave the scanner idle: the stream has no new image to send")
    args = parser.parse_args()

    agent = harness.Agent().start()
    try:
        page = harness.Page(page_id="bench", cookie="bench")
        handle = harness.init_devices(page)[0]
        if not args.no_capture:
            page.api("startCapturing", handle)
        readers = [StreamReader(page, handle) for _ in range(args.streams)]
        results = [None] * args.streams

        def watch(index):
            frames, distinct, size, last = 0, 0, 0, None
            deadline = time.monotonic() + args.seconds
            while time.monotonic() < deadline:
                frame = readers[index].next_frame()
                frames += 1
                size += len(frame)
                if frame != last:
                    distinct += 1
                    last = frame
            results[index] = (frames, distinct, size)

        cpu_before = cpu_seconds(agent.process.pid)
        start = time.monotonic()
        threads = [threading.Thread(target=watch, args=(i,)) for i in range(args.streams)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        cpu = cpu_seconds(agent.process.pid) - cpu_before
        if not args.no_capture:
            page.api("abortCapture", handle)
        for reader in readers:
            reader.close()
        for i, (frames, distinct, size) in enumerate(results):
            print("stream %d: %.0f frames/s sent, %.1f distinct frames/s, %.1f MB/s" % (
                i, frames / elapsed, distinct / elapsed, size / elapsed / 1e6))
        print("agent CPU: %.0f %% of one core over %.1f s (%d stream(s), live capture %s)" % (
            100 * cpu / elapsed, elapsed, args.streams, "off" if args.no_capture else "on"))
    finally:
        agent.cleanup()


if __name__ == "__main__":
    main()
