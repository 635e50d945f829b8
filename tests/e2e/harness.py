"""What the end-to-end cases share: running the tools in the case's work
folder, comparing with expected outputs, writing flows and messages, and the
helpers that damage a pool or hold its lock from a process of their own
(run.py helper NAME ...), and the case registry the case modules fill."""
import argparse
import ctypes
import glob
import re
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


def run(args, stdin=None, cwd=WORK, env=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, cwd=cwd,
                          timeout=120, env=env)


def kvflow(*args, **kwargs):
    return run([tool("kvflow")] + list(args), **kwargs)


def kvpool(*args, **kwargs):
    return run([tool("kvpool")] + list(args), **kwargs)


def expect_refused(result, fragments, what):
    """A kvflow run or check that stopped before any message, naming each fragment."""
    expect(result.returncode == 1, "%s: exit status %d, stderr:\n%s" %
           (what, result.returncode, result.stderr))
    for fragment in fragments:
        expect(fragment in result.stderr, "%s: %r not in:\n%s" % (what, fragment, result.stderr))
    expect("== kvflow summary" not in result.stdout, what + ": a summary was printed")


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


def helper_args(*args):
    """The command line of a helper (below), run in a process of its own."""
    return [sys.executable, os.path.join(HERE, "run.py"), "helper"] + list(args)


def helper_command(*args):
    return " ".join(shlex.quote(a) for a in helper_args(*args))


def helper(*args):
    return run(helper_args(*args))


def environment(**settings):
    env = dict(os.environ)
    env.update(settings)
    return env


def write_flow(name, flow):
    """Writes a flow file (a path relative to WORK, or absolute)."""
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        json.dump(flow, f)
    return path


def write_message(name, text):
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        f.write(text)
    return path



CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


# ------------------------------------------------------------ pool access --

def kvpool_bytes(*args, stdin=None):
    """kvpool with byte arguments and byte output: keys and values need not be UTF-8."""
    return subprocess.run([os.fsencode(tool("kvpool"))] + [a if isinstance(a, bytes) else a.encode()
                                                          for a in args],
                          input=stdin, capture_output=True, cwd=WORK, timeout=120)


def leftover_pool_with(*pairs, pages=1):
    """A pool nothing keeps alive (so kvpool changes it with a warning), holding pairs."""
    expect_equal(helper("leftover-pool", str(pages)).returncode, 0, "leftover helper")
    for key, value in pairs:
        stored = kvpool_bytes("set", key, value)
        expect_equal(stored.returncode, 0, "set %r: %r" % (key, stored.stderr))


def keys_in_pool():
    listing = json.loads(kvpool("list", "--json").stdout)
    return [r["key"] for r in listing["records"]]



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

