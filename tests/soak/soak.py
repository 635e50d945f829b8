#!/usr/bin/env python3
"""Soak test: worker processes store and read checksummed values in the pool
while others are killed at random; afterwards `kvpool verify` must find the
pool sound and every key must hold its last acknowledged value or a newer
whole one (the store in flight when its worker was killed).

Run it in a private IPC namespace and /tmp (as ctest does):
  unshare --ipc --mount sh -c 'mount -t tmpfs soak /tmp && exec python3 tests/soak/soak.py \
      --worker build/tests/kvpool_soak_worker --plugin build/libKvPool.so \
      --kvpool build/tools/kvpool --seconds 600'
"""
import argparse
import json
import os
import random
import selectors
import signal
import subprocess
import sys
import time


def checksum(text):
    h = 2166136261
    for c in text:
        h = ((h ^ c) * 16777619) & 0xFFFFFFFF
    return h


def parse_value(value):
    """The sequence of a whole value, or 0."""
    body, sep, tail = value.rpartition(b":")
    if not sep or str(checksum(body)).encode() != tail:
        return 0
    return int(body.split(b":", 1)[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker", required=True)
    ap.add_argument("--plugin", required=True)
    ap.add_argument("--kvpool", required=True)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--keys", type=int, default=12)
    args = ap.parse_args()

    env = dict(os.environ, KVPOOL_MEMORY_PAGES="5000", KVPOOL_TRACE="off")
    holder = subprocess.Popen([args.worker, args.plugin, "hold"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, env=env)
    if holder.stdout.readline().strip() != b"holding":
        sys.exit("soak: the holder could not create its node")

    sel = selectors.DefaultSelector()
    acked = {}  # key -> last acknowledged sequence
    workers = {}  # name -> Popen
    bad = []

    def start(name):
        p = subprocess.Popen([args.worker, args.plugin, name, str(args.keys)],
                             stdout=subprocess.PIPE, env=env)
        os.set_blocking(p.stdout.fileno(), False)
        sel.register(p.stdout, selectors.EVENT_READ, (name, p, bytearray()))
        workers[name] = p

    def drain(key):
        name, p, pending = key.data
        try:
            chunk = p.stdout.read()
        except BlockingIOError:
            chunk = None
        if chunk:
            pending.extend(chunk)
            *lines, rest = bytes(pending).split(b"\n")
            pending[:] = rest
            for line in lines:
                parts = line.split()
                if parts[:1] == [b"ack"]:
                    acked[parts[1]] = max(acked.get(parts[1], 0), int(parts[2]))
                elif line:
                    bad.append(line.decode(errors="replace"))
        elif chunk == b"":
            sel.unregister(p.stdout)

    for i in range(args.workers):
        start(f"w{i}")
    kills = 0
    deadline = time.monotonic() + args.seconds
    next_kill = time.monotonic() + random.uniform(0.05, 0.3)
    while time.monotonic() < deadline and not bad:
        for key, _ in sel.select(timeout=0.05):
            drain(key)
        if time.monotonic() >= next_kill:
            name = random.choice(sorted(workers))
            p = workers[name]
            p.send_signal(signal.SIGKILL)
            p.wait()
            for key in list(sel.get_map().values()):
                if key.data[1] is p:
                    drain(key)
                    if key.fileobj in sel.get_map():
                        sel.unregister(key.fileobj)
            kills += 1
            start(name)
            next_kill = time.monotonic() + random.uniform(0.05, 0.3)
        for name, p in list(workers.items()):
            if p.poll() is not None and p.returncode != -signal.SIGKILL:
                bad.append(f"worker {name} exited with {p.returncode}")
    for p in workers.values():
        p.send_signal(signal.SIGKILL)
        p.wait()
    for key in list(sel.get_map().values()):
        drain(key)

    # The next store puts right whatever the last kill left half done, as it
    # would for any process that stores next.
    subprocess.run([args.kvpool, "set", "KvPoolSoakEnd", "done"], capture_output=True, env=env)
    verify = subprocess.run([args.kvpool, "verify"], capture_output=True, env=env)
    listing = subprocess.run([args.kvpool, "list", "--json"], capture_output=True, env=env)
    holder.stdin.close()
    holder.wait()
    if verify.returncode != 0:
        bad.append("kvpool verify: " + verify.stdout.decode(errors="replace")
                   + verify.stderr.decode(errors="replace"))
    pool = {}
    try:
        for record in json.loads(listing.stdout)["records"]:
            pool[record["key"].encode()] = record["value"].encode()
    except (ValueError, KeyError, TypeError) as e:
        bad.append(f"kvpool list --json: {e}: {listing.stdout[:200]!r}")
    lost = [k for k, seq in acked.items() if parse_value(pool.get(k, b"")) < seq]
    print(f"soak: {args.seconds:.0f} s, {args.workers} workers, {kills} kills, "
          f"{len(acked)} keys acknowledged, {len(lost)} lost, pool of {len(pool)} records")
    for k in lost[:10]:
        bad.append(f"lost: {k.decode()} acknowledged {acked[k]}, pool holds {pool.get(k, b'')[:40]!r}")
    if kills == 0 or not acked:
        bad.append("nothing was exercised")
    for line in bad:
        print("soak: " + line)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
