"""End-to-end cases of kvpool on a live or leftover pool: commands, snapshots,
verify, delete and clear, export and import.
"""
import harness
from harness import *  # noqa: F401,F403 (the shared helpers)


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
    expect_equal(helper("leftover-pool").returncode, 0, "leftover helper")
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
    expect_equal(helper("set-free-slots", "9999").returncode, 0, "slot helper")
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
    expect_equal(stat.S_IMODE(os.stat(os.path.join(WORK, "pool.json")).st_mode), 0o600,
                 "an export is owner-only")

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
    os.mkfifo(os.path.join(WORK, "pipe.json"))
    pipe = kvpool("import", "pipe.json")
    expect(pipe.returncode == 1 and "pipe.json: not a regular file of one name" in pipe.stderr,
           "a FIFO is refused, not waited on: " + pipe.stderr)


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
def the_persistence_file_outlives_the_flows_and_kvpool_follows_it():
    path = "/tmp/persist/pool.bin"
    env = environment(KVPOOL_PERSIST=path)
    example = copy_example("shipping")
    flow = os.path.join(example, "shipping.json")
    expect_refused(kvflow("run", flow, env=env), ["its folder /tmp/persist cannot be used"],
                   "a folder that does not exist")
    os.mkdir("/tmp/persist")
    nothing = kvpool("save", env=env)
    expect(nothing.returncode == 0 and "nothing saved" in nothing.stdout and
           not os.path.exists(path), "save without a pool: " + nothing.stdout + nothing.stderr)
    expect_equal(kvflow("run", flow, env=env).returncode, 0, "first run")
    expect_no_pool("after the first run")
    first = kvpool("--file", path, "list", "--snapshot", "--json")
    records = [(r["key"], r["value"]) for r in json.loads(first.stdout)["records"]]
    expect(("KvPoolCustomer", "Ada Byron") in records, "saved by the last node: %s" % records)
    then = then_script([("status", tool("kvpool") + " status --json")])
    expect_equal(kvflow("run", flow, "--then", then, env=env).returncode, 0, "second run")
    pool = json.loads(recorded("status")[0])
    expect_equal((pool["pool"]["createdPersistent"], pool["snapshot"]["path"]), (True, path),
                 "status of a persistent pool")
    relative = kvpool("--file", "pool.bin", "save")
    expect(relative.returncode == 1 and "not an absolute path" in relative.stderr,
           "--file must be absolute: " + relative.stderr)
    # The folder goes during a run: the save at its end fails, and says so.
    lost = kvflow("run", flow, "--then", "rm -r /tmp/persist", env=env)
    said = "the pool was not saved when its last node was deleted: the pool could not be saved to "
    expect(lost.returncode == 2 and "WARNING 19 " in lost.stdout and said + path in lost.stderr,
           "a failed save at the end: " + lost.stdout + lost.stderr)
    status = kvpool("status", env=env)
    kept = "last node:      kept it unsaved: the machine's last node could not save the pool"
    expect(kept in status.stdout and "its folder /tmp/persist cannot be used" in status.stderr,
           "status after it: " + status.stdout + status.stderr)


@case
def save_timer_units_verify_and_their_command_saves_a_live_pool():
    units = {}
    for name in ("kvpool-save.service", "kvpool-save.timer"):
        with open(os.path.join(harness.SOURCE, "packaging", name)) as f:
            units[name] = f.read().replace("/usr/bin/kvpool", tool("kvpool"))
    os.mkdir("/tmp/units")
    for name, text in units.items():
        with open(os.path.join("/tmp/units", name), "w") as f:
            f.write(text)
    if shutil.which("systemd-analyze"):
        verified = run(["systemd-analyze", "verify", "--man=no"] +
                       [os.path.join("/tmp/units", name) for name in sorted(units)])
        expect_equal((verified.returncode, verified.stderr), (0, ""), "systemd-analyze verify")
    service = units["kvpool-save.service"]
    expect("EnvironmentFile=-/etc/default/kvpool\n" in service, "the environment file")
    expect("OnUnitActiveSec=5min\n" in units["kvpool-save.timer"], "every 5 minutes")
    command = [line.split("=", 1)[1] for line in service.splitlines()
               if line.startswith("ExecStart=")][0]
    os.mkdir("/tmp/persist")
    with open("/tmp/kvpool.default", "w") as f:
        f.write("KVPOOL_PERSIST=/tmp/persist/pool.bin\n")
    then = then_script([("timer", "set -a; . /tmp/kvpool.default; set +a; " + command)])
    example = copy_example("shipping")
    expect_equal(kvflow("run", os.path.join(example, "shipping.json"), "--then", then).returncode,
                 0, "the run")
    out, err, rc = recorded("timer")
    expect(rc == 0 and "to /tmp/persist/pool.bin" in out, "the timer's save: " + out + err)
    listing = kvpool("--file", "/tmp/persist/pool.bin", "list", "--snapshot")
    expect("Ada Byron" in listing.stdout, "the saved pool: " + listing.stdout + listing.stderr)
