#!/usr/bin/env python3
"""End-to-end tests of the tools: kvflow runs flows through the built plug-in
in real broker processes, kvpool looks at the pool they share (in shared
memory or on real Redis servers), and what comes out (messages, summaries,
listings, exit statuses) is compared with what must come out.

Each case runs in its own process, which must be in a private IPC namespace
with a private /tmp (tests/e2e/CMakeLists.txt starts it so through
isolated.sh): the pool's keys and files are fixed, and a test must never
meet a pool that lives on the machine. The runner refuses to run otherwise.

    run.py --tools BUILD/tools --source REPO CASE
    run.py --list
    run.py helper NAME ...   (small pool surgeries, run in a process of their own)
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # the case modules are imported from the source tree
import harness  # noqa: E402
import cases_check  # noqa: E402,F401 (each case module registers its cases)
import cases_flows  # noqa: E402,F401
import cases_pool  # noqa: E402,F401
import cases_pool_access  # noqa: E402,F401
import cases_redis  # noqa: E402,F401


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "helper":
        return harness.HELPERS[sys.argv[2]](*sys.argv[3:])
    if sys.argv[1:] == ["--list"]:
        print("\n".join(sorted(harness.CASES)))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("case", choices=sorted(harness.CASES))
    args = parser.parse_args()
    harness.TOOLS, harness.SOURCE = os.path.abspath(args.tools), os.path.abspath(args.source)
    if not harness.isolated():
        print("e2e: refusing to run outside a private IPC namespace with a private /tmp",
              file=sys.stderr)
        return 2
    os.makedirs(harness.WORK)
    try:
        harness.CASES[args.case]()
    except (harness.Failure, TimeoutError) as failure:
        print("FAILED %s: %s" % (args.case, failure), file=sys.stderr)
        return 1
    print("passed: " + args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
