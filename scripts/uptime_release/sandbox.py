"""Runs commands in a sandbox (bubblewrap): a root's /usr, /etc and dpkg's
database read-only, its own /proc, /dev, /tmp and /var/tmp, one writable
folder at /build, no network but its own loopback, every namespace its own,
as an unprivileged user (nobody, when the caller is root) with no
capabilities, stopped with this program.

Where user namespaces are refused (a chroot, most containers), root can
still have every other namespace: bubblewrap then runs without a user
namespace and drops to nobody inside, with an empty capability bounding set
and no_new_privs. bubblewrap needs "/" to be a mount point there; in a chroot
made without one, the sandbox first binds the chroot onto /dev/pts in a
mount namespace of its own, whose mounts reach no other namespace."""
import ctypes
import errno
import os
import resource
import signal
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

from .errors import MachineError, UsageError

BOX = "/build"
NOBODY = 65534
DROP_TO_NOBODY = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                  "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"]
NAMESPACES = ["--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts", "--unshare-cgroup-try"]
_modes = {}


def _filesystem(root, work, read_only):
    root = Path(root)
    args = ["--ro-bind", str(root / "usr"), "/usr"]
    for entry in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        path = root / entry
        if path.is_symlink():
            args += ["--symlink", os.readlink(path), f"/{entry}"]
        elif path.is_dir():
            args += ["--ro-bind", str(path), f"/{entry}"]
    # Folders bubblewrap makes on the way are its user's alone unless told.
    args += ["--ro-bind", str(root / "etc"), "/etc", "--perms", "0755", "--dir", "/var", "--perms", "0755",
             "--dir", "/var/lib", "--ro-bind", str(root / "var/lib/dpkg"), "/var/lib/dpkg",
             "--perms", "1777", "--tmpfs", "/var/tmp", "--proc", "/proc", "--dev", "/dev",
             "--perms", "1777", "--tmpfs", "/tmp", "--bind", str(work), BOX]
    for outside, inside in read_only:
        parents = Path(inside).parents
        for parent in reversed(parents[:-1]):
            args += ["--perms", "0755", "--dir", str(parent)]
        args += ["--ro-bind", str(outside), inside]
    return args + ["--chdir", BOX]


def _command(mode, root, work, read_only, env, argv):
    settings = ["--clearenv", "--setenv", "PATH", "/usr/bin:/bin:/usr/sbin:/sbin",
                "--setenv", "HOME", f"{BOX}/home", "--setenv", "LC_ALL", "C", "--setenv", "TZ", "UTC"]
    for name, value in (env or {}).items():
        settings += ["--setenv", name, value]
    common = ["--die-with-parent", "--new-session"] + _filesystem(root, work, read_only) + settings
    if mode == "user":
        outer = DROP_TO_NOBODY[:5] if os.geteuid() == 0 else []
        return outer + ["bwrap", "--unshare-all", "--cap-drop", "ALL"] + common + ["--"] + argv
    bwrap = ["bwrap"] + NAMESPACES + common + ["--"] + DROP_TO_NOBODY + argv
    if mode == "root":
        return bwrap
    # "/" is no mount point (a plain chroot): enter a mount namespace whose
    # root is one, made by enter_bound_root() below.
    return ["unshare", "--mount", "--propagation", "unchanged", sys.executable, "-I", "-B",
            str(Path(__file__).resolve().parent), "sandbox-enter", "--"] + bwrap


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


def _root_is_mount_point():
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
        return any(line.split()[4] == "/" for line in f if len(line.split()) > 4)


def mode(parent=None):
    """How a sandbox starts here, tried once: "user" (a user namespace),
    "root" (root without one) or "bound-root" (the same, in a chroot whose
    "/" is no mount point)."""
    if "mode" in _modes:
        return _modes["mode"]
    reasons = []
    # Root binds every folder itself, wherever it is, before it drops to
    # nobody; a user namespace is the way for everybody else.
    candidates = ["user"]
    if os.geteuid() == 0:
        candidates.insert(0, "root" if _root_is_mount_point() else "bound-root")
    with tempfile.TemporaryDirectory(prefix="sandbox-probe.", dir=parent) as probe:
        os.chmod(probe, 0o777)
        for candidate in candidates:
            result = subprocess.run(_command(candidate, "/", probe, [], {}, ["true"]),
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if result.returncode == 0:
                _modes["mode"] = candidate
                return candidate
            reasons.append(f"{candidate}: {(result.stderr or result.stdout).strip()}")
    why = ("this system refuses new user namespaces (a chroot or a container does, even to root; "
           "otherwise the kernel's settings, user.max_user_namespaces or "
           "kernel.unprivileged_userns_clone)")
    if os.geteuid() != 0:
        why += "; as root, the sandbox can do without one"
    raise MachineError(f"no sandbox can start here: {why}. bubblewrap said: " + "; ".join(reasons))


def work_folder(prefix, outside):
    """A work folder in TMPDIR as the caller set it (Python's own choice
    would fall back to /tmp unasked), 711: the sandbox reads what it is
    given there, nobody lists it. Never inside one of OUTSIDE ({folder:
    what it is}), where it would be taken for a file of it."""
    tmp = Path(os.path.abspath(os.environ.get("TMPDIR") or "/tmp"))
    for folder, what in outside.items():
        if tmp.resolve() == folder or folder in tmp.resolve().parents:
            raise UsageError(f"TMPDIR ({tmp}) is inside {what}, where the work folder would be taken for "
                             "a file of it; set TMPDIR elsewhere")
    try:
        work = Path(tempfile.mkdtemp(prefix=prefix, dir=tmp))
    except OSError as error:
        raise MachineError(f"cannot make a temporary folder (TMPDIR={tmp}): {error}")
    os.chmod(work, 0o711)
    return work


def hand_over(path):
    """Makes PATH the sandbox user's, where that is nobody."""
    if os.geteuid() == 0:
        for folder, folders, files in os.walk(path):
            for name in [folder] + [os.path.join(folder, n) for n in folders + files]:
                os.lchown(name, NOBODY, NOBODY)


def take_back(path):
    """PATH, handed over to the sandbox's user, made this program's again once
    every sandbox that used it has stopped: nothing else running as nobody can
    change it while it is read. What the sandbox left in it is still opened
    only through open_made()."""
    if os.geteuid() == 0:
        os.chown(path, 0, 0)
        os.chmod(path, 0o700)


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


def run(argv, work, log, root="/", read_only=(), env=None, timeout=None, memory=None, file_size=None):
    """Runs ARGV in the sandbox with WORK at /build, its output in LOG, and
    returns its exit status (None when it ran out of TIMEOUT seconds)."""
    command = _command(mode(), root, work, read_only, env, argv)

    def limits():
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        if file_size:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
    with open(log, "wb") as out:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True, preexec_fn=limits)
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            if process.returncode is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
