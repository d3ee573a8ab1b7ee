#!/usr/bin/env python3
"""Load run for the database and scanner APIs: concurrent pages for a while, then checks.

Starts an agent (WEBAGENT_BIN, default build/bin/webagent) with several virtual scanners, or
uses a running one (--attach PID). Each device gets two clients that share its page session; every client loops over a random mix of scanner and database
requests. Afterwards the store is read back and checked:

  - "queryData" lists exactly the keys 0..size-1, every size and quality in range;
  - every user ID is unique (each enrolment used a fresh ID, and an ID can only enter the
    store by creating a user, so a duplicate would mean the two lists went out of step);
  - each user's first template, read out with "getTemplateData", has the size "queryData"
    reports and is an ISO/IEC 19794-2 record ("FMR\\0");
  - each user's first template matches the finger (one finger rests on every device).

Reports requests per second, the outcomes per operation, and the agent's resident memory
before the run, after it, and after "deleteAll". Not part of CTest: run it by hand.

    python3 tests/load/db_load.py [--seconds 60] [--clients 10] [--devices 5]
"""

import argparse
import base64
import collections
import os
import random
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "blackbox"))

import harness  # noqa: E402
from harness import Agent, Page, get, init_devices, virtual_scanner  # noqa: E402


# One finger rests on every device: then every stored template, whichever client and device
# made it and whichever slot a race on the count put it in, must verify against that finger.
FINGER = 200


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


class Client(threading.Thread):
    """One page: a random mix of requests on its device until the deadline."""

    def __init__(self, number, page, handle, finger, deadline, stats, lock):
        super().__init__(daemon=True)
        self.number = number
        self.page = page
        self.handle = handle
        self.finger = finger
        self.deadline = deadline
        self.stats = stats
        self.lock = lock
        self.random = random.Random(number)
        self.enrolled = 0
        self.requests = 0
        self.failures = []

    def record(self, name, outcome):
        with self.lock:
            self.stats[name][outcome] += 1

    def call(self, prefix, name, **params):
        reply = self.page.call(prefix, name, self.handle, **params)
        self.requests += 1
        try:
            body = reply.json()
        except ValueError:
            self.failures.append((name, reply.raw[:200]))
            self.record(name, "unparsable")
            return {}
        outcome = body.get("retValue", "-")
        self.record("%s/%s" % (prefix, name), "%r" % (outcome,))
        return body

    def count(self):
        return self.call("db", "queryData").get("db", {}).get("size", 0)

    def run(self):
        while time.monotonic() < self.deadline:
            choice = self.random.random()
            if choice < 0.14:
                n = self.count()
                self.enrolled += 1
                params = {"userSerialNo": n,
                          "userID": "f%d-c%d-%d" % (self.finger, self.number, self.enrolled),
                          "extractEx": self.random.choice((0, 1))}
                if self.random.random() < 0.2:
                    params["selectTemplate"] = 1
                self.call("db", "enroll", **params)
            elif choice < 0.22:
                self.call("db", "queryData")
            elif choice < 0.32:
                n = self.count()
                self.call("db", "verify", userSerialNo=self.random.randrange(max(n, 1)),
                          extractEx=1)
            elif choice < 0.38:
                self.call("db", "identify", extractEx=1)
            elif choice < 0.46:
                n = self.count()
                reply = self.call("db", "getTemplateData",
                                  userSerialNo=self.random.randrange(max(n, 1)), encrypt=0)
                text = reply.get("templateBase64", "")
                if reply.get("retValue") == "0" and text:
                    length = len(base64.b64decode(text))
                    self.call("db", "verifyTemplate", tempData=text.rstrip("="),
                              tempLen=length, encrypt=0, extractEx=1)
            elif choice < 0.50:
                n = self.count()
                if n > 30:
                    self.call("db", "delete", userSerialNo=self.random.randrange(n))
            elif choice < 0.54:
                self.call("db", "abortIdentify")
            elif choice < 0.62:
                self.call("api", "captureSingle")
            elif choice < 0.70:
                self.call("api", "getScannerStatus")
            elif choice < 0.76:
                self.call("api", "getParameters")
            elif choice < 0.84:
                self.call("api", "getTemplateData", extractEx=1, encrypt=0)
            elif choice < 0.90:
                self.call("api", "getImageData", fileType=1)
            elif choice < 0.95:
                self.call("db", "verifyTemplate", tempData="%", tempLen="x")  # malformed
            else:
                self.call("api", "version")


def check_store(page, handle, place):
    """Reads the store back; returns a list of problems (empty when consistent)."""
    problems = []
    db = page.db("queryData", handle).json()["db"]
    size = db["size"]
    keys = sorted(k for k in db if k != "size")
    if keys != sorted(str(i) for i in range(size)):
        problems.append("keys %s do not match size %d" % (keys[:10], size))
    ids = [db[str(i)]["id"] for i in range(size)]
    if len(set(ids)) != len(ids):
        problems.append("duplicate user IDs: %s" % [x for x, c in collections.Counter(ids).items()
                                                     if c > 1][:10])
    for i in range(size):
        user = db[str(i)]
        for key in ("template1", "template2"):
            if not 0 <= user[key] <= 1024:
                problems.append("user %d: %s %d" % (i, key, user[key]))
        if user["template2"] and user["quality2"] != 100:
            problems.append("user %d: second template without selection quality" % i)
        reply = page.db("getTemplateData", handle, userSerialNo=i, encrypt=0).json()
        data = base64.b64decode(reply.get("templateBase64", ""))
        if len(data) != user["template1"]:
            problems.append("user %d: read out %d bytes, listed %d" % (i, len(data),
                                                                       user["template1"]))
        elif data and not data.startswith(b"FMR\0"):
            problems.append("user %d: not an ISO record: %r" % (i, data[:8]))
    # Every stored first template is an impression of the one finger.
    place(FINGER)
    mismatches = 0
    for i in range(size):
        reply = page.db("verify", handle, userSerialNo=i, extractEx=1).json()
        if reply.get("retVerify") != "Success":
            mismatches += 1
    # The matcher's false non-match rate at its default level allows for a stray miss.
    if mismatches > max(2, size // 100):
        problems.append("%d of %d users do not verify against the finger" % (mismatches, size))
    return problems, size, mismatches


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--devices", type=int, default=5)
    parser.add_argument("--attach", type=int, metavar="PID",
                        help="use the running agent with this process id")
    args = parser.parse_args()

    agent = None
    if args.attach:
        pid = args.attach
        env = dict(os.environ)
    else:
        agent = Agent(env={"WEBAGENT_VIRTUAL_SCANNERS": str(args.devices)}).start()
        pid = agent.process.pid
        env = agent.env

    class Target:
        pass

    target = Target()
    target.env = env
    try:
        pages = []
        setup = Page(page_id="load-setup", cookie="load-cookie")
        handles = init_devices(setup)[:args.devices]
        if not handles:
            raise SystemExit("no scanners")
        for index, handle in enumerate(handles):
            virtual_scanner(target, "place", index, FINGER)
        setup.db("deleteAll", handles[0])
        # Warm-up: the virtual scanner makes each finger once; after that RSS is steady.
        for index, handle in enumerate(handles):
            page = Page(page_id="load-%d" % index, cookie="load-cookie-%d" % index)
            page.api("captureSingle", handle)
            pages.append(page)
        rss_before = rss_kib(pid)

        stats = collections.defaultdict(collections.Counter)
        lock = threading.Lock()
        deadline = time.monotonic() + args.seconds
        clients = []
        for number in range(args.clients):
            device = number % len(handles)
            clients.append(Client(number, pages[device], handles[device], FINGER, deadline, stats,
                                  lock))
        started = time.monotonic()
        for client in clients:
            client.start()
        # Resident memory every tenth of the run: a leak shows as steady growth, while the
        # allocator's arenas and the virtual scanner's finger cache level off early.
        samples = []
        while any(client.is_alive() for client in clients):
            samples.append(rss_kib(pid))
            time.sleep(args.seconds / 10)
        for client in clients:
            client.join()
        elapsed = time.monotonic() - started
        rss_after = rss_kib(pid)

        total = sum(c.requests for c in clients)
        print("clients %d, devices %d, %.1f s, %d requests, %.1f requests/s" % (
            args.clients, len(handles), elapsed, total, total / elapsed))
        for name in sorted(stats):
            print("  %-24s %s" % (name, dict(stats[name])))
        failures = [f for c in clients for f in c.failures]
        if failures:
            print("unparsable replies:", failures[:5])

        check_page = pages[0]

        def place(finger):
            virtual_scanner(target, "place", 0, finger)

        problems, size, mismatches = check_store(check_page, handles[0], place)
        print("store: %d users; %d did not verify against the finger" % (
            size, mismatches))
        setup.db("deleteAll", handles[0])
        rss_cleared = rss_kib(pid)
        print("RSS KiB: before %d, during %s, after %d, after deleteAll %d" % (
            rss_before, samples, rss_after, rss_cleared))
        alive = get("/db/queryData?dummy=1&sHandle=1").status == 200
        if problems or not alive:
            print("INCONSISTENT:", problems[:20], "alive" if alive else "agent not answering")
            return 1
        print("store consistent")
        return 0
    finally:
        if agent is not None:
            status = agent.stop()
            stderr = agent.stderr()
            agent.cleanup()
            if status not in (0, None):
                print("agent ended with %s: %s" % (status, stderr[-2000:]))
            if "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr:
                print("sanitizer report:\n" + stderr[-4000:])


if __name__ == "__main__":
    sys.exit(main())
