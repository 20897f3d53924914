"""OpenPGP signatures as the verifier checks them, with Debian's own tools,
each in a sandbox: sqv (which apt uses) judges each signature, with KEY as
the caller gave it, armoured or binary, revocations and all; gpg, which
only lists KEY, names its keys and says which have expired, which sqv does
not judge: a release is signed at a time its signer chooses, so a
signature dated while an expired key still held proves nothing."""

import re
from dataclasses import dataclass, field

from . import sandbox
from .errors import FormatError, Refused

KEY_LIMIT = 1 << 20


@dataclass(frozen=True)
class Key:
    """What KEY holds: {fingerprint: (user id, expired)}, primary keys and
    subkeys alike, each subkey under its own fingerprint."""

    keys: dict


def read_key(work, name):
    """KEY, a file in WORK (the sandbox's /build), as gpg lists it; a file
    that holds no OpenPGP key is refused."""
    log = work / "gpg-show-keys.log"
    status = sandbox.run(
        [
            "gpg",
            "--homedir",
            "/tmp",
            "--no-permission-warning",
            "--batch",
            "--with-colons",
            "--show-keys",
            f"{sandbox.BOX}/{name}",
        ],
        work,
        log,
        "listing KEY",
    )
    keys, certificate = {}, []
    for line in log.read_text(errors="replace").splitlines() + ["pub:"]:
        fields = line.split(":")
        if fields[0] == "pub":
            # A certificate ends: each of its keys is named by its first user id.
            user = next((uid for kind, uid in certificate if kind == "uid"), None)
            keys.update({key[0]: (user or key[0], key[1]) for kind, key in certificate if kind == "fpr"})
            certificate = []
        if fields[0] in ("pub", "sub"):
            expired = fields[1] == "e"
        elif fields[0] == "fpr" and len(fields) > 9:
            certificate.append(("fpr", (fields[9], expired)))
        elif fields[0] == "uid" and len(fields) > 9:
            certificate.append(("uid", fields[9]))
    if status != 0 or not keys:
        raise FormatError(name, 0, "holds no OpenPGP key gpg can read")
    return Key(keys)


@dataclass
class Verdict:
    """What sqv established: GOOD is who made a good signature with a key of
    KEY (None if nobody did); the rest is why not, or what else is there."""

    good: str = None
    problems: list = field(default_factory=list)
    others: list = field(default_factory=list)


def verify(work, key, key_name, signature, data, label):
    """sqv's verdict on SIGNATURE over DATA (files in WORK, which the sandbox
    sees as /build), given KEY (read_key()) in the file KEY_NAME there."""
    log = work / "sqv.log"
    status = sandbox.run(
        [
            "sqv",
            "--verbose",
            "--keyring",
            f"{sandbox.BOX}/{key_name}",
            f"{sandbox.BOX}/{signature}",
            f"{sandbox.BOX}/{data}",
        ],
        work,
        log,
        f"sqv on {label}",
    )
    lines = log.read_text(errors="replace").splitlines()
    verdict = Verdict()
    good = [line for line in lines if re.fullmatch(r"[0-9A-F]{40}|[0-9A-F]{64}", line)]
    verdict.others = [
        f"a signature by key {m}, which KEY does not hold"
        for line in lines
        for m in re.findall(r"Missing key ([0-9A-F]+)", line)
    ]
    if status == 0 and good:
        user, expired = key.keys.get(good[0], (good[0], False))
        if expired:
            verdict.problems.append(f"{label} is signed by a key of KEY that is expired ({user})")
        else:
            verdict.good = user
        return verdict
    reasons = [line.strip() for line in lines if "revoked" in line or "manipulated" in line or "Invalid" in line]
    if any("revoked" in reason for reason in reasons):
        verdict.problems.append(f"{label} is signed by a key of KEY that is revoked")
    elif verdict.others and not any("manipulated" in reason for reason in reasons):
        verdict.problems.append(f"{label} is not signed by KEY: it holds only {'; '.join(verdict.others)}")
    else:
        verdict.problems.append(
            f"{label} has a BAD signature, or is no detached signature over it: "
            + ("; ".join(reasons) or "; ".join(lines[-3:]))
        )
    return verdict


def refuse_younger_key(created, epoch, what, older_than):
    """A key made after EPOCH (the time every signature of a release or a
    tree carries) cannot sign: gpg will not date a signature before its key
    existed."""
    if created > epoch:
        raise Refused(
            f"the OpenPGP key was made at {created}, after {what} ({epoch}): signatures are dated "
            f"{epoch}, and gpg will not sign before a key existed; use a key older than {older_than}"
        )
