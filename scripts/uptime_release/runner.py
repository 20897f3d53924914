"""The one way this program runs another: the output kept in a log and its
tail shown when the tool fails, the limits of time, address space and
processes set here and nowhere else, a line every minute while a tool runs
long, and this machine's faults (no memory, no processes, no space) told
apart from the tool's own."""

import ctypes
import os
import re
import resource
import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from .errors import MachineError

GiB = 1 << 30
# What one step of a release in a sandbox may take. Time: a step takes a
# minute or two on two cores; an hour leaves room for slow machines and
# emulated ones, and UPTIME_REPORT_TIME_LIMIT (seconds) gives more. Address
# space: the largest tool, lld linking with a thread per core, maps under
# 1 GiB. Processes: ninja runs a few per core.
TIME_LIMIT_VARIABLE = "UPTIME_REPORT_TIME_LIMIT"
DEFAULT_SECONDS = 3600
ADDRESS_SPACE = 4 * GiB
PROCESSES = 1024
# No file a step writes needs more: the largest, a tree's build database or
# an artifact, is some megabytes.
FILE_SIZE = 1 * GiB
# What a rebuild needs of this machine at the least, checked before one
# starts: any less, and it would fail of the machine, not of the release.
NEEDED_ADDRESS_SPACE = 2 * GiB
NEEDED_PROCESSES = 256
NEEDED_MEMORY = 1 * GiB
# What a tool prints when this machine, not the work, failed it; a full
# disk counts only where the folder it wrote in is (nearly) full.
MACHINE_FAULT = re.compile(
    r"Cannot allocate memory|virtual memory exhausted|[Oo]ut of memory|std::bad_alloc|"
    r"MemoryError|Resource temporarily unavailable|Killed signal terminated program"
)
NO_SPACE = re.compile(r"No space left on device|Disk quota exceeded")
LITTLE_SPACE, FEW_INODES = 256 << 20, 1000
# A rebuild writes some 300 MB: one that wrote this much when the disk ran
# full filled it itself.
WRITTEN_LIMIT = 4 * GiB


@dataclass(frozen=True)
class Limits:
    seconds: int = None
    address_space: int = None
    processes: int = None
    file_size: int = None


def step_limits(running=0):
    """The limits of every step run in a sandbox, whose user has RUNNING
    processes besides (the caller's own, where the sandbox runs as the
    caller)."""
    value = os.environ.get(TIME_LIMIT_VARIABLE) or str(DEFAULT_SECONDS)
    if not value.isdigit() or int(value) == 0:
        raise MachineError(f"{TIME_LIMIT_VARIABLE} must be a whole number of seconds, not '{value}'")
    return Limits(seconds=int(value), address_space=ADDRESS_SPACE, processes=PROCESSES + running, file_size=FILE_SIZE)


class Failed(Exception):
    """A tool that ended with a status other than 0: what it was doing, the
    status, and the last lines it wrote."""

    def __init__(self, what, status, tail):
        super().__init__(f"{what} failed (status {status}):\n" + "\n".join(tail))
        self.what, self.status, self.tail = what, status, tail


def _tail(log, lines=40):
    with open(log, "rb") as f:
        f.seek(max(0, os.fstat(f.fileno()).st_size - (256 << 10)))
        return [line for line in f.read().decode(errors="replace").splitlines() if line.strip()][-lines:]


def _apply(limits):
    def set_limits():
        # The tool dies with this program, even when this program is killed
        # outright; what it started in turn, a sandbox, dies with it.
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        for kind, value in (
            (resource.RLIMIT_AS, limits.address_space),
            (resource.RLIMIT_NPROC, limits.processes),
            (resource.RLIMIT_FSIZE, limits.file_size),
        ):
            if value:
                hard = resource.getrlimit(kind)[1]
                value = value if hard == resource.RLIM_INFINITY else min(value, hard)
                resource.setrlimit(kind, (value, hard))

    return set_limits


def run(
    argv,
    what,
    log,
    *,
    stdin=b"",
    stdout=None,
    limits=Limits(),
    env=None,
    cwd=None,
    pass_fds=(),
    progress=None,
    check=True,
    writes_in=None,
):
    """Runs ARGV with its output in LOG (its standard output in the file
    STDOUT, where given; its standard input STDIN, bytes or an open
    descriptor) and returns its exit status. A status other than 0 raises
    Failed when CHECK, and MachineError when the tool's last words are this
    machine's fault (no space, where WRITES_IN, the folder it writes in, has
    little left); running past the time limit stops the tool and everything
    it started, and raises MachineError too. Every minute it runs, a line
    says so, with PROGRESS() where it is given."""
    started, kills = time.monotonic(), _oom_kills()
    with open(log, "wb") as out, open(stdout or os.devnull, "wb") as into:
        try:
            process = subprocess.Popen(
                argv,
                stdin=subprocess.PIPE if isinstance(stdin, bytes) else stdin,
                stdout=into if stdout else out,
                stderr=out,
                env=env,
                cwd=cwd,
                pass_fds=pass_fds,
                start_new_session=True,
                preexec_fn=_apply(limits),
            )
        except OSError as error:
            raise MachineError(f"cannot start {argv[0]} for {what}: {error.strerror}")
        try:
            status = _wait(
                process, stdin if isinstance(stdin, bytes) else None, started, what, limits.seconds, progress, writes_in
            )
        finally:
            if process.returncode is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
    return _judge(what, status, _tail(log), check, writes_in, kills)


def output(argv, what, *, stdin=b"", env=None, cwd=None):
    """What ARGV writes to its standard output, for a tool that runs a
    moment (git, dpkg-deb, gpg listing keys); a status other than 0 raises
    Failed with the tail of its standard error."""
    kills = _oom_kills()
    try:
        result = subprocess.run(argv, input=stdin, capture_output=True, env=env, cwd=cwd, preexec_fn=_apply(Limits()))
    except OSError as error:
        raise MachineError(f"cannot start {argv[0]} for {what}: {error.strerror}")
    _judge(what, result.returncode, result.stderr.decode(errors="replace").splitlines()[-40:], True, None, kills)
    return result.stdout


def _judge(what, status, tail, check, writes_in, kills):
    """A failed tool is this machine's fault only on evidence this program
    gathers itself, never on the tool's word alone, which the code it runs
    could write: the kernel's count of out-of-memory kills risen meanwhile,
    memory short now, or the folder it writes in full."""
    if status == 0:
        return 0
    short_of_memory = _oom_kills() > kills or (_memory_available() or NEEDED_MEMORY) < NEEDED_MEMORY
    # The tool's last words, where its cause of failure stands.
    fault = next(
        (
            line
            for line in reversed(tail[-6:])
            if MACHINE_FAULT.search(line)
            and short_of_memory
            or NO_SPACE.search(line)
            and writes_in
            and _nearly_full(writes_in)
        ),
        None,
    )
    if fault is not None:
        raise MachineError(f"{what}: this machine ran short: {fault.strip()}")
    if status in (-signal.SIGKILL, 128 + signal.SIGKILL) and _oom_kills() > kills:
        raise MachineError(f"{what}: killed by the kernel's out-of-memory killer (too little memory?)")
    if check:
        raise Failed(what, status, tail)
    return status


def _oom_kills():
    """How many processes the kernel's out-of-memory killer has killed."""
    try:
        for line in Path("/proc/vmstat").read_text().splitlines():
            if line.startswith("oom_kill "):
                return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def _wait(process, stdin, started, what, seconds, progress, writes_in):
    """Waits for PROCESS, looking every few seconds at the time it has taken
    and at the room left where it writes; a line every minute."""
    said = 0
    while True:
        try:
            # The input goes with the first call alone.
            process.communicate(stdin, timeout=5)
            return process.returncode
        except subprocess.TimeoutExpired:
            stdin = None
            elapsed = time.monotonic() - started
            if seconds is not None and elapsed >= seconds:
                raise MachineError(
                    f"{what} did not end within {seconds} s, the limit of every step (set "
                    f"{TIME_LIMIT_VARIABLE}=SECONDS to allow more); it was stopped"
                ) from None
            if writes_in and _nearly_full(writes_in):
                os.killpg(process.pid, signal.SIGKILL)
                written = _size(writes_in)
                if written > WRITTEN_LIMIT:
                    raise Failed(what, "stopped", [f"it wrote {written >> 20} MiB, and the disk was nearly full"])
                raise MachineError(f"{what}: this machine's disk is nearly full ({writes_in})")
            if elapsed // 60 > said:
                said = elapsed // 60
                print(f"    {what}: {int(said)} min so far{progress() if progress else ''}", flush=True)


def _size(folder):
    return sum(os.lstat(os.path.join(d, f)).st_blocks * 512 for d, _, files in os.walk(folder) for f in files)


def _nearly_full(folder):
    usage = os.statvfs(folder)
    return usage.f_bavail * usage.f_frsize < LITTLE_SPACE or usage.f_favail < FEW_INODES


def own_processes(uid):
    count = 0
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                count += os.stat(entry.path).st_uid == uid
            except OSError:
                pass
    return count


def check_machine(what, sandbox_uid):
    """Stops (status 2) where this machine has less than WHAT needs: the
    address space and processes that the caller's limits allow (processes
    are counted for the user the sandbox runs as), and memory free."""
    short = []
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    if hard != resource.RLIM_INFINITY and hard < NEEDED_ADDRESS_SPACE:
        short.append(
            f"the address-space limit (ulimit -v) is {hard >> 20} MiB; it needs {NEEDED_ADDRESS_SPACE >> 20} MiB"
        )
    hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
    running = own_processes(sandbox_uid)
    if hard != resource.RLIM_INFINITY and hard < running + NEEDED_PROCESSES:
        short.append(
            f"the process limit (ulimit -u) is {hard}, with {running} running; it needs {NEEDED_PROCESSES} more"
        )
    available = _memory_available()
    if available is not None and available < NEEDED_MEMORY:
        short.append(f"{available >> 20} MiB of memory is available; it needs {NEEDED_MEMORY >> 20} MiB")
    if short:
        raise MachineError(f"{what} cannot run here: " + "; ".join(short))


def _memory_available():
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) << 10
    except OSError:
        pass
    return None
