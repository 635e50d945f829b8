"""End-to-end cases of how kvpool shows and reaches the pool: status and
metrics, escaping, large imports, a locked-out user, watch, held locks and
odd snapshots.
"""
from harness import *  # noqa: F401,F403 (the shared helpers)


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

    metrics = kvpool("metrics", env=environment(KVPOOL_MEMORY_PAGES="12abc"))
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
                  "kvpool_node_contexts": 0, "kvpool_pool_persistent": 0,
                  "kvpool_pool_kept_unsaved": 0, "kvpool_snapshot_size_bytes": 3659}, "metrics")
    expect(0 <= samples["kvpool_snapshot_age_seconds"] < 60, "snapshot age")


@case
def list_and_watch_escape_control_characters():
    """C0 and C1 controls, DEL and bytes that are not UTF-8 are shown as \\xNN
    (a terminal would act on them); valid letters stay as they are."""
    table = [(b"KvPoolC0", b"a\x1b[31mb\n", b"a\\x1b[31mb\\n"),
             (b"KvPoolDel", b"x\x7fy", b"x\\x7fy"),
             (b"KvPoolC1\xc2\x85", b"\xc2\x9b31m", b"\\xc2\\x9b31m"),
             (b"KvPoolC1Ends", b"\xc2\x80x\xc2\x9f", b"\\xc2\\x80x\\xc2\\x9f"),
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
    exported = kvpool_bytes("export").stdout
    expect(b'"\\u009b31m"' in exported and
           not any(b"\xc2" + bytes([c]) in exported for c in range(0x80, 0xa0)),
           "export escapes C1 controls as JSON does: %r" % exported)
    # A snapshot path given on the command line: an empty one is refused, and
    # one holding controls is shown escaped.
    for path, wanted in (("", '--file: "" is empty'),
                         ("/tmp/x\x1b]0;t\x07", "/tmp/x\\x1b]0;t\\x07")):
        result = kvpool("--file", path, "list", "--snapshot")
        expect(result.returncode == 1 and wanted in result.stderr and
               "\x1b" not in result.stdout + result.stderr,
               "--file %r: %d %r" % (path, result.returncode, result.stderr))


@case
def import_of_many_keys_stores_every_one():
    leftover_pool_with(pages=200)
    document = {"KvPoolK%05d" % i: "v%d" % i for i in range(20000)}
    write_flow("many.json", document)
    imported = kvpool("import", "many.json")
    expect_equal((imported.returncode, imported.stdout),
                 (0, "imported 20000 records from many.json\n"), "import: " + imported.stderr)
    records = json.loads(kvpool("list", "--json").stdout)["records"]
    expect_equal({r["key"]: r["value"] for r in records}, document, "every key arrived")
    document.update({"KvPoolL%05d" % i: "w" * 20 for i in range(20000)})
    write_flow("more.json", document)
    refused = kvpool("import", "more.json")
    expect(refused.returncode == 1 and "records alone need" in refused.stderr,
           "too large: " + refused.stderr)
    expect_equal(len(keys_in_pool()), 20000, "a refused import stores nothing")


@case
def locked_out_user_is_told_the_pool_is_there_and_whose():
    """Another local user (uid 54321, no account needed) cannot open a 0600
    pool: kvpool says whose it is, never that it is a leftover."""
    expect_equal(helper("leftover-pool", "1", "600").returncode, 0, "leftover helper")
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
    """The file's text once the shell has written it whole (a redirection
    creates the file before the command writes its lines)."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        text = read(name) if os.path.exists(os.path.join(WORK, name)) else ""
        if text.endswith("\n"):
            return text
        time.sleep(0.1)
    return None


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
    holder = subprocess.Popen(helper_args("hold-lock", kind), stdout=subprocess.PIPE,
                              text=True)
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
