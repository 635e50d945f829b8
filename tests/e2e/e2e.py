#!/usr/bin/env python3
"""End-to-end tests of the tools: kvflow runs example flows through the built
plug-in in real broker processes, kvpool looks at the pool they share, and
what comes out (messages, summaries, listings, exit statuses) is compared
with what the flows must produce.

Each case runs in its own process, which must be in a private IPC namespace
with a private /tmp (tests/e2e/CMakeLists.txt starts it so): the pool's keys
and files are fixed, and a test must never meet a pool that lives on the
machine. The script refuses to run otherwise.

    e2e.py --tools BUILD/tools --source REPO CASE
    e2e.py helper NAME ...   (small pool surgeries, run by kvflow --then)
"""
import argparse
import ctypes
import glob
import json
import os
import shlex
import shutil
import stat
import subprocess
import sys
import time

WORK = "/tmp/e2e"
TRACE = "/tmp/KvPool.log"
SHM_KEY = 99999
SEM_KEY = 88888
IPC_CREAT = 0o1000
GETVAL = 12
SETVAL = 16
SEM_UNDO = 0x1000

TOOLS = None
SOURCE = None
HERE = os.path.dirname(os.path.abspath(__file__))


class Failure(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


def expect_equal(actual, wanted, what):
    if actual != wanted:
        raise Failure("%s:\n--- wanted ---\n%s\n--- got ---\n%s" % (what, wanted, actual))


def tool(name):
    return os.path.join(TOOLS, name)


def run(args, stdin=None, cwd=WORK):
    result = subprocess.run(args, input=stdin, capture_output=True, text=True, cwd=cwd,
                            timeout=120)
    return result


def kvflow(*args, **kwargs):
    return run([tool("kvflow")] + list(args), **kwargs)


def kvpool(*args, **kwargs):
    return run([tool("kvpool")] + list(args), **kwargs)


def without_throughput(text):
    return "\n".join(line for line in text.splitlines() if not line.startswith("throughput: "))


def summary_of(stdout):
    start = stdout.find("== kvflow summary")
    expect(start >= 0, "no summary in:\n" + stdout)
    return without_throughput(stdout[start:])


def golden(name):
    with open(os.path.join(HERE, "expected", name), encoding="utf-8") as f:
        return f.read().rstrip("\n")


def ipc_objects():
    """Lines of /proc/sysvipc for segments and semaphore sets (header dropped)."""
    lines = []
    for kind in ("shm", "sem"):
        with open("/proc/sysvipc/" + kind) as f:
            lines += [kind + ": " + line.strip() for line in f.readlines()[1:] if line.strip()]
    return lines


def expect_no_pool(when):
    expect(ipc_objects() == [], "a pool is left %s: %s" % (when, ipc_objects()))


def files_in(directory):
    path = os.path.join(WORK, directory)
    return sorted(os.listdir(path)) if os.path.isdir(path) else []


def read(path):
    with open(os.path.join(WORK, path), encoding="utf-8") as f:
        return f.read()


def copy_example(name):
    # A demo run from the source tree may have left its outputs there.
    shutil.copytree(os.path.join(SOURCE, "examples", name), os.path.join(WORK, name),
                    ignore=shutil.ignore_patterns("out"))
    return os.path.join(WORK, name)


def copy_flows():
    shutil.copytree(os.path.join(HERE, "flows"), os.path.join(WORK, "flows"),
                    ignore=shutil.ignore_patterns("out"))
    return os.path.join(WORK, "flows")


def then_script(lines):
    """A --then command that records each command's output and status."""
    path = os.path.join(WORK, "then.sh")
    with open(path, "w") as f:
        f.write("cd %s\n" % WORK)
        for name, command in lines:
            f.write("%s > %s.out 2> %s.err; echo $? > %s.rc\n" % (command, name, name, name))
    return "sh " + path


def recorded(name):
    return read(name + ".out"), read(name + ".err"), int(read(name + ".rc"))


def helper_command(*args):
    return " ".join(shlex.quote(a) for a in [sys.executable, os.path.abspath(__file__), "helper"]
                    + list(args))


CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


# ------------------------------------------------------------------- flows --

@case
def demo_two_flows_share_the_pool():
    """The shipping example: orders stored by one broker process, shipments
    labelled from the pool by another; the pool is listed while they hold it
    and is gone when they end."""
    example = copy_example("shipping")
    result = kvflow("run", os.path.join(example, "shipping.json"), "--then", tool("kvpool") + " list")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(result.stderr, "", "standard error (no progress line when it is not a terminal)")
    labels = result.stdout[:result.stdout.find("== kvflow summary")]
    expect_equal(labels.strip(), golden("demo_labels.xml"), "labelled shipments on stdout")
    expect_equal(summary_of(result.stdout), golden("demo_summary.txt"), "summary and pool listing")
    expect_equal(files_in("shipping/out/held"), ["shipment-000001.xml"], "held shipments")
    expect(read("shipping/out/held/shipment-000001.xml").find("<Parcel>") < 0 and
           "<Weight unit=\"kg\">5.1</Weight>" in read("shipping/out/held/shipment-000001.xml"),
           "the held shipment is the unchanged input")
    expect_equal(files_in("shipping/out/orders"), ["order-000001.xml"], "stored orders")
    expect_equal(files_in("shipping/out/rejected"), [], "rejected orders")
    expect_no_pool("after the demo")


@case
def processes_split_the_messages_and_share_the_pool():
    """Two processes per flow: the shipments processes each label what the
    orders processes stored, and the output files of the processes differ."""
    example = copy_example("shipping")
    result = kvflow("run", os.path.join(example, "shipping.json"), "--processes", "2",
                    "--repeat", "2")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(result.stdout.count("<OrderId>A-1001</OrderId>"), 4,
                 "every labelled shipment carries the order stored by another process")
    expect_equal(files_in("shipping/out/orders"), ["order.p1-000001.xml", "order.p2-000001.xml"],
                 "each orders process wrote its own file")
    expect_equal(files_in("shipping/out/held"),
                 ["shipment.p1-000001.xml", "shipment.p2-000001.xml"], "held shipments")
    expect_equal(summary_of(result.stdout), golden("four_processes_summary.txt"), "summary")
    expect_no_pool("after four processes")


@case
def messages_from_a_directory_are_split_round_robin():
    flows = copy_flows()
    os.makedirs(os.path.join(WORK, "batch"))
    for i in range(7):
        with open(os.path.join(WORK, "batch", "m%d.xml" % i), "w") as f:
            f.write("<m><v>%d</v></m>" % i)
    with open(os.path.join(WORK, "batch", "notes.txt"), "w") as f:
        f.write("not a message")
    result = kvflow("run", os.path.join(flows, "counter.json"), "batch", "--processes", "3")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    copies = files_in("flows/out/copies")
    expect_equal([name.split("-")[0] for name in copies],
                 ["m.p1"] * 3 + ["m.p2"] * 2 + ["m.p3"] * 2, "messages per process")
    texts = [read("flows/out/copies/" + name) for name in copies]
    values = sorted(text.split("<v>")[1].split("<")[0] for text in texts)
    expect_equal(values, [str(i) for i in range(7)], "every message came out exactly once")
    # The processes run at the same time and a script holds no lock between
    # its statements, so a message may read back a value another process
    # stored in between: only that it is one of the stored values is certain.
    seen = [text.split("<seen>")[1].split("<")[0] for text in texts]
    expect(all(value in values for value in seen), "values read from the pool: %s" % seen)
    expect("messages read: 7\nmessages sent: 7 (repeat 1, 3 broker processes)" in result.stdout,
           "summary counts:\n" + result.stdout)


@case
def standard_input_with_repeat():
    flows = copy_flows()
    result = kvflow("run", os.path.join(flows, "counter.json"), "-", "--repeat", "3",
                    stdin="<m><v>stdin</v></m>")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(files_in("flows/out/copies"), ["m-000001.xml", "m-000002.xml", "m-000003.xml"],
                 "three copies")
    expect("<seen>stdin</seen>" in read("flows/out/copies/m-000003.xml"), "value copied")
    expect("messages read: 1\nmessages sent: 3 (repeat 3, 1 broker process)" in result.stdout,
           "summary counts:\n" + result.stdout)


@case
def failures_are_summed_by_result_code_with_operands():
    flows = copy_flows()
    result = kvflow("run", os.path.join(flows, "failures.json"))
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(summary_of(result.stdout), golden("failures_summary.txt"), "summary")
    for n in (1, 2, 3, 4):
        expect_equal(files_in("flows/out/failed%d" % n), ["message-000001.xml"],
                     "failed messages of result %d" % n)
    expect_equal(read("flows/out/failed3/message-000001.xml"),
                 read("flows/out/failed2/message-000001.xml"), "failures carry the input")
    expect("<Note />" in read("flows/out/ok5/message-000001.xml") or
           "<Note></Note>" in read("flows/out/ok5/message-000001.xml"),
           "a missing key with the key flag set writes empty text")


@case
def non_ascii_names_in_scripts():
    flows = copy_flows()
    result = kvflow("run", os.path.join(flows, "names.json"))
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    out = read("flows/out/names/message-000001.xml")
    expect("<Maß>XL</Maß>" in out, "value read and written under non-ASCII names:\n" + out)


@case
def deep_message_goes_through_a_flow():
    """A message nested 100,000 levels deep is parsed, copied by the node,
    written as XML and freed without exhausting any stack."""
    flows = copy_flows()
    depth = 100000
    with open(os.path.join(WORK, "deep.xml"), "w") as f:
        f.write("<a>" * depth + "<v>x</v>" + "</a>" * depth)
    with open(os.path.join(flows, "deep.json"), "w") as f:
        json.dump({"nodes": [
            {"name": "copy", "class": "KvPoolNode",
             "attributes": {"KvPoolExpression": "SET KvPoolTop = Body.a.a; SET OutputRoot.XML.a.seen = KvPoolTop;",
                            "messageStoreEltNotFound": True}},
            {"name": "written", "class": "OutputNode", "attributes": {"directory": "out/deep"}}],
            "wires": [{"from": "copy.out", "to": "written"}], "input": "copy"}, f)
    result = kvflow("run", os.path.join(flows, "deep.json"), "deep.xml")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    out = read("flows/out/deep/message-000001.xml")
    expect(out.count("<a>") == depth and out.count("</a>") == depth and "<v>x</v>" in out,
           "the whole depth was written (%d bytes)" % len(out))
    expect("written      1" in result.stdout, "summary:\n" + result.stdout)


@case
def element_names_that_are_not_xml_are_counted_and_never_written():
    """A script may create elements whose names are no XML names: the output
    node writes nothing broken and the summary counts the messages. A missing
    segment with an index beyond 1 is not created at all (result 3)."""
    flows = copy_flows()
    with open(os.path.join(WORK, "m.xml"), "w") as f:
        f.write("<m><v>1</v><Line>a</Line><Line>b</Line></m>")
    with open(os.path.join(flows, "badnames.json"), "w") as f:
        json.dump({"flows": [
            {"name": "angles", "nodes": [
                {"name": "angle", "class": "KvPoolNode",
                 "attributes": {"KvPoolExpression": "SET OutputRoot.XML.m.a<b>c = Body.m.v;"}},
                {"name": "anglesOut", "class": "OutputNode", "attributes": {"directory": "out/names"}}],
             "wires": [{"from": "angle.out", "to": "anglesOut"}], "input": "angle"},
            {"name": "digits", "nodes": [
                {"name": "digit", "class": "KvPoolNode",
                 "attributes": {"KvPoolExpression": "SET OutputRoot.XML.m.1abc = Body.m.v;"}},
                {"name": "digitsOut", "class": "OutputNode", "attributes": {"stream": "stdout"}}],
             "wires": [{"from": "digit.out", "to": "digitsOut"}], "input": "digit"},
            {"name": "indexes", "nodes": [
                {"name": "third", "class": "KvPoolNode",
                 "attributes": {"KvPoolExpression": "SET OutputRoot.XML.m.Line[3].Qty = Body.m.v;"}},
                {"name": "thirdFailed", "class": "OutputNode", "attributes": {"directory": "out/third"}}],
             "wires": [{"from": "third.failure", "to": "thirdFailed"}], "input": "third"}]}, f)
    result = kvflow("run", os.path.join(flows, "badnames.json"), "angles=m.xml", "digits=m.xml",
                    "indexes=m.xml")
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(files_in("flows/out/names"), [], "nothing written for a<b>c")
    expect(result.stdout.startswith("== kvflow summary"), "nothing written for 1abc:\n" + result.stdout)
    for line in ["messages not written (an element name is not an XML name): 2",
                 "  anglesOut: XML.m.a<b>c: 1", "  digitsOut: XML.m.1abc: 1",
                 "2001 (output node could not write a message as XML): 2",
                 "3 (the element named by a left operand cannot be created): 1",
                 "      Root.XML.m.Line[3].Qty: 1"]:
        expect(line in result.stdout, "%r not in the summary:\n%s" % (line, result.stdout))
    expect("Line[3]" not in read("flows/out/third/message-000001.xml"), "Line[3] was created")


@case
def broker_exception_breaks_the_run_off():
    """A wiring loop ends each message in a fatal broker exception: the run
    breaks off (status 2) and says how many messages got through."""
    flows = copy_flows()
    with open(os.path.join(WORK, "m.xml"), "w") as f:
        f.write("<m><v>1</v></m>")
    with open(os.path.join(flows, "loop.json"), "w") as f:
        json.dump({"flows": [
            {"name": "fine", "nodes": [
                {"name": "store", "class": "KvPoolNode",
                 "attributes": {"KvPoolExpression": "SET KvPoolV = Body.m.v;"}}],
             "input": "store"},
            {"name": "loop", "nodes": [
                {"name": "again", "class": "KvPoolNode",
                 "attributes": {"KvPoolExpression": "SET KvPoolV = Body.m.v;"}},
                {"name": "after", "class": "OutputNode", "attributes": {"directory": "out/after"}}],
             "wires": [{"from": "again.out", "to": "again"}, {"from": "again.out", "to": "after"}],
             "input": "again"}]}, f)
    result = kvflow("run", os.path.join(flows, "loop.json"), "fine=m.xml", "loop=m.xml",
                    "loop=m.xml", "--then", "touch then-ran")
    expect_equal(result.returncode, 2, "exit status; stderr: " + result.stderr)
    expect('the run broke off in flow "loop"' in result.stderr and
           "is the flow wired in a loop?" in result.stderr and
           "1 of 3 messages got through" in result.stderr, "stderr: " + result.stderr)
    expect("broker exceptions out of the flow:" in result.stdout, "summary: " + result.stdout)
    expect(not os.path.exists(os.path.join(WORK, "then-ran")), "--then ran after a broken run")
    expect_no_pool("after a broken run")


@case
def runs_needing_more_node_contexts_than_are_free_are_refused():
    """Every broker process holds a user slot per KvPoolNode until the run
    ends: a run needing more than the machine has free is refused before any
    node exists, instead of waiting for ever for a slot only it could free."""
    example = copy_example("shipping")
    demo = os.path.join(example, "shipping.json")
    flows = copy_flows()
    wide = os.path.join(flows, "wide.json")
    with open(wide, "w") as f:
        json.dump({"nodes": [{"name": "n%d" % i, "class": "KvPoolNode"} for i in range(157)]
                   + [{"name": "out", "class": "OutputNode", "attributes": {"stream": "none"}}],
                   "wires": [{"from": "n0.out", "to": "out"}], "input": "n0"}, f)
    with open(os.path.join(WORK, "m.xml"), "w") as f:
        f.write("<m/>")

    # (what, free slots set beforehand or None for no pool, arguments, refusal or None)
    cases = [
        ("10,048 nodes and no pool", None, [wide, "m.xml", "--processes", "64"],
         'wide.json: the flows need 10048 node contexts (flow "wide": 64 processes x 157 '
         "KvPoolNodes), but only 10000 of the machine's 10000 are free (no pool exists): the "
         "run would wait for ever; nothing was started"),
        ("four processes, three free", 3, [demo, "--processes", "2"],
         'shipping.json: the flows need 4 node contexts (flow "orders": 2 processes x 1 '
         'KvPoolNode, flow "shipments": 2 processes x 1 KvPoolNode), but only 3 of the '
         "machine's 10000 are free (9997 are held by running flows)"),
        ("two processes, two free", 2, [demo], None),
    ]
    lib = libc()
    for what, free, args, refusal in cases:
        semaphores = -1
        if free is not None:
            semaphores = lib.semget(SEM_KEY, 3, IPC_CREAT | 0o666)
            expect(semaphores >= 0 and lib.semctl(semaphores, 2, SETVAL, ctypes.c_int(free)) == 0,
                   what + ": setting the free slots")
        trace_before = os.path.getsize(TRACE) if os.path.exists(TRACE) else 0
        result = kvflow("run", *args)
        with open(TRACE, "a+") as trace:
            trace.seek(trace_before)
            created = "-->createNodeContext" in trace.read()
        if refusal is None:
            expect_equal(result.returncode, 0, what + ": exit status; stderr: " + result.stderr)
        else:
            expect_refused(result, [refusal], what)
            expect(not created, what + ": a node was created")
        if free is None:
            expect_no_pool("after " + what)
        else:
            expect_equal(lib.semctl(semaphores, 2, GETVAL), free, what + ": free slots after")
            subprocess.run([tool("kvpool"), "remove", "--force"], capture_output=True)


# ------------------------------------------------------------------ kvpool --

@case
def kvpool_commands_on_a_live_pool():
    example = copy_example("shipping")
    then = then_script([
        ("status", tool("kvpool") + " status"),
        ("get", tool("kvpool") + " get KvPoolCustomer"),
        ("getMissing", tool("kvpool") + " get KvPoolNothing"),
        ("set", tool("kvpool") + " set KvPoolCity York"),
        ("setLong", tool("kvpool") + " set " + "K" * 256 + " x"),
        ("json", tool("kvpool") + " list --json"),
        ("save", tool("kvpool") + " save"),
        ("verify", tool("kvpool") + " verify"),
        ("remove", tool("kvpool") + " remove"),
    ])
    result = kvflow("run", os.path.join(example, "shipping.json"), "--then", then)
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)

    out, _, rc = recorded("status")
    expect(rc == 0 and "node contexts:  2 alive on this machine" in out and
           "6 records" in out and "chain:          sound" in out, "status:\n" + out)
    expect_equal(recorded("get"), ("Ada Byron\n", "", 0), "get")
    out, err, rc = recorded("getMissing")
    expect(rc == 1 and 'no key "KvPoolNothing"' in err, "get of a missing key: " + err)
    expect_equal(recorded("set")[2], 0, "set status")
    out, err, rc = recorded("setLong")
    expect(rc == 1 and "1 to 255 bytes" in err, "an overlong key is refused: " + err)
    listing = json.loads(recorded("json")[0])
    expect_equal([(r["key"], r["value"]) for r in listing["records"]],
                 [("KvPoolOrderId", "A-1001"), ("KvPoolCustomer", "Ada Byron"),
                  ("KvPoolStreet", "12 Marsh Lane"), ("KvPoolCarrier", "Northline Express"),
                  ("KvPoolLastParcel", "P-0002"), ("KvPoolCity", "York")],
                 "a replaced key moves to the end")
    expect_equal(recorded("save"), ("saved 6 records (229 bytes) to /tmp/KvPoolData.bin\n", "", 0),
                 "save")
    expect_equal(recorded("verify"), ("pool: sound, 6 records, 229 of 4096 bytes used\n", "", 0),
                 "verify")
    out, err, rc = recorded("remove")
    expect(rc == 1 and "2 node contexts on this machine still use the pool" in err,
           "remove refuses while node contexts live: " + err)

    expect_no_pool("after the flows ended")
    listing = kvpool("list")
    expect(listing.returncode == 1 and "no pool exists" in listing.stderr, "list: " + listing.stderr)
    change = kvpool("set", "KvPoolX", "1")
    expect(change.returncode == 1 and "no pool exists" in change.stderr, "set: " + change.stderr)
    expect_no_pool("after reading and a refused change")
    status = kvpool("status")
    expect(status.returncode == 0 and status.stdout.startswith("pool: none on this machine"),
           "status: " + status.stdout)
    saved = kvpool("list", "--snapshot")
    expect_equal(saved.stdout.splitlines()[-1], "KvPoolCity        York", "snapshot listing")
    expect_equal(kvpool("verify", "--snapshot").returncode, 0, "the snapshot is sound")


@case
def snapshot_saved_by_one_run_loads_into_the_next():
    flows = copy_flows()
    shipment = os.path.join(WORK, "shipment.xml")
    with open(shipment, "w") as f:
        f.write("<Shipment><Parcel>P-9</Parcel></Shipment>")
    example = copy_example("shipping")
    first = kvflow("run", os.path.join(example, "shipping.json"), "--then",
                   tool("kvpool") + " save")
    expect_equal(first.returncode, 0, "first run; stderr: " + first.stderr)
    expect_no_pool("between the runs")
    plain = kvflow("run", os.path.join(flows, "reader.json"), shipment)
    expect_equal(files_in("flows/out/notFound"), ["message-000001.xml"],
                 "without the snapshot the key is missing")
    second = kvflow("run", os.path.join(flows, "reader.json"), shipment, "--before",
                    tool("kvpool") + " load")
    expect_equal(second.returncode, 0, "second run; stderr: " + second.stderr)
    expect("loaded 6 records (230 bytes) from /tmp/KvPoolData.bin" in second.stdout,
           "load reported: " + second.stdout)
    expect("<City>Leeds</City>" in read("flows/out/found/message-000001.xml"),
           "the loaded value enriched the message")
    expect_equal(plain.returncode, 0, "plain run")


@case
def verify_reports_every_inconsistency_of_a_damaged_pool():
    example = copy_example("shipping")
    then = then_script([
        ("before", tool("kvpool") + " verify"),
        ("damage", helper_command("damage-pool")),
        ("after", tool("kvpool") + " verify"),
        ("list", tool("kvpool") + " list"),
        ("save", tool("kvpool") + " save"),
    ])
    result = kvflow("run", os.path.join(example, "shipping.json"), "--then", then)
    expect_equal(result.returncode, 0, "exit status; stderr: " + result.stderr)
    expect_equal(recorded("before")[2], 0, "sound before the damage")
    expect_equal(recorded("damage")[2], 0, "damage helper")
    out, _, rc = recorded("after")
    expect_equal(rc, 1, "verify exit status on damage")
    expect_equal(out, golden("verify_damaged.txt") + "\n", "verify output")
    out, err, rc = recorded("list")
    expect(rc == 1 and "damaged" in err and out.startswith("KvPoolOrderId"),
           "list shows the sound records and says the rest is damaged: " + out + err)

    # A snapshot of the damaged pool is refused by verify --snapshot and load.
    expect(kvpool("verify", "--snapshot").returncode == 1, "the damaged snapshot fails verify")


@case
def leftover_pool_is_reported_changed_with_a_warning_and_removed():
    expect_equal(run([sys.executable, os.path.abspath(__file__), "helper", "leftover-pool"]).returncode,
                 0, "leftover helper")
    status = kvpool("status")
    expect("node contexts:  0 alive on this machine (a leftover pool" in status.stdout,
           "status: " + status.stdout)
    change = kvpool("set", "KvPoolNote", "kept")
    expect(change.returncode == 0 and "no node context keeps this pool alive" in change.stderr,
           "set on a leftover pool warns: " + change.stderr)
    expect_equal(kvpool("get", "KvPoolNote").stdout, "kept\n", "the value is in the leftover")
    removal = kvpool("remove")
    expect(removal.returncode == 0 and "removed the segment" in removal.stdout and
           "removed the semaphore set" in removal.stdout, "remove: " + removal.stdout)
    expect_no_pool("after kvpool remove")


@case
def remove_force_while_flows_run():
    example = copy_example("shipping")
    then = then_script([("remove", tool("kvpool") + " remove --force")])
    result = kvflow("run", os.path.join(example, "shipping.json"), "--then", then)
    out, err, rc = recorded("remove")
    expect(rc == 0 and "still use the pool" in err and "removed the segment" in out,
           "remove --force: " + out + err)
    expect_equal(result.returncode, 0, "the flows still end cleanly; stderr: " + result.stderr)
    expect_no_pool("after a forced removal")


# ------------------------------------------------------ kvpool maintenance --

def kvpool_bytes(*args, stdin=None):
    """kvpool with byte arguments and byte output: keys and values need not be UTF-8."""
    return subprocess.run([os.fsencode(tool("kvpool"))] + [a if isinstance(a, bytes) else a.encode()
                                                          for a in args],
                          input=stdin, capture_output=True, cwd=WORK, timeout=120)


def leftover_pool_with(*pairs, pages=1):
    """A pool nothing keeps alive (so kvpool changes it with a warning), holding pairs."""
    expect_equal(run([sys.executable, os.path.abspath(__file__), "helper", "leftover-pool",
                      str(pages)]).returncode, 0, "leftover helper")
    for key, value in pairs:
        stored = kvpool_bytes("set", key, value)
        expect_equal(stored.returncode, 0, "set %r: %r" % (key, stored.stderr))


def keys_in_pool():
    listing = json.loads(kvpool("list", "--json").stdout)
    return [r["key"] for r in listing["records"]]


@case
def delete_and_clear_keep_the_pool_sound():
    leftover_pool_with(("KvPoolA", "1"), ("KvPoolB", "22"), ("KvPoolC", "333"), ("KvPoolD", "4"))
    deleted = kvpool("delete", "KvPoolB", "KvPoolNone", "KvPoolD")
    expect(deleted.returncode == 1 and deleted.stdout == "deleted KvPoolB\ndeleted KvPoolD\n" and
           'no key "KvPoolNone" in the pool' in deleted.stderr,
           "a missing key fails the delete, the others go: " + deleted.stdout + deleted.stderr)
    expect_equal(keys_in_pool(), ["KvPoolA", "KvPoolC"], "records after the delete, in order")
    expect_equal(kvpool("verify").stdout, "pool: sound, 2 records, 58 of 4096 bytes used\n",
                 "verify after the delete")
    expect_equal(kvpool("get", "KvPoolC").stdout, "333\n", "a record moved down reads back")
    expect_equal(kvpool("delete", "").returncode, 1, "an empty key is refused")

    # Node contexts alive: clear needs --force.
    expect_equal(run([sys.executable, os.path.abspath(__file__), "helper", "set-free-slots",
                      "9999"]).returncode, 0, "slot helper")
    refused = kvpool("clear")
    expect(refused.returncode == 1 and "1 node context on this machine" in refused.stderr and
           "--force" in refused.stderr, "clear refused while a node context lives: " +
           refused.stderr)
    expect_equal(keys_in_pool(), ["KvPoolA", "KvPoolC"], "a refused clear changes nothing")
    cleared = kvpool("clear", "--force")
    expect_equal((cleared.returncode, cleared.stdout), (0, "cleared the pool: 2 records removed\n"),
                 "clear --force; stderr: " + cleared.stderr)
    expect_equal(kvpool("verify").stdout, "pool: sound, 0 records, 12 of 4096 bytes used\n",
                 "verify after the clear")
    expect_equal(kvpool("set", "KvPoolE", "5").returncode, 0, "the cleared pool stores again")
    expect_equal(keys_in_pool(), ["KvPoolE"], "records after the clear")


# Bytes that are not UTF-8, a backslash, text that looks like an escape,
# control characters and real UTF-8, in keys and values.
ODD_PAIRS = [(b"KvPoolPlain", b"hello"),
             (b"KvPool\xe9t\xe9", b"caf\xe9 \xff\xfe end"),
             (b"KvPoolSlash\\x41", b"C:\\path\\x41 \\\\"),
             (b"KvPoolUtf8\xc3\xa9", b"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xed\xa0\x80"),
             (b"KvPoolLines", b"a\nb\tc\x01")]


@case
def export_then_import_keeps_every_byte():
    leftover_pool_with(*ODD_PAIRS)
    exported = kvpool_bytes("export")
    expect_equal(exported.returncode, 0, "export: %r" % exported.stderr)
    document = json.loads(exported.stdout.decode("utf-8"))
    expect_equal(list(document.items())[1:3],
                 [("KvPool\\xe9t\\xe9", "caf\\xe9 \\xff\\xfe end"),
                  ("KvPoolSlash\\\\x41", "C:\\\\path\\\\x41 \\\\\\\\")],
                 "bytes that are not UTF-8 as \\xNN, backslashes doubled")
    expect_equal(document["KvPoolUtf8\u00e9"], "\u00e9t\u00e9 \u20ac \\xed\\xa0\\x80",
                 "UTF-8 as it is, a surrogate's bytes escaped")
    written = kvpool("export", "-o", "pool.json")
    expect_equal(written.stdout, "exported 5 records to pool.json\n", "export -o")
    with open(os.path.join(WORK, "pool.json"), "rb") as f:
        expect_equal(f.read(), exported.stdout, "the file holds the same export")

    expect_equal(kvpool("clear").returncode, 0, "clear")
    imported = kvpool("import", "pool.json")
    expect_equal((imported.returncode, imported.stdout),
                 (0, "imported 5 records from pool.json\n"), "import; stderr: " + imported.stderr)
    expect_equal(kvpool_bytes("export").stdout, exported.stdout, "the round trip is exact")
    got = kvpool_bytes("get", b"KvPool\xe9t\xe9")
    expect_equal(got.stdout, b"caf\xe9 \xff\xfe end\n", "a value read back byte for byte")

    # From standard input, over what is there: --replace drops the rest.
    expect_equal(kvpool("set", "KvPoolExtra", "x").returncode, 0, "set")
    replaced = kvpool_bytes("import", "--replace", "-", stdin=exported.stdout)
    expect_equal(replaced.returncode, 0, "import --replace -: %r" % replaced.stderr)
    expect_equal(kvpool_bytes("export").stdout, exported.stdout, "--replace leaves only the file's")
    expect_equal(kvpool("verify").returncode, 0, "the pool is sound")


@case
def import_refuses_bad_documents_and_changes_nothing():
    leftover_pool_with(("KvPoolA", "hello"))
    before = kvpool_bytes("export").stdout

    def refused(text, fragments, what):
        result = kvpool_bytes("import", "-", stdin=text if isinstance(text, bytes) else text.encode())
        stderr = result.stderr.decode("utf-8", "replace")
        expect(result.returncode == 1 and "nothing imported" in stderr,
               "%s: status %d, stderr: %s" % (what, result.returncode, stderr))
        for fragment in fragments:
            expect(fragment in stderr, "%s: %r not in %s" % (what, fragment, stderr))
        expect_equal(kvpool_bytes("export").stdout, before, what + ": the pool is unchanged")

    refused('{\n  "KvPoolB": "1",\n  "KvPoolC" 2\n}', ["not valid JSON at line 3, column 13"],
            "invalid JSON")
    refused(b'{"KvPoolB": "1",\n "KvPoolC": "caf\xe9"}',
            ["not valid JSON at line 2, column 17", "ill-formed UTF-8 byte"], "not UTF-8")
    refused('["KvPoolB"]', ["the document is array, not an object"], "an array")
    refused('{"KvPoolB": 1, "": "x", "' + "K" * 256 + '": "x", "KvPoolN\\\\x00": "x",'
            ' "KvPoolE": "a\\\\q", "KvPoolB2": "\\u0000", "KvPoolD": "1", "KvPoolD": "2"}',
            ['key "KvPoolB": the value is number, not a string',
             'key "": a key has 1 to 255 bytes; this one has 0',
             "this one has 256", 'key "KvPoolN\\\\x00": the key holds a NUL byte',
             'key "KvPoolE": the value: the backslash at character 2 starts no escape',
             'key "KvPoolB2": the value holds a NUL byte', 'key "KvPoolD" appears more than once'],
            "bad keys and values")
    # The records alone need more than the segment: refused as soon as it shows.
    refused('{"KvPoolA": "%s", "KvPoolB": "%s", "KvPoolC": "}' % ("x" * 4000, "y" * 100),
            ["its first 2 records alone need 4154 bytes, more than the pool's 4096"], "overflow")
    # 38 bytes used; KvPoolA stays (26), KvPoolB adds 4061: 4099.
    refused('{"KvPoolB": "%s"}' % ("y" * 4040),
            ["the pool would need 4099 bytes but holds 4096: 3 bytes missing"], "no room beside")
    missing = kvpool("import", "nowhere.json")
    expect(missing.returncode == 1 and "cannot open nowhere.json" in missing.stderr,
           "a missing file: " + missing.stderr)


@case
def export_writes_into_devices_and_fifos_and_refuses_links():
    """Only a regular file (or none) is replaced; a device or a FIFO is written
    into and stays what it is; a link is never followed nor replaced."""
    leftover_pool_with(("KvPoolA", "hello"))
    whole = kvpool("export").stdout
    device, fifo, target, link, linked = (os.path.join(WORK, name) for name in
                                          ("null", "fifo", "target", "link", "linked"))
    os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # the null device
    os.mkfifo(fifo)
    for path in (target, linked):
        with open(path, "w") as f:
            f.write("kept")
    os.symlink(target, link)
    os.link(linked, linked + "2")
    to_device = kvpool("export", "-o", device)
    expect(to_device.returncode == 0 and stat.S_ISCHR(os.lstat(device).st_mode),
           "a device is written into and stays a device: " + to_device.stderr)
    unread = kvpool("export", "-o", fifo)
    expect(unread.returncode == 1 and "a FIFO that no process reads" in unread.stderr,
           "a FIFO without a reader: " + unread.stderr)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    to_fifo = kvpool("export", "-o", fifo)
    got = os.read(reader, 65536).decode()
    os.close(reader)
    expect(to_fifo.returncode == 0 and got == whole and stat.S_ISFIFO(os.lstat(fifo).st_mode),
           "a FIFO with a reader gets the export: %r %s" % (got, to_fifo.stderr))
    for path, fragment in ((link, "is a symbolic link: refused"), (linked, "with 2 links: refused"),
                           (WORK, "is a directory: refused")):
        refused = kvpool("export", "-o", path)
        expect(refused.returncode == 1 and fragment in refused.stderr,
               "%s: %s" % (path, refused.stderr))
    expect(os.path.islink(link) and read("target") == "kept" and read("linked") == "kept",
           "a refused export changes nothing")


@case
def status_json_and_metrics_describe_the_pool():
    absent = kvpool("metrics")
    expect(absent.returncode == 0 and "\nkvpool_pool_present 0\n" in absent.stdout,
           "metrics without a pool: " + absent.stdout + absent.stderr)
    leftover_pool_with(("KvPoolA", "hello"), ("KvPoolB", "x" * 3600))
    expect_equal(kvpool("save").returncode, 0, "save")
    status = kvpool("status", "--json", "--wait", "1")
    expect_equal(status.returncode, 0, "status --json: " + status.stderr)
    facts = json.loads(status.stdout)
    pool = facts["pool"]
    expect_equal((pool["present"], pool["records"], pool["used"], pool["capacity"],
                  pool["nodeContexts"], pool["chainSound"]), (True, 2, 3659, 4096, 0, True),
                 "pool in status --json")
    expect_equal((facts["snapshot"]["present"], facts["snapshot"]["bytes"]), (True, 3659),
                 "snapshot in status --json")
    expect_equal(facts["warnings"], [], "no warnings below 90%")
    # Temporary files of saves, named as the library names them: a dead
    # writer's is a leftover, a running one's is not.
    for writer, size in ((99999999, 10), (os.getpid(), 20)):
        with open("/tmp/KvPoolData.bin.%d.aB3xYz" % writer, "wb") as f:
            f.write(b"x" * size)
    leftovers = json.loads(kvpool("status", "--json").stdout)["snapshotLeftovers"]
    expect_equal(leftovers, {"files": 1, "bytes": 10}, "leftovers in status --json")
    for writer in (99999999, os.getpid()):
        os.unlink("/tmp/KvPoolData.bin.%d.aB3xYz" % writer)
    expect_equal(kvpool("set", "KvPoolC", "y" * 40).returncode, 0, "fill past 90%")
    full = kvpool("status")
    expect("kvpool: warning: the pool is 90.8% full (3720 of 4096 bytes): stores fail with "
           "result 8" in full.stderr, "status warns when nearly full: " + full.stderr)

    metrics = subprocess.run([tool("kvpool"), "metrics"], capture_output=True, text=True,
                             cwd=WORK, env=dict(os.environ, KVPOOL_MEMORY_PAGES="12abc"))
    expect_equal(metrics.returncode, 0, "metrics: " + metrics.stderr)
    expect('KVPOOL_MEMORY_PAGES="12abc" has trailing text "abc"' in metrics.stderr,
           "a malformed page count is warned of: " + metrics.stderr)
    samples, helps, types = {}, set(), {}
    for line in metrics.stdout.splitlines():
        if line.startswith("# HELP "):
            helps.add(line.split()[2])
        elif line.startswith("# TYPE "):
            types[line.split()[2]] = line.split()[3]
        else:
            name, value = line.split(" ")
            samples[name] = float(value)
    expect(set(samples) == helps == set(types) and set(types.values()) == {"gauge"},
           "every sample has HELP and TYPE gauge:\n" + metrics.stdout)
    expect_equal({k: v for k, v in samples.items() if k != "kvpool_snapshot_age_seconds"},
                 {"kvpool_pool_present": 1, "kvpool_pool_used_bytes": 3720,
                  "kvpool_pool_capacity_bytes": 4096, "kvpool_pool_records": 3,
                  "kvpool_node_contexts": 0, "kvpool_snapshot_size_bytes": 3659}, "metrics")
    expect(0 <= samples["kvpool_snapshot_age_seconds"] < 60, "snapshot age")


@case
def list_and_watch_escape_control_characters():
    """C0 and C1 controls, DEL and bytes that are not UTF-8 are shown as \\xNN
    (a terminal would act on them); valid letters stay as they are."""
    table = [(b"KvPoolC0", b"a\x1b[31mb\n", b"a\\x1b[31mb\\n"),
             (b"KvPoolDel", b"x\x7fy", b"x\\x7fy"),
             (b"KvPoolC1\xc2\x85", b"\xc2\x9b31m", b"\\xc2\\x9b31m"),
             (b"KvPoolLetter", b"caf\xc3\xa9 \xe2\x82\xac", b"caf\xc3\xa9 \xe2\x82\xac"),
             (b"KvPoolBad", b"\xff\x9b\xc2", b"\\xff\\x9b\\xc2")]
    leftover_pool_with(*[(key, value) for key, value, _ in table])
    listing = kvpool_bytes("list").stdout
    watched = kvpool_bytes("watch").stdout
    for name, shown in (("list", listing), ("watch", watched)):
        for _, _, wanted in table:
            expect(wanted in shown, "%s shows %r: %r" % (name, wanted, shown))
        expect(b"KvPoolC1\\xc2\\x85" in shown and b"\x1b" not in shown and
               not any(b"\xc2" + bytes([c]) in shown for c in range(0x80, 0xa0)),
               "%s shows no control character raw: %r" % (name, shown))


@case
def import_of_many_keys_stores_every_one():
    leftover_pool_with(pages=200)
    document = {"KvPoolK%05d" % i: "v%d" % i for i in range(20000)}
    with open(os.path.join(WORK, "many.json"), "w") as f:
        json.dump(document, f)
    imported = kvpool("import", "many.json")
    expect_equal((imported.returncode, imported.stdout),
                 (0, "imported 20000 records from many.json\n"), "import: " + imported.stderr)
    records = json.loads(kvpool("list", "--json").stdout)["records"]
    expect_equal({r["key"]: r["value"] for r in records}, document, "every key arrived")
    document.update({"KvPoolL%05d" % i: "w" * 20 for i in range(20000)})
    with open(os.path.join(WORK, "more.json"), "w") as f:
        json.dump(document, f)
    refused = kvpool("import", "more.json")
    expect(refused.returncode == 1 and "records alone need" in refused.stderr,
           "too large: " + refused.stderr)
    expect_equal(len(keys_in_pool()), 20000, "a refused import stores nothing")


@case
def locked_out_user_is_told_the_pool_is_there_and_whose():
    """Another local user (uid 54321, no account needed) cannot open a 0600
    pool: kvpool says whose it is, never that it is a leftover."""
    expect_equal(run([sys.executable, os.path.abspath(__file__), "helper", "leftover-pool", "1",
                      "600"]).returncode, 0, "leftover helper")
    denied = "owned by user root (uid 0), mode 0600: this user may not open it (permission denied)"
    for args, wanted in ((["status"], "pool: present, " + denied),
                         (["set", "KvPoolA", "x"], "the pool is %s; set refused" % denied)):
        result = subprocess.run([tool("kvpool")] + args, capture_output=True, text=True, cwd=WORK,
                                timeout=120, user=54321, group=54321, extra_groups=[])
        told = result.stdout + result.stderr
        expect(result.returncode == 1 and wanted in told and "leftover" not in told,
               "kvpool %s as another user: %s" % (args[0], told))


def tmux(*args):
    return run(["tmux"] + list(args))


def wait_for_screen(fragment, what, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        screen = tmux("capture-pane", "-p", "-t", "w").stdout
        if fragment in screen:
            return screen
        time.sleep(0.1)
    raise Failure("%s: %r never showed on the screen:\n%s" % (what, fragment, screen))


def wait_for_file(name, seconds=30):
    deadline = time.time() + seconds
    while not os.path.exists(os.path.join(WORK, name)) and time.time() < deadline:
        time.sleep(0.1)
    return read(name) if os.path.exists(os.path.join(WORK, name)) else None


@case
def watch_on_a_terminal_and_without_one():
    leftover_pool_with(("KvPoolA", "hello"), ("KvPoolB", "before"), ("KvPoolLong", "v" * 300))
    once = kvpool("watch")
    expect(once.returncode == 0 and "\x1b" not in once.stdout and
           "KvPoolB     before" in once.stdout and "v" * 300 in once.stdout and
           "3 records" in once.stdout, "watch without a terminal prints once:\n" + once.stdout)

    watch = tool("kvpool") + " watch --interval 200"
    script = ("%s; echo $? > q.rc; %s; echo $? > c.rc; stty -a > stty.txt; sleep 60"
              % (watch, watch))
    started = tmux("new-session", "-d", "-s", "w", "-x", "100", "-y", "30", "-c", WORK, script)
    expect_equal(started.returncode, 0, "tmux: " + started.stderr)
    try:
        screen = wait_for_screen("KvPoolLong", "the first view")
        lines = screen.splitlines()
        expect(all(len(line) <= 100 for line in lines) and
               any(line.startswith("  KvPoolLong  vvv") and line.endswith("~") for line in lines)
               and "3 records" in screen and "[#" in screen,
               "the view fits the window and cuts the long value:\n" + screen)
        expect_equal(kvpool("set", "KvPoolB", "after").returncode, 0, "set while watching")
        screen = wait_for_screen("* KvPoolB     after", "the changed key marked")
        expect("  KvPoolA     hello" in screen, "unchanged keys unmarked:\n" + screen)
        tmux("send-keys", "-t", "w", "q")
        expect_equal(wait_for_file("q.rc"), "0\n", "q quits with status 0")
        wait_for_screen("KvPoolLong", "the second watch")
        tmux("send-keys", "-t", "w", "C-c")
        expect_equal(wait_for_file("c.rc"), "0\n", "Ctrl-C quits with status 0")
        settings = wait_for_file("stty.txt")
        expect(settings is not None and {"icanon", "echo", "isig"} <= set(settings.split()),
               "the terminal is restored:\n%s" % settings)
        screen = tmux("capture-pane", "-p", "-t", "w").stdout
        expect("KvPoolLong" not in screen, "the alternate screen is left:\n" + screen)
    finally:
        tmux("kill-server")


def hold_lock(kind):
    """A process that holds the pool's lock (writer or reader) until it is ended."""
    holder = subprocess.Popen([sys.executable, os.path.abspath(__file__), "helper", "hold-lock",
                               kind], stdout=subprocess.PIPE, text=True)
    expect_equal(holder.stdout.readline(), "held\n", "lock helper")
    return holder


def timed(*args):
    start = time.time()
    result = kvpool(*args)
    return result, time.time() - start


@case
def odd_snapshots_and_held_locks_never_hang():
    leftover_pool_with(("KvPoolA", "hello"))
    snapshot = "/tmp/KvPoolData.bin"
    os.mkfifo(snapshot)
    for command in (["list", "--snapshot"], ["verify", "--snapshot"], ["load"]):
        result, took = timed(*command)
        expect(result.returncode == 1 and "/tmp/KvPoolData.bin is a FIFO, not a regular file: "
               "refused" in result.stderr and took < 5,
               "%s on a FIFO: %s (%.1f s)" % (command, result.stderr, took))
    os.unlink(snapshot)
    os.symlink("/dev/zero", snapshot)
    result, took = timed("verify", "--snapshot")
    expect(result.returncode == 1 and "is a symbolic link: refused" in result.stderr and took < 5,
           "a link to /dev/zero: %s (%.1f s)" % (result.stderr, took))
    os.unlink(snapshot)
    with open(snapshot, "wb") as f:
        f.truncate(20480001)
    result = kvpool("list", "--snapshot")
    expect(result.returncode == 1 and "has 20480001 bytes, more than the largest pool (20480000 "
           "bytes): refused" in result.stderr, "an oversized snapshot: " + result.stderr)
    os.unlink(snapshot)

    # Temporary files of saves: those of dead writers go; a running save's
    # file and a link stay.
    dead, live = "KvPoolData.bin.99999999.Old123", "KvPoolData.bin.%d.New456" % os.getpid()
    for name in (dead, live, "KvPoolData.bin.99999998.Old789"):
        with open("/tmp/" + name, "wb") as f:
            f.write(b"x" * 100)
    os.symlink("/dev/zero", "/tmp/KvPoolData.bin.99999997.Lnk789")
    status = kvpool("status")
    expect("save leftovers:   2 temporary files of killed saves, 200 bytes" in status.stdout,
           "status counts the leftovers:\n" + status.stdout)
    saved = kvpool("save")
    expect(saved.returncode == 0 and saved.stdout.startswith(
        "removed 2 leftovers of killed saves (200 bytes)\nsaved 1 records"),
        "save removes the dead writers' files: " + saved.stdout + saved.stderr)
    expect_equal(sorted(n for n in os.listdir("/tmp") if n.startswith("KvPoolData.bin.")),
                 sorted(["KvPoolData.bin.99999997.Lnk789", live]), "what the save left")

    writer = hold_lock("writer")
    try:
        for command in (["list", "--wait", "1"], ["--wait", "1", "set", "KvPoolB", "2"],
                        ["status", "--wait", "1"]):
            result, took = timed(*command)
            expect(result.returncode == 1 and "timed out after 1 s waiting for the pool's" in
                   result.stderr and "a writer holds it (process %d)" % writer.pid in
                   result.stderr and 0.9 < took < 5,
                   "%s under a held writer lock: %s (%.1f s)" % (command, result.stderr, took))
    finally:
        writer.kill()
        writer.wait()
    reader = hold_lock("reader")
    try:
        expect_equal(kvpool("get", "KvPoolA", "--wait", "1").stdout, "hello\n", "readers share")
        result, took = timed("delete", "KvPoolA", "--wait", "0.5")
        expect(result.returncode == 1 and "waiting for the pool's writer lock: 1 reader holds it"
               in result.stderr and took < 5, "delete under a reader: " + result.stderr)
    finally:
        reader.kill()
        reader.wait()
    expect_equal(kvpool("get", "KvPoolA", "--wait", "1").stdout, "hello\n",
                 "nothing changed, and the lock is free again")


# -------------------------------------------------------------- bad inputs --

def expect_refused(result, fragments, what):
    expect(result.returncode == 1, "%s: exit status %d, stderr:\n%s" %
           (what, result.returncode, result.stderr))
    for fragment in fragments:
        expect(fragment in result.stderr, "%s: %r not in:\n%s" % (what, fragment, result.stderr))
    expect("== kvflow summary" not in result.stdout, what + ": a summary was printed")


@case
def refused_scripts_stop_every_flow_before_the_first_message():
    flows = copy_flows()
    with open(os.path.join(WORK, "m.xml"), "w") as f:
        f.write("<m><v>1</v></m>")
    result = kvflow("run", os.path.join(flows, "refused.json"), "good=m.xml", "bad=m.xml")
    expect_refused(result, [
        'node "minus": KvPoolExpression refused at statement 2 "SET KvPoolB = Body.m-v": '
        "ERROR 15 VTRL-KvPool KvPool:1127 setAttribute: Vantrel2 "
        "[wrong keyword(Not Supported) '-' used in Script]; "
        "CONFIGURATION 10 VTRL-KvPool KvPool:660 setAttribute: Vantrel2",
        'node "lowercase": KvPoolExpression refused at statement 2 "set KvPoolB = Body.m.w"',
        'node "writesInput": KvPoolExpression refused at statement 1 '
        '"SET InputRoot.XML.m = KvPoolA": ERROR 16 VTRL-KvPool KvPool:1203 insertKvScript: '
        "Vantrel2 [InputRoot.XML.m=KvPoolA]",
        "nothing was sent"], "refused scripts")
    expect_equal(files_in("flows/out/stored"), [], "the good flow sent nothing")
    expect_no_pool("after a refused run")


@case
def check_reports_every_refused_script():
    flows = copy_flows()
    result = kvflow("check", os.path.join(flows, "refused.json"))
    expect_refused(result, ['node "minus"', 'node "lowercase"', 'node "writesInput"',
                            "3 problems"], "check")
    good = kvflow("check", os.path.join(flows, "failures.json"))
    expect_equal(good.returncode, 0, "check of a good file; stderr: " + good.stderr)
    expect("OK: 5 flows, 11 nodes, 6 wires" in good.stdout, "check output: " + good.stdout)
    expect_no_pool("after check")


@case
def check_shows_invisible_characters_and_warns_without_failing():
    """A refused statement shows CR, a byte-order mark and a non-breaking
    space; statements that fail on every message and wiring loops are
    warnings: named, but the check still passes."""
    flows = copy_flows()
    with open(os.path.join(flows, "invisible.json"), "w") as f:
        json.dump({"flows": [
            {"name": "crlf", "nodes": [{"name": "crlfScript", "class": "KvPoolNode", "attributes": {
                "KvPoolExpression": "SET KvPoolA = Body.m.v;\r\nSET KvPoolB = Body.m.w;"}}],
             "input": "crlfScript"},
            {"name": "marks", "nodes": [{"name": "markScript", "class": "KvPoolNode", "attributes": {
                "KvPoolExpression": "\ufeffSET KvPoolA\u00a0= Body.m.v;"}}],
             "input": "markScript"}]}, f)
    refused = kvflow("check", os.path.join(flows, "invisible.json"))
    expect_refused(refused, [
        'node "crlfScript": KvPoolExpression refused at statement 2 "\\r SET KvPoolB = Body.m.w"',
        "(a carriage return is not a blank in a script: write it with plain line feeds)",
        'node "markScript": KvPoolExpression refused at statement 1 '
        '"\\ufeffSET KvPoolA\\u00a0= Body.m.v"'], "invisible characters")

    with open(os.path.join(flows, "warned.json"), "w") as f:
        json.dump({"name": "warned", "nodes": [
            {"name": "a", "class": "KvPoolNode", "attributes": {"KvPoolExpression": [
                "SET KvPoolA = Body.m.v;", "SET KvPoolB;",
                "SET KvPool" + "L" * 250 + " = Body.m.v;", "SET KvPoolC = " + "x" * 256 + ";"]}},
            {"name": "b", "class": "KvPoolNode"},
            {"name": "c", "class": "OutputNode", "attributes": {"stream": "none"}}],
            "wires": [{"from": "a.out", "to": "b"}, {"from": "b.failure", "to": "a"},
                      {"from": "b.out", "to": "c"}],
            "input": "a"}, f)
    warned = kvflow("check", os.path.join(flows, "warned.json"))
    expect_equal(warned.returncode, 0, "warnings do not fail the check; stderr: " + warned.stderr)
    expect("OK: 1 flow, 3 nodes, 3 wires; every node created and configured; 4 warnings"
           in warned.stdout, "check output: " + warned.stdout)
    where = 'kvflow: warning: %s: flow "warned"' % os.path.join(flows, "warned.json")
    for fragment in [
            where + ', node "a": statement 2 "SET KvPoolB" fails on every message '
                    "(it has no '=': result 4)",
            where + ', node "a": statement 3 "SET KvPool' + "L" * 90,
            "(its left operand has 256 bytes, more than 255: result 4)",
            where + ', node "a": statement 4 ',
            "(its right operand has 256 bytes, more than 255: result 4)",
            where + ": wiring loop a.out -> b.in, b.failure -> a.in"]:
        expect(fragment in warned.stderr, "%r not in:\n%s" % (fragment, warned.stderr))
    expect_equal(len(warned.stderr.splitlines()), 4, "one line per warning")
    expect_no_pool("after check")


@case
def keys_and_graph_map_the_pool_keys():
    """keys lists each key's writers and readers and warns about a key read
    but never written; graph draws the keys between the flows' nodes."""
    example = copy_example("shipping")
    flows = copy_flows()
    demo = os.path.join(example, "shipping.json")
    typo = os.path.join(flows, "typo.json")
    keys = kvflow("keys", demo)
    expect_equal(keys.returncode, 0, "keys exit status; stderr: " + keys.stderr)
    expect("KvPoolCustomer\n"
           "  written by orders/recordOrder statement 2: KvPoolCustomer=Body.Order.Customer.Name\n"
           "  read by    shipments/labelParcel statement 3: "
           "OutputRoot.XML.Shipment.DeliverTo.Name=KvPoolCustomer\n" in keys.stdout,
           "keys output:\n" + keys.stdout)
    expect_equal(keys.stderr, 'kvflow: warning: %s: flow "shipments", node "labelParcel", '
                 "statement 1: key KvPoolLastParcel is written but never read\n" % demo,
                 "demo warnings")

    typos = kvflow("keys", typo)
    expect_equal(typos.returncode, 0, "warnings alone do not fail")
    expect('flow "labelling", node "label", statement 1: key KvPoolCustomr is read but never '
           "written (a typo of KvPoolCustomer?)" in typos.stderr, "typo warning: " + typos.stderr)
    expect_equal(kvflow("keys", "--strict", typo).returncode, 1, "--strict with a warning")
    both = kvflow("keys", demo, typo)
    expect("  written by %s: intake/storeCustomer statement 2" % typo in both.stdout,
           "several files name the file:\n" + both.stdout)
    bad = kvflow("keys", os.path.join(flows, "absent.json"))
    expect(bad.returncode == 2 and "absent.json: cannot open the flow file" in bad.stderr,
           "keys of a missing file: %d %s" % (bad.returncode, bad.stderr))
    expect_equal(kvflow("keys").returncode, 2, "keys without a file")
    expect_equal(kvflow("graph", os.path.join(flows, "absent.json")).returncode, 2,
                 "graph of a missing file")

    graph = kvflow("graph", demo, typo)
    expect_equal(graph.returncode, 0, "graph exit status; stderr: " + graph.stderr)
    dot = graph.stdout
    expect(dot.startswith("digraph kvpool {") and dot.rstrip().endswith("}"), "DOT:\n" + dot)
    edges = set()
    places = set()
    for line in dot.splitlines():
        line = line.strip()
        if line.startswith('"key:') and "shape=cylinder" in line:
            places.add(line.split('"')[1])
        elif " -> " in line:
            source, target = line.split(" [")[0].split(" -> ")
            edges.add((source.strip('"'), target.strip('"')))
    expect({"key:KvPoolCarrier", "key:KvPoolCustomr", "key:KvPoolLastParcel"} <= places,
           "key places: %s" % sorted(places))
    for edge in [("node:0:recordOrder", "key:KvPoolCarrier"),
                 ("key:KvPoolCarrier", "node:0:labelParcel"),
                 ("node:0:recordOrder", "node:0:stored"),
                 ("key:KvPoolCustomr", "node:1:label"),
                 ("node:1:storeCustomer", "key:KvPoolCustomer")]:
        expect(edge in edges, "edge %s -> %s not in:\n%s" % (edge + (dot,)))
    if shutil.which("dot"):
        svg = run(["dot", "-Tsvg"], stdin=dot)
        expect(svg.returncode == 0 and "<svg" in svg.stdout, "dot renders it: " + svg.stderr)


@case
def bad_flow_files():
    flows = copy_flows()
    cases = {
        "syntax.json": ('{"nodes": [ }', ["syntax.json: not valid JSON (byte 13)"]),
        "noinput.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode"}]}',
                         ['flow "noinput": no "input" node']),
        "wire.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode"}],'
                      ' "wires": [{"from": "a.out", "to": "b"}], "input": "a"}',
                      ['wire to "b": no node of that name in this flow']),
        "typo.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode", "atributes": {}}],'
                      ' "input": "a"}', ['node "a": unknown key "atributes"']),
        "class.json": ('{"nodes": [{"name": "a", "class": "KvPolNode"}], "input": "a"}',
                       ['node "a": cannot create a node of class "KvPolNode"']),
        "attribute.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode",'
                           ' "attributes": {"messageRestore": true}}], "input": "a"}',
                           ['node "a": class KvPoolNode has no attribute "messageRestore"']),
        "terminal.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode"},'
                          ' {"name": "o", "class": "OutputNode"}],'
                          ' "wires": [{"from": "a.fail", "to": "o"}], "input": "a"}',
                          ["node a has no output terminal fail"]),
        # Whatever the JSON library raises is one line naming file and place.
        "overflow.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode",\n'
                          ' "attributes": {"messageStoreEltNotFound": 1e999}}], "input": "a"}',
                          ["overflow.json: not usable JSON (byte 91, line 2, column 44): "
                           "number overflow parsing '1e999'"]),
        "float.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode",'
                       ' "attributes": {"messageStoreEltNotFound": 1.5}}], "input": "a"}',
                       ['attribute "messageStoreEltNotFound" must be a string, a boolean, '
                        "an integer or an array of strings, not number 1.5"]),
        "name.json": ('{"nodes": [{"name": 7, "class": "KvPoolNode"}], "input": "a"}',
                      ["a node's \"name\" must be a string, not number 7"]),
        "utf8.json": (b'{"nodes": [{"name": "a\xff", "class": "KvPoolNode"}], "input": "a"}',
                      ["utf8.json: not valid JSON (byte 23): ", "ill-formed UTF-8 byte",
                       "\\xff"]),
        "deep.json": ('{"nodes": ' + "[" * 100000 + "]" * 100000 + "}",
                      ["deep.json: nested deeper than 64 levels (byte 73, line 1, column 74)"]),
        "nul.json": ('{"nodes": [{"name": "a", "class": "KvPoolNode", "attributes":'
                     ' {"KvPoolExpression": "SET KvPoolA = Body.m.v;\\u0000SET KvPoolB = Body.m.w;"}}],'
                     ' "input": "a"}',
                     ['node "a": attribute "KvPoolExpression" holds a NUL character (\\u0000) '
                      'after "SET KvPoolA = Body.m.v;"']),
    }
    with open(os.path.join(WORK, "m.xml"), "w") as f:
        f.write("<m/>")
    for name, (text, fragments) in cases.items():
        with open(os.path.join(flows, name), "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
        expect_refused(kvflow("run", os.path.join(flows, name), "m.xml"), fragments, name)
    missing = kvflow("run", os.path.join(flows, "absent.json"), "m.xml")
    expect_refused(missing, ["absent.json: cannot open the flow file"], "missing flow file")
    expect_refused(kvflow("run", flows, "m.xml"), [flows + ": is a directory, not a flow file"],
                   "a directory for a flow file")
    expect_no_pool("after bad flow files")


@case
def missing_or_broken_plugin():
    example = copy_example("shipping")
    flow = os.path.join(example, "shipping.json")
    expect_refused(kvflow("run", flow, "--plugin", "/nonexistent/libKvPool.so"),
                   ["plug-in /nonexistent/libKvPool.so: cannot read it: No such file or directory"],
                   "missing plug-in")
    not_a_plugin = os.path.join(WORK, "plugin.so")
    with open(not_a_plugin, "w") as f:
        f.write("not a shared library")
    expect_refused(kvflow("run", flow, "--plugin", not_a_plugin),
                   ["cannot load the plug-in: load plug-in %s: dlopen failed" % not_a_plugin,
                    "nothing was sent"], "not a plug-in")
    expect_refused(kvflow("check", flow, "--plugin", not_a_plugin),
                   ["cannot load the plug-in"], "check with a broken plug-in")
    expect_equal(files_in("shipping/out/orders"), [], "nothing was sent")
    expect_no_pool("after plug-in failures")


@case
def unreadable_or_malformed_messages():
    example = copy_example("shipping")
    flow = os.path.join(example, "shipping.json")
    with open(os.path.join(WORK, "bad.xml"), "w") as f:
        f.write("<Shipment><Parcel>P-1</Shipment>")
    os.makedirs(os.path.join(WORK, "empty"))
    expect_refused(kvflow("run", flow, "shipments=bad.xml"),
                   ["malformed XML: parse XML bad.xml: offset"], "malformed XML")
    expect_refused(kvflow("run", flow, "shipments=nowhere.xml"),
                   ["nowhere.xml: cannot read message source: No such file or directory"],
                   "missing message file")
    expect_refused(kvflow("run", flow, "shipments=empty"),
                   ["empty: the directory holds no *.xml message files"], "empty directory")
    expect_refused(kvflow("run", flow, "bad.xml"),
                   ["message source bad.xml: ", "holds several flows; name one as FLOW=PATH"],
                   "message source without a flow")
    expect_refused(kvflow("run", flow, "shipments=-", stdin="<oops"),
                   ["malformed XML: parse XML <stdin>"], "malformed standard input")
    with open(os.path.join(WORK, "latin1.xml"), "wb") as f:
        f.write(b"<Shipment><Parcel>P-\xff" + b"x" * 100 + b"</Parcel></Shipment>")
    latin1 = kvflow("run", flow, "shipments=latin1.xml")
    expect_refused(latin1, ['latin1.xml: invalid UTF-8 in "P-\\xff' + "x" * 37 + '..."'],
                   "a text that is not UTF-8, shown with its byte escaped and cut short")
    expect_equal(files_in("shipping/out/orders"), [], "nothing was sent")
    expect_no_pool("after bad messages")


# ----------------------------------------------------------------- helpers --

def libc():
    lib = ctypes.CDLL(None, use_errno=True)
    lib.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
    lib.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    lib.shmat.restype = ctypes.c_void_p
    lib.shmdt.argtypes = [ctypes.c_void_p]
    lib.semget.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
    return lib


def int32_at(address, offset):
    return ctypes.c_int32.from_address(address + offset)


def helper_damage_pool():
    """Breaks the live pool in three ways that leave the chain walkable: the
    second record's value loses its NUL, the fourth record's key gives its
    last byte to the value, and the header counts one record too many."""
    lib = libc()
    segment = lib.shmget(SHM_KEY, 0, 0)
    address = lib.shmat(segment, None, 0)
    if segment < 0 or address in (None, ctypes.c_void_p(-1).value):
        return 1
    offsets = []
    offset = 12
    for _ in range(int32_at(address, 4).value):
        offsets.append(offset)
        offset += int32_at(address, offset).value
    second = offsets[1]
    value_end = second + int32_at(address, second).value - 1
    ctypes.c_char.from_address(address + value_end).value = b"X"
    fourth = offsets[3]
    int32_at(address, fourth + 4).value -= 1
    int32_at(address, fourth + 8).value += 1
    int32_at(address, 4).value += 1
    lib.shmdt(ctypes.c_void_p(address))
    return 0


def helper_leftover_pool(pages="1", mode="666"):
    """Makes the segment and semaphore set that processes killed before
    deleting their nodes leave behind: no user slot taken, header written."""
    lib = libc()
    size, mode = int(pages) * 4096, int(mode, 8)
    semaphores = lib.semget(SEM_KEY, 3, IPC_CREAT | mode)
    if semaphores < 0 or lib.semctl(semaphores, 2, SETVAL, ctypes.c_int(10000)) != 0:
        return 1
    segment = lib.shmget(SHM_KEY, size, IPC_CREAT | mode)
    address = lib.shmat(segment, None, 0)
    if segment < 0 or address in (None, ctypes.c_void_p(-1).value):
        return 1
    int32_at(address, 0).value = size
    int32_at(address, 4).value = 0
    int32_at(address, 8).value = 12
    lib.shmdt(ctypes.c_void_p(address))
    return 0


class SemBuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short),
                ("sem_flg", ctypes.c_short)]


def helper_hold_lock(kind):
    """Holds the pool's writer lock (semaphore 0) or one reader's share
    (semaphore 1), with SEM_UNDO, until the process is ended."""
    lib = libc()
    semaphores = lib.semget(SEM_KEY, 3, 0)
    op = SemBuf(0 if kind == "writer" else 1, 1, SEM_UNDO)
    if semaphores < 0 or lib.semop(semaphores, ctypes.byref(op), 1) != 0:
        return 1
    print("held", flush=True)
    time.sleep(300)
    return 0


def helper_set_free_slots(count):
    """Sets the free user slots, as if 10000 - count node contexts were alive."""
    lib = libc()
    semaphores = lib.semget(SEM_KEY, 3, 0)
    return 0 if lib.semctl(semaphores, 2, SETVAL, ctypes.c_int(int(count))) == 0 else 1


HELPERS = {"damage-pool": helper_damage_pool, "leftover-pool": helper_leftover_pool,
           "hold-lock": helper_hold_lock, "set-free-slots": helper_set_free_slots}


def isolated():
    """True in a private IPC namespace whose /tmp is the tmpfs the wrapper
    mounted: the IPC namespace differs from the one of the process that
    started the wrapper (unshare execs into us, so that is our parent)."""
    try:
        private_ipc = os.readlink("/proc/self/ns/ipc") != os.readlink(
            "/proc/%d/ns/ipc" % os.getppid())
    except OSError:
        private_ipc = False
    with open("/proc/self/mounts") as f:
        tmpfs = any(line.split()[:3] == ["e2e-tmp", "/tmp", "tmpfs"] for line in f)
    return private_ipc and tmpfs


def main():
    global TOOLS, SOURCE
    if len(sys.argv) > 2 and sys.argv[1] == "helper":
        return HELPERS[sys.argv[2]](*sys.argv[3:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    TOOLS, SOURCE = os.path.abspath(args.tools), os.path.abspath(args.source)
    if not isolated():
        print("e2e: refusing to run outside a private IPC namespace with a private /tmp",
              file=sys.stderr)
        return 2
    os.makedirs(WORK)
    try:
        CASES[args.case]()
    except Failure as failure:
        print("FAILED %s: %s" % (args.case, failure), file=sys.stderr)
        return 1
    print("passed: " + args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
