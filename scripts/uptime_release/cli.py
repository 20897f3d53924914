"""The command line: one subcommand per task, the exit statuses each task
promises, and the clean-up that any end, a signal's included, runs."""

import argparse
import os
import signal
import sys
import traceback

from .errors import FormatError, MachineError, Refused, UsageError, exit_status


class Stopped(BaseException):
    """A signal ends the program through every clean-up on the way out."""

    def __init__(self, number):
        super().__init__(f"stopped by signal {number}")
        self.status = 128 + number


def _stop(number, _frame):
    raise Stopped(number)


MAKE = """Makes a release: every artifact the project ships, built inside Debian
roots made for it (mmdebstrap) from a clean copy of one commit's sources, byte
for byte the same wherever, whenever and by whomever it is made, with what
each is made of (SPDX), how it was built (BUILDINFO) and SHA256SUMS over them.

DIR must not exist yet, or be an empty folder; it gets the files only once all
is made. The sources are this program's own git checkout (clean; a release of
its HEAD) or an unpacked source archive (RELEASE_SOURCE).

environment:
  SOURCE_DATE_EPOCH     every timestamp (default: the commit's)
  RELEASE_REVISION      the package revision (default: packaging/revision);
                        a release whose bytes differ from a published one of
                        the same version needs a new one
  SIGN_PKCS12, SIGN_PASSWORD  sign each uptime-report.exe (Authenticode)
  SIGN_GPG_KEY, SIGN_GPG_PASSPHRASE  sign SHA256SUMS and the .rpm packages
  RELEASE_URL           where the files will be published: write the winget
                        and Scoop manifests
  PROJECT_URL           the project's page, which the manifests name
  RELEASE_SOURCE        an unpacked source archive to release
  UPTIME_REPORT_ROOTS   the roots' cache (default /var/cache/uptime-report/
                        roots for root, ~/.cache/uptime-report/roots else)
  UPTIME_REPORT_FRESH_ROOTS=1  make every root anew
  UPTIME_REPORT_MIRROR, UPTIME_REPORT_SECURITY_MIRROR  Debian's archives"""

VERIFY = """Checks a downloaded release and rebuilds it, with this checkout's own
program, in the roots its BUILDINFO names, in a sandbox.

The last line says what was established; the exit status agrees with it:
  0  VERIFIED: SHA256SUMS is signed by KEY, the source archive is the commit's,
     and every artifact is rebuilt identical
  1  NOT VERIFIED: a check failed
  2  nothing was judged: a usage or set-up error, or this machine failed (no
     space, no tool, no sandbox, no archive)
  3  INCOMPLETE: nothing failed, but something was not established (no KEY,
     the commit not in this checkout, package versions the archive no longer
     has); 0 with --allow-incomplete

environment: VERIFY_CA_FILE (certificates to trust for the .exe's signature),
and the roots' variables of the make command."""

PUBLISH = """Adds a release's packages to the project's APT and DNF repositories
in TREE, and writes their metadata anew: signed, and byte for byte the same
for the same releases.

environment: SIGN_GPG_KEY, SIGN_GPG_PASSPHRASE (sign the metadata), REPO_URL
(the address TREE is served at)."""


USAGE = {
    "make": "scripts/release.sh DIR   (--help for the rest)",
    "verify": "scripts/verify-release.sh [--allow-incomplete] DIR [KEY]",
    "publish": "scripts/publish-repos.sh RELEASE_DIR TREE",
}


def _parser():
    parser = argparse.ArgumentParser(prog="uptime_release", description="The release program of uptime-report.")
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser(
        "make", help="make a release", description=MAKE, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    make.add_argument("dir", metavar="DIR")
    verify = commands.add_parser(
        "verify", help="verify a release", description=VERIFY, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    verify.add_argument(
        "--allow-incomplete",
        action="store_true",
        help="exit 0 when nothing failed though something was not established",
    )
    verify.add_argument("dir", metavar="DIR")
    verify.add_argument("key", metavar="KEY", nargs="?", help="the project's OpenPGP public key")
    publish = commands.add_parser(
        "publish",
        help="add a release to the APT and DNF repositories",
        description=PUBLISH,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    publish.add_argument("release", metavar="RELEASE_DIR")
    publish.add_argument("tree", metavar="TREE")
    step = commands.add_parser("step", help="(inside a root) one step of a release")
    step.add_argument("step", choices=("unpack", "check-keys", "build", "image", "finish", "gpg-sign"))
    step.add_argument("args", nargs="*")
    enter = commands.add_parser("sandbox-enter", help="(inside the sandbox's set-up) enter a bound root")
    enter.add_argument("argv", nargs=argparse.REMAINDER)
    root = commands.add_parser("unprivileged-root", help="(making a root) run as root of a user namespace")
    root.add_argument("first", type=int)
    root.add_argument("target")
    root.add_argument("argv", nargs=argparse.REMAINDER)
    return parser


def _operand(value, what):
    if not value or value.startswith("-"):
        raise UsageError(f"'{value}' is not a {what} (options are not taken)")
    return value


def main(argv):
    # The tasks take folders and files, and one option: anything else that
    # looks like an option is a mistake, never a name.
    allowed = {"-h", "--help"} | ({"--allow-incomplete"} if argv[:1] == ["verify"] else set())
    if argv[:1] in (["make"], ["verify"], ["publish"]):
        for arg in argv[1:]:
            if arg.startswith("-") and arg not in allowed or arg == "":
                task = {"make": "release", "verify": "verify-release", "publish": "publish-repos"}[argv[0]]
                print(
                    f"{task}: '{arg}' is not a folder name (options are not taken); usage: {USAGE[argv[0]]}",
                    file=sys.stderr,
                )
                return 2
    args = _parser().parse_args(argv)
    name = {"make": "release", "verify": "verify-release", "publish": "publish-repos"}.get(args.command, "release")
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, _stop)
    try:
        if args.command == "sandbox-enter":
            from . import sandbox

            sandbox.enter_bound_root(args.argv[1:] if args.argv[:1] == ["--"] else args.argv)
        if args.command == "unprivileged-root":
            from . import sandbox

            return sandbox.unprivileged_root(
                args.first, args.target, args.argv[1:] if args.argv[:1] == ["--"] else args.argv
            )
        if args.command == "step":
            from . import steps

            return steps.main(args.step, args.args)
        if args.command == "make":
            from . import make

            os.umask(0o022)
            make.make(_operand(args.dir, "folder name"), os.environ)
            return 0
        if args.command == "verify":
            from . import verify

            # The work folder is 711: the sandbox reads what it is given, nobody lists it.
            os.umask(0o022)
            return verify.verify(
                _operand(args.dir, "folder"), args.key and _operand(args.key, "key file"), args.allow_incomplete
            )
        from . import publish

        os.umask(0o022)
        publish.publish(_operand(args.release, "folder"), _operand(args.tree, "folder"), os.environ)
        return 0
    except Stopped as stop:
        print(f"{name}: {stop}", file=sys.stderr)
        return stop.status
    except Exception as error:
        if isinstance(error, (Refused, FormatError, UsageError)):
            print(f"{name}: {error}", file=sys.stderr)
        elif isinstance(error, (MachineError, OSError)):
            print(f"{name}: this machine cannot do it: {error}", file=sys.stderr)
        else:
            print(
                f"{name}: stopped by a fault of its own, nothing was done:\n{traceback.format_exc()}", file=sys.stderr
            )
        return exit_status(error)
