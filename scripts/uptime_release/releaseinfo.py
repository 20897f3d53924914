"""RELEASE-INFO, the source archive's record of what it is a release of: the
commit, its time, the package revision and the addresses the manifests name.
A rebuild takes all of them from here."""

from dataclasses import dataclass

from . import deb822
from .errors import FormatError

COMMIT = r"[0-9a-f]{40}|[0-9a-f]{64}"
# Times every artifact format holds faithfully: zip's dates begin on
# 1980-01-01, and the .exe's signing time is an X.509 UTCTime, which ends
# with 2049.
EPOCH_FIRST, EPOCH_LAST = 315532800, 2524607999
EPOCH = r"[1-9][0-9]{0,9}"
REVISION = r"[1-9][0-9]{0,3}"
URL = r"https?://[A-Za-z0-9._~:/?#@!$&()*+,;=%-]+"


@dataclass(frozen=True)
class ReleaseInfo:
    commit: str
    epoch: int
    revision: int
    release_url: str = ""
    project_url: str = ""


def epoch_in_range(epoch):
    return EPOCH_FIRST <= epoch <= EPOCH_LAST


def read(data, path):
    [fields] = _one_paragraph(data, path)
    deb822.check_fields(
        fields, path, ("Commit", "Source-Date-Epoch", "Package-Revision"), ("Release-Url", "Project-Url")
    )
    epoch = int(deb822.value(fields, "Source-Date-Epoch", path, EPOCH))
    if not epoch_in_range(epoch):
        raise FormatError(
            path, fields["Source-Date-Epoch"].line, f"Source-Date-Epoch {epoch} is outside {EPOCH_FIRST}..{EPOCH_LAST}"
        )
    info = ReleaseInfo(
        commit=deb822.value(fields, "Commit", path, COMMIT),
        epoch=epoch,
        revision=int(deb822.value(fields, "Package-Revision", path, REVISION)),
        release_url=deb822.value(fields, "Release-Url", path, URL) if "Release-Url" in fields else "",
        project_url=deb822.value(fields, "Project-Url", path, URL) if "Project-Url" in fields else "",
    )
    deb822.canonical(write(info), data, path, "RELEASE-INFO")
    return info


def _one_paragraph(data, path):
    paragraphs = deb822.read(data, path, limit=4096)
    if len(paragraphs) != 1:
        raise FormatError(path, 0, f"holds {len(paragraphs)} paragraphs, not one")
    return paragraphs


def write(info):
    fields = [("Commit", info.commit), ("Source-Date-Epoch", str(info.epoch)), ("Package-Revision", str(info.revision))]
    if info.release_url:
        fields.append(("Release-Url", info.release_url))
    if info.project_url:
        fields.append(("Project-Url", info.project_url))
    return deb822.write([fields])
