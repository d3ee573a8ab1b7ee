#!/usr/bin/env python3
"""Measures the agent's resident memory (VmRSS) idle and after sustained use with an empty
template database: captures, each followed by the page's usual reads (the image, the image as
Base64 in every format, and with --templates the template too), sent from several clients at
once so that the work spreads over the server's worker threads as a busy page's requests do.

Usage: tests/isolated.sh bench/memory_bench.py [--captures N] [--clients K] [--templates]
Starts build/bin/webagent (or $WEBAGENT_BIN) in a temporary directory; not part of the tests.
Run it inside tests/isolated.sh: the agent listens on its fixed ports.
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "blackbox"))
import harness  # noqa: E402


def rss_kib(pid):
    """VmRSS of the process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def sustained_use(page, handle, captures, clients, templates):
    """`captures` captures in all, each followed by the reads a page makes of its result."""
    errors = []
    lock = threading.Lock()
    counter = [0]

    def client():
        while True:
            with lock:
                if counter[0] >= captures:
                    return
                counter[0] += 1
            reply = page.api("captureSingle", handle).json()
            if reply.get("retValue") != "0":
                errors.append(reply)
                continue
            page.image("CaptureImg.bmp", handle)
            if templates:
                page.api("getTemplateData", handle, extractEx=1, encrypt=0)
            for file_type in (1, 2, 3):
                page.api("getImageData", handle, fileType=file_type)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def measure(captures=30, clients=4, templates=False, env=None):
    """Starts an agent; returns (idle KiB, after-use KiB, settled KiB, errors)."""
    agent = harness.Agent(env=env).start()
    try:
        page = harness.Page(page_id="memory", cookie="memory")
        handle = harness.init_devices(page)[0]
        page.db("deleteAll", handle)
        time.sleep(0.5)
        idle = rss_kib(agent.process.pid)
        errors = sustained_use(page, handle, captures, clients, templates)
        after = rss_kib(agent.process.pid)
        # The release countdown frees the image 5 s after the last capture request at the
        # earliest (30 s by default); what stays is what the agent keeps for good.
        time.sleep(1.0)
        settled = rss_kib(agent.process.pid)
        return idle, after, settled, errors
    finally:
        agent.cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--captures", type=int, default=30)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--templates", action="store_true",
                        help="also extract a template after each capture")
    parser.add_argument("--rounds", type=int, default=3,
                        help="agents started one after another; each figure is reported")
    args = parser.parse_args()
    print("agent: %s" % harness.AGENT_BIN)
    print("%d captures from %d clients, each with its image%s and three exports"
          % (args.captures, args.clients, ", template" if args.templates else ""))
    for n in range(args.rounds):
        idle, after, settled, errors = measure(args.captures, args.clients, args.templates)
        print("round %d: idle %.1f MB, after use %.1f MB, 1 s later %.1f MB%s"
              % (n + 1, idle / 1024, after / 1024, settled / 1024,
                 "  (%d failed captures)" % len(errors) if errors else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
