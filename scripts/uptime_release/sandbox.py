"""Runs commands in a sandbox (bubblewrap): a root's /usr, /etc and dpkg's
database read-only, its own /proc, /dev, /tmp and /var/tmp, one writable
folder at /build, "/" and everything else read-only, no network but its own
loopback, every namespace its own, no capabilities, no further user
namespaces, within the limits of runner.py, stopped with this program.

Who it runs as shares that identity with nothing else on this machine:
- an ordinary user's sandbox runs as that user, in a user namespace;
- root's runs as a user id of its own for the run, from a range that no
  account and no process uses (sandbox_user()): where user namespaces work,
  in one, entered from a sandbox of root's that has bound every folder the
  inner one takes to a path that user can reach; where they are refused (a
  chroot, most containers), root's sandbox drops to that user inside, with an
  empty capability bounding set, no_new_privs and a seccomp filter against
  user namespaces. bubblewrap needs "/" to be a mount point there; in a
  chroot made without one, the sandbox first binds the chroot onto /dev/pts
  in a mount namespace of its own, whose mounts reach no other namespace.
What the sandbox writes belongs to that user; keys are never among it: the
steps that sign take them on their standard input."""

import ctypes
import errno
import os
import random
import stat
import struct
import sys
import tempfile
from pathlib import Path

from . import runner
from .errors import MachineError, UsageError

BOX = "/build"
NAMESPACES = ["--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts", "--unshare-cgroup-try"]
# User ids that nothing allocates: above systemd's container ranges
# (524288-1879048191), below its "foreign" range and the ids of 2^31 and up
# that some tools take for negative.
FREE_IDS = (0x70000000, 0x7FFE0000)
HOST_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
# The sizes of the sandbox's /tmp, and of /var/tmp and /dev/shm.
SCRATCH, SMALL_SCRATCH = 512 << 20, 64 << 20
_state = {}


def _ranges(path, columns):
    """(first, count) of every id or range a file of accounts allocates."""
    found = []
    try:
        lines = Path(path).read_text(errors="replace").splitlines()
    except OSError:
        return found
    for line in lines:
        fields = line.split(":")
        try:
            first, count = (int(fields[columns[0]]), int(fields[columns[1]]) if len(columns) > 1 else 1)
        except (IndexError, ValueError):
            continue
        found.append((first, count))
    return found


def _process_ids():
    ids = set()
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                for line in Path(entry.path, "status").read_text().splitlines():
                    if line.startswith(("Uid:", "Gid:")):
                        ids.update(int(v) for v in line.split()[1:])
            except OSError:
                pass
    return ids


def unused_ids(count):
    """The first of COUNT user and group ids that no account, no range of
    subordinate ids and no running process has."""
    taken = (
        _ranges("/etc/passwd", (2,))
        + _ranges("/etc/group", (2,))
        + _ranges("/etc/subuid", (1, 2))
        + _ranges("/etc/subgid", (1, 2))
        + [(i, 1) for i in _process_ids()]
    )
    for _ in range(100):
        first = (
            random.randrange(FREE_IDS[0], FREE_IDS[1] - count) & ~0xFFFF if count > 1 else random.randrange(*FREE_IDS)
        )
        if all(first + count <= start or start + length <= first for start, length in taken):
            return first
    raise MachineError(f"no {count} unused user ids from {FREE_IDS[0]} to {FREE_IDS[1]}")


def sandbox_user():
    """The user the sandbox runs as: the caller, or for root an id of the
    run's own."""
    if os.geteuid() != 0:
        return os.geteuid()
    if "uid" not in _state:
        _state["uid"] = unused_ids(1)
    return _state["uid"]


def _binds(root, work, read_only):
    """What the sandbox sees of this machine: [(source, destination,
    writable)] and [(link target, destination)]."""
    root = Path(root)
    binds, links = [(root / "usr", "/usr", False)], []
    for entry in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        path = root / entry
        if path.is_symlink():
            links.append((os.readlink(path), f"/{entry}"))
        elif path.is_dir():
            binds.append((path, f"/{entry}", False))
    binds += [(root / "etc", "/etc", False), (root / "var/lib/dpkg", "/var/lib/dpkg", False), (work, BOX, True)]
    return binds + [(outside, inside, False) for outside, inside in read_only], links


def _filesystem(binds, links, system=("--proc", "/proc", "--dev", "/dev")):
    # Folders bubblewrap makes on the way are its user's alone unless told.
    args = []
    for target, name in links:
        args += ["--symlink", target, name]
    for source, destination, writable in binds:
        for parent in reversed(Path(destination).parents[:-1]):
            args += ["--perms", "0755", "--dir", str(parent)]
        args += ["--bind" if writable else "--ro-bind", str(source), destination]
    # The scratch folders are memory: each is bounded.
    return args + [
        "--perms",
        "1777",
        "--size",
        str(SCRATCH),
        "--tmpfs",
        "/tmp",
        "--perms",
        "1777",
        "--size",
        str(SMALL_SCRATCH),
        "--tmpfs",
        "/var/tmp",
        *system,
        "--perms",
        "1777",
        "--size",
        str(SMALL_SCRATCH),
        "--tmpfs",
        "/dev/shm",
        "--remount-ro",
        "/",
    ]


def _settings(env):
    settings = [
        "--clearenv",
        "--setenv",
        "PATH",
        "/usr/bin:/bin:/usr/sbin:/sbin",
        "--setenv",
        "HOME",
        f"{BOX}/home",
        "--setenv",
        "LC_ALL",
        "C",
        "--setenv",
        "TZ",
        "UTC",
    ]
    for name, value in (env or {}).items():
        settings += ["--setenv", name, value]
    return settings + ["--chdir", BOX]


def _drop(uid):
    return [
        "setpriv",
        f"--reuid={uid}",
        f"--regid={uid}",
        "--clear-groups",
        "--inh-caps=-all",
        "--bounding-set=-all",
        "--no-new-privs",
    ]


def _in_user_namespace(binds, links, env, argv, nested=False):
    if nested:
        # Inside root's sandbox, whose /proc is partly covered (its /proc/sys
        # read-only, say), the kernel lets no new one be mounted: that one
        # serves, with its process namespace.
        namespaces, system = NAMESPACES[:1] + NAMESPACES[2:], ("--bind", "/proc", "/proc", "--dev-bind", "/dev", "/dev")
    else:
        namespaces, system = ["--unshare-all"], ("--proc", "/proc", "--dev", "/dev")
    return (
        ["bwrap"]
        + namespaces
        + ["--unshare-user", "--disable-userns", "--die-with-parent", "--new-session", "--cap-drop", "ALL"]
        + _filesystem(binds, links, system)
        + _settings(env)
        + ["--"]
        + argv
    )


def _command(mode, root, work, read_only, env, argv, seccomp_fd=None):
    binds, links = _binds(root, work, read_only)
    if mode == "user":
        return _in_user_namespace(binds, links, env, argv)
    if mode == "nested":
        # Root's sandbox, with this machine's own tools, binds what the
        # inner one takes at /sources/N, which its user can reach wherever
        # the folders lie (a TMPDIR inside /root, say).
        inner = [(f"/sources/{n}", destination, writable) for n, (_, destination, writable) in enumerate(binds)]
        outer_binds, outer_links = _binds("/", work, [])
        outer_binds = [b for b in outer_binds if b[1] != BOX] + [
            (source, f"/sources/{n}", writable) for n, (source, _, writable) in enumerate(binds)
        ]
        return (
            ["bwrap"]
            + NAMESPACES
            + ["--die-with-parent"]
            + _filesystem(outer_binds, outer_links)
            + ["--clearenv", "--setenv", "PATH", HOST_PATH, "--"]
            + _drop(sandbox_user())
            + _in_user_namespace(inner, links, env, argv, nested=True)
        )
    bwrap = (
        ["bwrap"]
        + NAMESPACES
        + ["--die-with-parent", "--new-session", "--seccomp", str(seccomp_fd)]
        + _filesystem(binds, links)
        + _settings(env)
        + ["--"]
        + _drop(sandbox_user())
        + argv
    )
    if mode == "root":
        return bwrap
    # "/" is no mount point (a plain chroot): enter a mount namespace whose
    # root is one, made by enter_bound_root() below.
    return [
        "unshare",
        "--mount",
        "--propagation",
        "unchanged",
        sys.executable,
        "-I",
        "-B",
        str(Path(__file__).resolve().parent),
        "sandbox-enter",
        "--",
    ] + bwrap


def enter_bound_root(argv):
    """In a fresh mount namespace of a chroot whose "/" is no mount point:
    /dev (a mount point in any usable chroot) stops passing mounts to the
    rest of the system, /dev/pts takes a bind of "/", and the command runs
    chrooted there, where "/" is a mount point. (/dev/pts, because nothing
    the sandbox is given lies there: the bind is of the whole tree, /dev/shm
    and every other folder included; bubblewrap makes a /dev of its own.)"""
    libc = ctypes.CDLL(None, use_errno=True)

    def mount(source, target, kind, flags):
        if libc.mount(source.encode(), target.encode(), kind.encode() if kind else None, flags, None):
            error = ctypes.get_errno()
            raise MachineError(f"mount {target}: {os.strerror(error)}")

    ms_bind, ms_rec, ms_slave = 4096, 16384, 1 << 19
    mount("none", "/dev", None, ms_rec | ms_slave)
    mount("/", "/dev/pts", None, ms_bind | ms_rec)
    os.chroot("/dev/pts")
    os.chdir("/")
    os.execvp(argv[0], argv)


def unprivileged_root_command(first, target):
    """The command that runs a command as root of a user namespace of its
    own, whose ids 0 to 65535 are FIRST and up on this machine, and unpacks
    the tarball it writes into TARGET (unprivileged_root())."""
    return [
        sys.executable,
        "-I",
        "-B",
        str(Path(__file__).resolve().parent),
        "unprivileged-root",
        str(first),
        str(target),
        "--",
    ]


def unprivileged_root(first, target, argv):
    """Runs ARGV as root of a new user namespace mapped to FIRST and up, and
    unpacks what it writes to its standard output (a tarball) into TARGET as
    this machine's root, who thereby owns the files; /dev's nodes are left
    out, since every sandbox makes its own. Returns an exit status."""
    libc = ctypes.CDLL(None, use_errno=True)
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    out_r, out_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(ready_r), os.close(go_w), os.close(out_r)
        if libc.unshare(0x10000000) != 0:  # CLONE_NEWUSER
            print(f"unprivileged-root: unshare: {os.strerror(ctypes.get_errno())}", file=sys.stderr)
            os._exit(125)
        os.write(ready_w, b"1")
        if os.read(go_r, 1) != b"1":
            os._exit(125)
        os.setgroups([])
        os.setresgid(0, 0, 0)
        os.setresuid(0, 0, 0)
        os.dup2(out_w, 1)
        os.execvp(argv[0], argv)
    os.close(ready_w), os.close(go_r), os.close(out_w)
    if os.read(ready_r, 1) == b"1":
        for name in ("uid_map", "gid_map"):
            with open(f"/proc/{pid}/{name}", "w") as f:
                f.write(f"0 {first} 65536\n")
        os.write(go_w, b"1")
    os.close(go_w)
    Path(target).mkdir(mode=0o755)
    log = Path(target).parent / "unpacking.log"
    try:
        unpacked = runner.run(
            ["tar", "-x", "--same-owner", "--numeric-owner", "--exclude=./dev/*", "-C", str(target)],
            "unpacking the root",
            log,
            stdin=out_r,
            check=False,
        )
    finally:
        os.close(out_r)
        sys.stderr.write(log.read_text(errors="replace"))
        log.unlink()
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    return status or unpacked


def no_user_namespaces_filter():
    """A seccomp filter (classic BPF) that refuses new user namespaces:
    unshare() and clone() with CLONE_NEWUSER fail with EPERM, and clone3(),
    whose flags it cannot read, with ENOSYS, on which the C library falls back
    to clone(). For x86-64 (and its 32-bit and x32 calls) and arm64."""
    load, jump_equal, jump_set, ret, and_ = 0x20, 0x15, 0x45, 0x06, 0x54
    allow, refuse, missing = 0x7FFF0000, 0x00050000 | errno.EPERM, 0x00050000 | errno.ENOSYS
    newuser = 0x10000000
    # architecture: (unshare, clone, clone3)
    calls = {0xC000003E: (272, 56, 435), 0x40000003: (310, 120, 435), 0xC00000B7: (97, 220, 435)}
    program = [(load, 0, 0, 4)]
    blocks = []
    for arch, (unshare, clone, clone3) in calls.items():
        blocks.append(
            (
                arch,
                [
                    (load, 0, 0, 0),
                    (and_, 0, 0, 0xBFFFFFFF),
                    (jump_equal, 3, 0, unshare),
                    (jump_equal, 2, 0, clone),
                    (jump_equal, 5, 0, clone3),
                    (ret, 0, 0, allow),
                    (load, 0, 0, 16),
                    (jump_set, 0, 1, newuser),
                    (ret, 0, 0, refuse),
                    (ret, 0, 0, allow),
                    (ret, 0, 0, missing),
                ],
            )
        )
    # The dispatch: one comparison per architecture, each jumping over the
    # comparisons left and the blocks before its own.
    offset = sum(len(code) for _, code in blocks)
    dispatch = []
    for index, (arch, _) in enumerate(blocks):
        before = sum(len(code) for _, code in blocks[:index])
        dispatch.append((jump_equal, len(blocks) - index - 1 + 1 + before, 0, arch))
    program += dispatch + [(ret, 0, 0, allow)]
    for _, code in blocks:
        program += code
    assert len(program) == 1 + len(blocks) + 1 + offset
    return b"".join(struct.pack("=HBBI", *instruction) for instruction in program)


def _seccomp_fd():
    fd = os.memfd_create("no-user-namespaces", 0)
    os.write(fd, no_user_namespaces_filter())
    os.lseek(fd, 0, os.SEEK_SET)
    return fd


def _root_is_mount_point():
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
        return any(line.split()[4] == "/" for line in f if len(line.split()) > 4)


def _why(reasons):
    """What the tool said, and what it means."""
    said = "; ".join(reasons)
    if "Resource temporarily unavailable" in said:
        return f"bubblewrap cannot start a process (the process limit, ulimit -u?): {said}"
    if any(word in said for word in ("namespace", "uid map", "Operation not permitted")):
        why = (
            "this system refuses new user namespaces (a chroot or a container does, even to root; "
            "otherwise the kernel's settings, user.max_user_namespaces or kernel.unprivileged_userns_clone)"
        )
        if os.geteuid() != 0:
            why += "; as root, the sandbox can do without one"
        return f"{why}. bubblewrap said: {said}"
    return f"bubblewrap said: {said}"


def mode(parent=None):
    """How a sandbox starts here, tried once: "user" (an ordinary user, in a
    user namespace), "nested" (root, in a user namespace), "root" (root,
    without one) or "bound-root" (the same, in a chroot whose "/" is no mount
    point)."""
    if "mode" in _state:
        return _state["mode"]
    reasons = []
    candidates = ["user"]
    if os.geteuid() == 0:
        candidates = ["nested", "root" if _root_is_mount_point() else "bound-root"]
    with tempfile.TemporaryDirectory(prefix="sandbox-probe.", dir=parent) as probe:
        os.chmod(probe, 0o777)
        log = Path(probe) / "probe.log"
        for candidate in candidates:
            fd = _seccomp_fd()
            try:
                status = runner.run(
                    _command(candidate, "/", probe, [], {}, ["true"], fd),
                    "starting a sandbox",
                    log,
                    limits=runner.Limits(seconds=60),
                    pass_fds=(fd,),
                    check=False,
                )
            except MachineError as error:
                status, reason = 1, str(error)
            else:
                reason = log.read_text(errors="replace").strip()
            finally:
                os.close(fd)
            if status == 0:
                _state["mode"] = candidate
                return candidate
            reasons.append(f"{candidate}: {reason}")
    raise MachineError(f"no sandbox can start here: {_why(reasons)}")


def work_folder(prefix, outside):
    """A work folder in TMPDIR as the caller set it (Python's own choice
    would fall back to /tmp unasked), 711: the sandbox reads what it is
    given there, nobody lists it. Never inside one of OUTSIDE ({folder:
    what it is}), where it would be taken for a file of it."""
    tmp = Path(os.path.abspath(os.environ.get("TMPDIR") or "/tmp"))
    for folder, what in outside.items():
        if tmp.resolve() == folder or folder in tmp.resolve().parents:
            raise UsageError(
                f"TMPDIR ({tmp}) is inside {what}, where the work folder would be taken for "
                "a file of it; set TMPDIR elsewhere"
            )
    try:
        work = Path(tempfile.mkdtemp(prefix=prefix, dir=tmp))
    except OSError as error:
        raise MachineError(f"cannot make a temporary folder (TMPDIR={tmp}): {error}")
    os.chmod(work, 0o711)
    return work


def hand_over(path):
    """Makes PATH the sandbox user's, where that is not the caller."""
    if os.geteuid() == 0:
        uid = sandbox_user()
        for folder, folders, files in os.walk(path):
            for name in [folder] + [os.path.join(folder, n) for n in folders + files]:
                os.lchown(name, uid, uid)


def take_back(path):
    """PATH, handed over to the sandbox's user, made this program's again once
    every sandbox that used it has stopped. What the sandbox left in it is
    still opened only through open_made()."""
    if os.geteuid() == 0:
        os.chown(path, 0, 0)
        os.chmod(path, 0o700)


def remove(path):
    """Removes PATH, a tree a sandbox may have written, whatever it holds:
    Python's rmtree recurses once per level, and a build can nest folders
    past its limit (a RecursionError, and the tree left behind). rm follows
    no link and has no such limit."""
    try:
        runner.output(["rm", "-rf", "--one-file-system", "--", str(path)], f"removing {path}")
    except (runner.Failed, MachineError):
        pass  # what rm could not remove stays, as rmtree's ignore_errors left it


class Planted(Exception):
    """Something other than a plain file or folder where the sandbox was to
    leave one: missing, a link, a fifo."""


def open_made(name, folder=None, directory=False):
    """A descriptor of NAME (in the open folder FOLDER, if given), which the
    sandbox made: opened only if it is a plain file (a folder, if DIRECTORY),
    reached without a link. The sandbox's user can plant a link to any file of
    this machine, which root would otherwise read, move, chown or chmod."""
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | (os.O_DIRECTORY if directory else 0)
    try:
        fd = os.open(name, flags, dir_fd=folder)
    except OSError as error:
        if error.errno in (errno.ENOENT, errno.ELOOP, errno.ENOTDIR):
            raise Planted(f"{name} is missing or a link") from None
        raise
    if not (stat.S_ISDIR if directory else stat.S_ISREG)(os.fstat(fd).st_mode):
        os.close(fd)
        raise Planted(f"{name} is not a plain {'folder' if directory else 'file'}")
    return fd


def run(argv, work, log, what, root="/", read_only=(), env=None, stdin=b"", limits=None, check=False):
    """Runs ARGV in the sandbox with WORK at /build, its output in LOG, within
    LIMITS (every step's by default): runner.run()."""
    uid = sandbox_user()
    limits = limits or runner.step_limits(runner.own_processes(uid) if uid == os.geteuid() else 0)
    fd = _seccomp_fd()
    try:
        return runner.run(
            _command(mode(), root, work, read_only, env, argv, fd),
            what,
            log,
            stdin=stdin,
            limits=limits,
            pass_fds=(fd,),
            check=check,
            writes_in=work,
        )
    finally:
        os.close(fd)
