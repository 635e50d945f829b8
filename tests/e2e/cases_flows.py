"""End-to-end cases of kvflow runs: flows in broker processes sharing the pool.
"""
from harness import *  # noqa: F401,F403 (the shared helpers)


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
        write_message("batch/m%d.xml" % i, "<m><v>%d</v></m>" % i)
    write_message("batch/notes.txt", "not a message")
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
    write_message("deep.xml", "<a>" * depth + "<v>x</v>" + "</a>" * depth)
    write_flow(os.path.join(flows, "deep.json"), {"nodes": [
        {"name": "copy", "class": "KvPoolNode",
         "attributes": {"KvPoolExpression": "SET KvPoolTop = Body.a.a; SET OutputRoot.XML.a.seen = KvPoolTop;",
                        "messageStoreEltNotFound": True}},
        {"name": "written", "class": "OutputNode", "attributes": {"directory": "out/deep"}}],
        "wires": [{"from": "copy.out", "to": "written"}], "input": "copy"})
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
    write_message("m.xml", "<m><v>1</v><Line>a</Line><Line>b</Line></m>")
    write_flow(os.path.join(flows, "badnames.json"), {"flows": [
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
         "wires": [{"from": "third.failure", "to": "thirdFailed"}], "input": "third"}]})
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
    write_message("m.xml", "<m><v>1</v></m>")
    write_flow(os.path.join(flows, "loop.json"), {"flows": [
        {"name": "fine", "nodes": [
            {"name": "store", "class": "KvPoolNode",
             "attributes": {"KvPoolExpression": "SET KvPoolV = Body.m.v;"}}],
         "input": "store"},
        {"name": "loop", "nodes": [
            {"name": "again", "class": "KvPoolNode",
             "attributes": {"KvPoolExpression": "SET KvPoolV = Body.m.v;"}},
            {"name": "after", "class": "OutputNode", "attributes": {"directory": "out/after"}}],
         "wires": [{"from": "again.out", "to": "again"}, {"from": "again.out", "to": "after"}],
         "input": "again"}]})
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
    write_flow(wide, {"nodes": [{"name": "n%d" % i, "class": "KvPoolNode"} for i in range(157)]
               + [{"name": "out", "class": "OutputNode", "attributes": {"stream": "none"}}],
               "wires": [{"from": "n0.out", "to": "out"}], "input": "n0"})
    write_message("m.xml", "<m/>")

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
            kvpool("remove", "--force")
