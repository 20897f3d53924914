"""The tools each command needs of this machine, each with the Debian
package that brings it: the one list, which scripts/setup.sh's release line
must cover (a test says so). Everything a release builds with runs in its
Debian roots instead."""

import shutil

from .errors import UsageError

SANDBOX = {"bwrap": "bubblewrap", "setpriv": "util-linux", "unshare": "util-linux"}
ROOTS = {"mmdebstrap": "mmdebstrap", "tar": "tar"}
NEEDED = {
    "make": {**SANDBOX, **ROOTS},
    "checkout": {"git": "git"},
    "verify": {**SANDBOX, **ROOTS, "git": "git", "sqv": "sqv", "gpg": "gpg"},
    "publish": {
        **SANDBOX,
        "apt-ftparchive": "apt-utils",
        "createrepo_c": "createrepo-c",
        "bsdtar": "libarchive-tools",
        "dpkg-deb": "dpkg",
        "repo-add": "pacman-package-manager",
        # repo-add sources makepkg's shell libraries, which Debian ships
        # apart from it, in makepkg.
        "makepkg": "makepkg",
        "rpm": "rpm",
        "xz": "xz-utils",
    },
    "sign": {"gpg": "gpg", "gpg-agent": "gpg-agent", "sqv": "sqv"},
}
# Used where installed.
WANTED = {"verify": {"diffoscope": "diffoscope-minimal"}}


def require(command):
    """Stops, naming what to install, where a tool COMMAND needs is missing."""
    missing = sorted({package for tool, package in NEEDED[command].items() if shutil.which(tool) is None})
    if missing:
        raise UsageError(
            f"this needs {', '.join(missing)}: apt-get install {' '.join(missing)}, or bash "
            "scripts/setup.sh release, which installs what every command of the release program needs"
        )
