"""End-to-end cases of refused and checked inputs: scripts, flow files,
plug-ins and messages; kvflow check, keys and graph.
"""
from harness import *  # noqa: F401,F403 (the shared helpers)


@case
def refused_scripts_stop_every_flow_before_the_first_message():
    flows = copy_flows()
    write_message("m.xml", "<m><v>1</v></m>")
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
    write_flow(os.path.join(flows, "invisible.json"), {"flows": [
        {"name": "crlf", "nodes": [{"name": "crlfScript", "class": "KvPoolNode", "attributes": {
            "KvPoolExpression": "SET KvPoolA = Body.m.v;\r\nSET KvPoolB = Body.m.w;"}}],
         "input": "crlfScript"},
        {"name": "marks", "nodes": [{"name": "markScript", "class": "KvPoolNode", "attributes": {
            "KvPoolExpression": "\ufeffSET KvPoolA\u00a0= Body.m.v;"}}],
         "input": "markScript"}]})
    refused = kvflow("check", os.path.join(flows, "invisible.json"))
    expect_refused(refused, [
        'node "crlfScript": KvPoolExpression refused at statement 2 "\\r SET KvPoolB = Body.m.w"',
        "(a carriage return is not a blank in a script: write it with plain line feeds)",
        'node "markScript": KvPoolExpression refused at statement 1 '
        '"\\ufeffSET KvPoolA\\u00a0= Body.m.v"'], "invisible characters")

    write_flow(os.path.join(flows, "warned.json"), {"name": "warned", "nodes": [
        {"name": "a", "class": "KvPoolNode", "attributes": {"KvPoolExpression": [
            "SET KvPoolA = Body.m.v;", "SET KvPoolB;",
            "SET KvPool" + "L" * 250 + " = Body.m.v;", "SET KvPoolC = " + "x" * 256 + ";"]}},
        {"name": "b", "class": "KvPoolNode"},
        {"name": "c", "class": "OutputNode", "attributes": {"stream": "none"}}],
        "wires": [{"from": "a.out", "to": "b"}, {"from": "b.failure", "to": "a"},
                  {"from": "b.out", "to": "c"}],
        "input": "a"})
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
    write_message("m.xml", "<m/>")
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
    write_message("bad.xml", "<Shipment><Parcel>P-1</Shipment>")
    os.makedirs(os.path.join(WORK, "empty"))
    expect_refused(kvflow("run", flow, "shipments=bad.xml"),
                   ["malformed XML: parse XML bad.xml: offset"], "malformed XML")
    expect_refused(kvflow("run", flow, "shipments=nowhere.xml"),
                   ["nowhere.xml: cannot read message source: No such file or directory"],
                   "missing message file")
    os.mkfifo(os.path.join(WORK, "pipe.xml"))
    expect_refused(kvflow("run", flow, "shipments=pipe.xml"),
                   ["pipe.xml: cannot read message file: not a regular file of one name"],
                   "a FIFO is refused, not waited on")
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
