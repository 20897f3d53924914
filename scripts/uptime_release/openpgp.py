"""OpenPGP keys and signatures as the verifier reads them: a key file
(armoured or binary) made into a keyring for gpgv by this program's own
bounded reader, and gpgv's verdict read from its status lines. No gpg, no
agent, no socket: nothing is left behind."""
import base64
import hashlib
import re
from dataclasses import dataclass, field

from . import sandbox
from .errors import FormatError, MachineError

KEY_LIMIT = 1 << 20
PUBLIC_KEY, SECRET_KEY, SIGNATURE = 6, 5, 2


def _dearmor(text, name, expected="PUBLIC KEY BLOCK", what="a public key"):
    # Every armour header counts, an unended one too: a cleartext signed
    # message holds a signature block of its own.
    for kind in re.findall(r"-----BEGIN PGP ([A-Z ]+)-----", text):
        if kind != expected:
            raise FormatError(name, 0, f"holds a {kind.lower()}, not {what}")
    blocks = re.findall(r"-----BEGIN PGP ([A-Z ]+)-----\r?\n(.*?)-----END PGP \1-----", text, re.S)
    if not blocks:
        raise FormatError(name, 0, "holds no armoured OpenPGP block")
    data = b""
    for kind, body in blocks:
        # Armour headers end at the first empty line (blank, with a CR where
        # the file was saved on Windows); a CRC line follows the data.
        lines = [line.strip() for line in body.splitlines()]
        if lines and re.match(r"[A-Za-z-]+: ", lines[0]):
            lines = lines[lines.index(""):] if "" in lines else []
        lines = [line for line in lines if not line.startswith("=")]
        try:
            data += base64.b64decode("".join(lines), validate=True)
        except ValueError as error:
            raise FormatError(name, 0, f"armour that is not base64: {error}")
    return data


def packets(data, name):
    """The OpenPGP packets in DATA as (tag, whole packet, body), checking
    their framing."""
    found, at = [], 0
    while at < len(data):
        start, header = at, data[at]
        if not header & 0x80:
            raise FormatError(name, 0, f"not OpenPGP data at byte {at}")
        if header & 0x40:
            tag, first, at = header & 0x3f, data[at + 1] if at + 1 < len(data) else 256, at + 2
            if first < 192:
                length = first
            elif first < 224:
                length, at = ((first - 192) << 8) + data[at] + 192 if at < len(data) else -1, at + 1
            elif first == 255:
                length, at = int.from_bytes(data[at:at + 4], "big"), at + 4
            else:
                raise FormatError(name, 0, "a partial-length packet, which a key never holds")
        else:
            tag, kind = (header >> 2) & 0x0f, header & 3
            if kind == 3:
                raise FormatError(name, 0, "a packet of indefinite length")
            size = 1 << kind
            length, at = int.from_bytes(data[at + 1:at + 1 + size], "big"), at + 1 + size
        if length < 0 or at + length > len(data):
            raise FormatError(name, 0, "a packet that runs past the end of the file")
        found.append((tag, data[start:at + length], data[at:at + length]))
        at += length
    return found


def _fingerprint(body):
    """A version 4 key's fingerprint."""
    return hashlib.sha1(b"\x99" + len(body).to_bytes(2, "big") + body).digest()


def _issuer(body):
    """The issuer fingerprint a version 4 signature names in its hashed
    subpackets, if it names one."""
    if len(body) < 6 or body[0] != 4:
        return None
    end, at = 6 + int.from_bytes(body[4:6], "big"), 6
    while at < min(end, len(body)):
        first = body[at]
        if first < 192:
            length, at = first, at + 1
        elif first < 255:
            length, at = ((first - 192) << 8) + body[at + 1] + 192, at + 2
        else:
            length, at = int.from_bytes(body[at + 1:at + 5], "big"), at + 5
        if length and body[at] & 0x7f == 33:
            return body[at + 2:at + length]
        at += length
    return None


def _with_revocations_in_place(found):
    """A key revocation given on its own (a revocation certificate added to
    the key file) moved to right after its primary key, where gpgv looks."""
    keys = [i for i, (tag, _, _) in enumerate(found) if tag == PUBLIC_KEY]
    loose = [i for i, (tag, _, body) in enumerate(found)
             if tag == SIGNATURE and len(body) > 1 and body[0] == 4 and body[1] == 0x20 and i - 1 not in keys]
    if not loose:
        return found
    placed = {i: [] for i in keys}
    for i in loose:
        issuer = _issuer(found[i][2])
        owner = next((k for k in keys if _fingerprint(found[k][2]) == issuer), keys[0] if len(keys) == 1 else None)
        if owner is not None:
            placed[owner].append(found[i])
    kept = []
    for i, packet in enumerate(found):
        if i not in loose:
            kept.append(packet)
        kept += placed.get(i, [])
    return kept


def keyring(key_path, work):
    """Writes KEY (armoured or binary) as a binary keyring into WORK and
    returns its name there. A key that is not a public OpenPGP key is refused."""
    name = str(key_path)
    with open(key_path, "rb") as f:
        data = f.read(KEY_LIMIT + 1)
    if len(data) > KEY_LIMIT:
        raise FormatError(name, 0, "is larger than any public key")
    if data[:1] and not data[0] & 0x80:
        data = _dearmor(data.decode("ascii", "replace"), name)
    found = packets(data, name)
    tags = [tag for tag, _, _ in found]
    if SECRET_KEY in tags:
        raise FormatError(name, 0, "is a secret key; give the public key")
    if not tags or tags[0] != PUBLIC_KEY:
        raise FormatError(name, 0, "is not an OpenPGP public key")
    (work / "key.gpg").write_bytes(b"".join(packet for _, packet, _ in _with_revocations_in_place(found)))
    return "key.gpg"


def detached_signature(data, name):
    """DATA (armoured or binary) as binary signature packets over a document,
    and nothing else: gpgv takes a signed message or a cleartext signature in
    their place, checks what they hold instead of the file, and fails as
    though this machine could not run it."""
    if data[:1] and not data[0] & 0x80:
        data = _dearmor(data.decode("ascii", "replace"), name, "SIGNATURE", "a detached signature")
    found = packets(data, name)
    if not found:
        raise FormatError(name, 0, "holds no signature")
    for tag, _, body in found:
        kind = body[2] if body[:1] == b"\x03" and len(body) > 2 else body[1] if len(body) > 1 else None
        if tag != SIGNATURE or kind not in (0, 1):
            raise FormatError(name, 0, "holds other than signatures over a document (a signed message, a key?)")
    return data


@dataclass
class Verdict:
    """What gpgv established: GOOD is who made a good signature with a key of
    KEY (None if nobody did); the rest is why not, or what else is there."""
    good: str = None
    problems: list = field(default_factory=list)
    others: list = field(default_factory=list)


def verify(work, keyring_name, signature, data, label):
    """gpgv's verdict on SIGNATURE over DATA (files in WORK, which the sandbox
    sees as /build). A revoked or expired key fails: a release is signed at a
    time its signer chooses, so a signature dated before the revocation
    proves nothing."""
    log = work / "gpgv.log"
    status = sandbox.run(["gpgv", "--status-fd", "1", "--keyring", f"{sandbox.BOX}/{keyring_name}",
                          f"{sandbox.BOX}/{signature}", f"{sandbox.BOX}/{data}"], work, log, f"gpgv on {label}")
    lines = log.read_text(errors="replace").splitlines()
    verdict = Verdict()
    tokens = [line.split()[1:] for line in lines if line.startswith("[GNUPG:] ") and len(line.split()) > 1]
    for token, *args in tokens:
        if token == "GOODSIG":
            verdict.good = " ".join(args[1:]) or args[0]
        elif token in ("EXPKEYSIG", "REVKEYSIG"):
            verdict.problems.append(f"{label} is signed by a key of KEY that is "
                                    f"{'revoked' if token == 'REVKEYSIG' else 'expired'} ({' '.join(args[1:])})")
        elif token == "BADSIG":
            verdict.problems.append(f"{label} has a BAD signature by {' '.join(args[1:])}")
        elif token == "NO_PUBKEY":
            verdict.others.append(f"a signature by key {args[0]}, which KEY does not hold")
        elif token == "ERRSIG" and args[5:6] == ["9"]:
            continue  # its key is not in KEY: NO_PUBKEY follows
        elif token == "ERRSIG":
            verdict.problems.append(f"{label} has a signature gpgv cannot check (ERRSIG {' '.join(args)})")
        elif token in ("NODATA", "BADARMOR", "UNEXPECTED"):
            verdict.problems.append(f"{label} is not an OpenPGP signature over it")
    if not tokens and status != 0:
        raise MachineError(f"gpgv could not check {label}: " + "; ".join(lines[-5:]))
    if verdict.problems:
        verdict.good = None
    elif not verdict.good:
        verdict.problems.append(f"{label} is not signed by KEY" +
                                (f": it holds only {'; '.join(verdict.others)}" if verdict.others else ""))
    return verdict
