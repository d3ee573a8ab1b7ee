#!/usr/bin/env python3
"""Measures how fast the agent answers /api/version while the preview streams are at their cap
and ten connections sit idle (or send their request head slowly): the situation in which the
API must still find a free worker.

Usage: tests/isolated.sh bench/availability_bench.py [--streams K] [--idle N] [--calls C]
Starts build/bin/webagent (or $WEBAGENT_BIN) in a temporary directory; not part of the tests.
"""

import argparse
import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "blackbox"))
import harness  # noqa: E402
from test_availability import DrainedStream  # noqa: E402
from test_capture import StreamReader  # noqa: E402


def answer_times(calls):
    times = []
    for _ in range(calls):
        start = time.monotonic()
        try:
            reply = harness.get("/api/version?dummy=1", timeout=60)
            ok = reply.status == 200
        except OSError:
            ok = False
        times.append((time.monotonic() - start) * 1000 if ok else float("inf"))
    return times


def describe(label, times):
    answered = [t for t in times if t != float("inf")]
    if not answered:
        print("%s: no answer within 60 s in %d calls" % (label, len(times)))
        return
    print("%s: %d/%d answered; median %.1f ms, max %.1f ms, first %.1f ms" % (
        label, len(answered), len(times), statistics.median(answered), max(answered),
        times[0]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--streams", type=int, default=8)
    parser.add_argument("--idle", type=int, default=10)
    parser.add_argument("--calls", type=int, default=20)
    args = parser.parse_args()

    agent = harness.Agent().start()
    streams, idle = [], []
    try:
        page = harness.Page(page_id="bench")
        handle = harness.init_devices(page)[0]
        describe("unloaded", answer_times(args.calls))
        for _ in range(args.streams):
            try:
                streams.append(DrainedStream(StreamReader(page, handle)))
            except AssertionError as refusal:
                print("stream %d refused: %s" % (len(streams) + 1, str(refusal)[:60]))
                break
        idle = [socket.create_connection(("127.0.0.1", harness.HTTP_PORT), timeout=60)
                for _ in range(args.idle)]
        time.sleep(0.5)  # the idle connections have reached workers
        describe("%d stream(s) + %d idle socket(s)" % (len(streams), len(idle)),
                 answer_times(args.calls))
    finally:
        for sock in idle:
            sock.close()
        for stream in streams:
            stream.close()
        agent.cleanup()


if __name__ == "__main__":
    main()
