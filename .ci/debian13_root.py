"""Runs the README's two lines on a fresh minimal Debian 13, as a new user
would: makes the root with debootstrap from this machine's own Debian mirror,
clones the project's commit into it, installs git as the README has a new
user do, and runs the build line, then the test line, as root inside. Then a release that this machine (Debian 12) made and
signed is verified there, where no user namespace can be made: it must be
VERIFIED. The release roots' cache is this machine's, bound in. Every mount is undone and every process inside ended,
whatever happens (a failure, SIGINT, SIGTERM), and the root is removed. Each
line's time and what apt installed for it are printed.
Usage: debian13_root.py [PARENT]   (PARENT: where the root is made, /var/tmp)
Exit status: 0 both lines passed; 1 a line failed; 2 the root could not be
made (no mirror, debootstrap failed, a mount): nothing was judged.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROJECT = Path(__file__).resolve().parent.parent
RELEASE = "trixie"
BUILD_LINE = (
    "bash scripts/setup.sh build && cmake --preset native && "
    "cmake --build --preset native && build/native/uptime-report"
)
TEST_LINE = "bash scripts/setup.sh test && bash scripts/test-all.sh"
# What the README has a new user do first, on a system without git; the
# clone itself is this machine's (below), but the figures of the lines after
# it are then those that user sees.
GIT_LINE = "apt-get update && apt-get install -y git"
VERIFY_LINE = "bash scripts/verify-release.sh /root/release /root/release-key.pub"
# Where releases keep their roots (as root); the root's releases share it.
ROOTS_CACHE = Path("/var/cache/uptime-report")
# As a login shell of a new system has it: none of this machine's variables.
ENVIRONMENT = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "LANG": "C.UTF-8",
    "TERM": "dumb",
    "CI": "true",
}


class MachineError(Exception):
    """This machine could not make or enter the root."""


def this_release_mirror():
    """The first apt source of this machine that serves its own release's
    main suite: Debian's mirror, as opposed to security or other vendors."""
    codename = re.search(r"^VERSION_CODENAME=(\S+)", Path("/etc/os-release").read_text(), re.M).group(1)
    sources = Path("/etc/apt/sources.list.d")
    for path in sorted(sources.glob("*.sources")) + [Path("/etc/apt/sources.list")] + sorted(sources.glob("*.list")):
        if not path.is_file():
            continue
        text = path.read_text(errors="replace")
        if path.suffix == ".sources":
            for stanza in re.split(r"\n\s*\n", text):
                uris = re.search(r"^URIs:\s*(\S+)", stanza, re.M | re.I)
                suites = re.search(r"^Suites:(.*)$", stanza, re.M | re.I)
                if uris and suites and codename in suites.group(1).split():
                    return uris.group(1)
        for uri, suite in re.findall(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)", text, re.M):
            if suite == codename:
                return uri
    raise MachineError(f"no apt source of this machine serves {codename}")


def mounts_below(root):
    """Mount points at or below ROOT, deepest first."""
    points = [line.split()[4].replace("\\040", " ") for line in Path("/proc/self/mountinfo").read_text().splitlines()]
    return sorted((p for p in points if p == str(root) or p.startswith(f"{root}/")), key=len, reverse=True)


def end_processes(root):
    """Kills every process whose root is ROOT or below it (a wine server
    the tests left, say), until none is left."""
    for _ in range(50):
        found = []
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and (
                    (target := os.readlink(entry / "root")) == str(root) or target.startswith(f"{root}/")
                ):
                    found.append(int(entry.name))
            except OSError:
                continue
        if not found:
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.2)
    print(f"debian13-root: processes in {root} outlived SIGKILL", file=sys.stderr)


def clean_up(root):
    end_processes(root)
    for point in mounts_below(root):
        if subprocess.run(["umount", point]).returncode != 0:
            subprocess.run(["umount", "--lazy", point])
    left = mounts_below(root)
    if left:
        # Removing files through a mount would reach this machine's /dev.
        print(f"debian13-root: still mounted, so {root} is kept: {' '.join(left)}", file=sys.stderr)
        return
    subprocess.run(["rm", "-rf", "--one-file-system", str(root)])


def run(command, **options):
    if subprocess.run(command, **options).returncode != 0:
        raise MachineError(f"{' '.join(command)} failed")


def host_release(work):
    """A release of this checkout's commit made here, signed with a
    throwaway key made a day before the commit (a release signs at the
    commit's time, and gpg will not sign before a key existed)."""
    gnupg = work / "gnupg"
    gnupg.mkdir(mode=0o700)
    commit_time = int(
        subprocess.run(
            ["git", "-C", str(PROJECT), "log", "-1", "--format=%ct"], capture_output=True, text=True, check=True
        ).stdout
    )
    gpg = ["gpg", "--homedir", str(gnupg), "--batch", "--pinentry-mode", "loopback", "--passphrase", ""]
    run(
        gpg
        + [
            "--faked-system-time",
            f"{commit_time - 86400}!",
            "--quick-gen-key",
            "CI release key <ci@example.invalid>",
            "ed25519",
            "sign",
            "never",
        ]
    )
    with open(work / "release-key.sec", "wb") as secret, open(work / "release-key.pub", "wb") as public:
        run(gpg + ["--armor", "--export-secret-keys"], stdout=secret)
        run(gpg + ["--armor", "--export"], stdout=public)
    run(["gpgconf", "--homedir", str(gnupg), "--kill", "all"])
    started = time.monotonic()
    run(
        ["bash", str(PROJECT / "scripts/release.sh"), str(work / "release")],
        env=dict(ENVIRONMENT, SIGN_GPG_KEY=str(work / "release-key.sec")),
    )
    print(f"debian13-root: released here in {round(time.monotonic() - started)}s", flush=True)


def make_root(root):
    mirror = this_release_mirror()
    print(f"debian13-root: debootstrap --variant=minbase {RELEASE} {root} {mirror}", flush=True)
    # mkdtemp's 700 would keep apt's and the tests' unprivileged users out.
    root.chmod(0o755)
    run(["debootstrap", "--variant=minbase", RELEASE, str(root), mirror])
    # A clone of the commit, as the README's user makes one: the release
    # test releases it from its git history. (The root has no git until the
    # test set-up installs it; this machine's clones it.)
    run(["git", "clone", "--quiet", "--no-local", str(PROJECT), str(root / "root" / "uptime-report")])
    run(["cp", "/etc/resolv.conf", str(root / "etc/resolv.conf")])
    # Private to the root (rslave): nothing mounted or unmounted inside
    # reaches this machine's own /dev or /sys.
    run(["mount", "-t", "proc", "proc", str(root / "proc")])
    for tree in ("sys", "dev"):
        run(["mount", "--rbind", f"/{tree}", str(root / tree)])
        run(["mount", "--make-rslave", str(root / tree)])
    ROOTS_CACHE.mkdir(parents=True, exist_ok=True)
    (root / ROOTS_CACHE.relative_to("/")).mkdir(parents=True, exist_ok=True)
    run(["mount", "--bind", str(ROOTS_CACHE), str(root / ROOTS_CACHE.relative_to("/"))])


def disk_use(folder):
    """FOLDER's size as du gives it, on its own file system only (the root's
    /proc, /sys and /dev are not counted)."""
    du = subprocess.run(["du", "-sx", "--block-size=1M", str(folder)], capture_output=True, text=True)
    return f"{du.stdout.split()[0]} MB" if du.returncode == 0 else "an unknown size"


def run_line(root, name, line):
    """Runs LINE in the project's folder inside ROOT, passing its output on;
    prints its time, and the packages and download that apt reported."""
    started = time.monotonic()
    process = subprocess.Popen(
        ["chroot", str(root), "/bin/bash", "-c", f"cd /root/uptime-report && {line}"],
        env=ENVIRONMENT,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
    )
    installed, downloads = 0, []
    for output in process.stdout:
        print(output, end="", flush=True)
        if match := re.search(r"(\d+) newly installed", output):
            installed += int(match.group(1))
        if match := re.search(r"^Need to get (\S+ \S+)", output):
            downloads.append(match.group(1))
    status = process.wait()
    minutes, seconds = divmod(round(time.monotonic() - started), 60)
    print(
        f"debian13-root: the {name} line {'passed' if status == 0 else 'FAILED'} in "
        f"{minutes}m{seconds:02d}s; it installed {installed} packages "
        f"(apt's downloads: {' + '.join(downloads) or 'none'}); the root now takes "
        f"{disk_use(root)}, the roots' cache bound into it {disk_use(ROOTS_CACHE)}",
        flush=True,
    )
    return status == 0


def stop(signum, _frame):
    raise SystemExit(f"debian13-root: stopped by signal {signum}")


def main():
    if len(sys.argv) > 2 or sys.argv[1:2] and sys.argv[1].startswith("-"):
        sys.exit(__doc__.strip().splitlines()[6])
    parent = sys.argv[1] if len(sys.argv) == 2 else "/var/tmp"
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    root = work = None
    try:
        work = Path(tempfile.mkdtemp(prefix="debian12-release.", dir=parent))
        host_release(work)
        root = Path(tempfile.mkdtemp(prefix="debian13-root.", dir=parent))
        make_root(root)
        for name in ("release", "release-key.pub"):
            run(["cp", "-a", str(work / name), str(root / "root" / name)])
        passed = (
            run_line(root, "git", GIT_LINE)
            and run_line(root, "build", BUILD_LINE)
            and run_line(root, "test", TEST_LINE)
            and run_line(root, "verify", VERIFY_LINE)
        )
    except (MachineError, OSError, subprocess.CalledProcessError) as error:
        print(f"debian13-root: {error}", file=sys.stderr)
        sys.exit(2)
    finally:
        # A second signal must not cut the clean-up short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if root:
            clean_up(root)
        if work:
            subprocess.run(["rm", "-rf", str(work)])
    sys.exit(0 if passed else 1)


if __name__ == "__main__":
    main()
