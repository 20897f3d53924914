"""An .rpm's lead and signature header, read strictly. The signature header
is all of an .rpm that a rebuild without the key cannot make: the verifier
takes it over from the published package, and compares every other byte,
the lead included."""
from .errors import FormatError

LEAD_SIZE = 96
# A release's .rpm is some kilobytes; the verifier reads it whole.
SIZE_LIMIT = 16 << 20
HEADER_MAGIC = b"\x8e\xad\xe8\x01\x00\x00\x00\x00"
# The tags rpm writes into a signature header: sizes, digests, signatures,
# and the space it reserves so that signing does not move the header.
SIGNATURE_TAGS = {62, 267, 268, 269, 270, 271, 273, 274, 276, 277, 278, 1000, 1002, 1004, 1005, 1007, 1008}
REGION, RESERVED_SPACE, DSA_HEADER, RSA_HEADER = 62, 1008, 267, 268
# The OpenPGP signatures rpmsign adds: over the header (DSA, RSA), and the
# older ones over header and payload (PGP, GPG).
OPENPGP_SIGNATURES = {DSA_HEADER, RSA_HEADER, 1002, 1005}
# The bytes of one of a count of rpm's fixed-size types; the string types
# (string, string array, translated strings) end each string at a NUL.
TYPE_SIZES = {0: 0, 1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 7: 1}
STRINGS = {6, 8, 9}


def _signature_entries(data, name):
    """({tag: bytes of its data}, where the signature header ends with its
    padding), after checking the lead and the header."""
    if len(data) < LEAD_SIZE + 16 or data[:4] != b"\xed\xab\xee\xdb":
        raise FormatError(name, 0, "is not an rpm package (no lead)")
    if data[LEAD_SIZE : LEAD_SIZE + 8] != HEADER_MAGIC:
        raise FormatError(name, 0, "has no signature header after its lead")
    entries = int.from_bytes(data[LEAD_SIZE + 8 : LEAD_SIZE + 12], "big")
    size = int.from_bytes(data[LEAD_SIZE + 12 : LEAD_SIZE + 16], "big")
    if entries > 64 or size > 1 << 16:
        raise FormatError(name, 0, f"a signature header of {entries} entries and {size} bytes; rpm writes a few")
    store = LEAD_SIZE + 16 + 16 * entries
    end = store + size
    padded = end + (-end % 8)
    if padded > len(data) or any(data[end:padded]):
        raise FormatError(name, 0, "a signature header that runs past the file or is padded with other than zeros")
    found = {}
    for index in range(entries):
        at = LEAD_SIZE + 16 + 16 * index
        tag, kind, offset, count = (int.from_bytes(data[at + i : at + i + 4], "big") for i in (0, 4, 8, 12))
        if tag not in SIGNATURE_TAGS or offset >= size or kind > 9 or tag in found:
            raise FormatError(name, 0, f"a signature header entry (tag {tag}) that rpm does not write")
        # Each entry's own bytes, without the padding that aligns the next:
        # a signature added before an entry moves it, and its padding.
        stop = offset + TYPE_SIZES.get(kind, 0) * count
        strings = (1 if kind == 6 else count) if kind in STRINGS else 0
        for _ in range(min(strings, size)):
            nul = data.find(b"\0", store + stop, store + size)
            if nul < 0:
                raise FormatError(name, 0, f"a signature header string (tag {tag}) without its end")
            stop = nul - store + 1
        if stop > size:
            raise FormatError(name, 0, f"a signature header entry (tag {tag}) that runs past the header")
        found[tag] = data[store + offset : store + stop]
    if RESERVED_SPACE in found and any(found[RESERVED_SPACE]):
        raise FormatError(name, 0, "the signature header's reserved space holds data")
    return found, padded


def _region(entries):
    """The trailer of a signature header's region of ENTRIES entries."""
    return b"".join(n.to_bytes(4, "big", signed=True) for n in (REGION, 7, -16 * entries, 16))


def signature_header_end(data, name):
    """Where the lead and the signature header (with its padding) end,
    after checking both: what follows is the package that was signed."""
    return _signature_entries(data, name)[1]


def header_signature(data, name):
    """(the OpenPGP signature over the package's header, the header as it is
    signed), or (None, None) for an unsigned package. rpm signs the header
    alone, from its magic to the end of its data; the header holds the
    payload's digest."""
    found, start = _signature_entries(data, name)
    signature = found.get(RSA_HEADER) or found.get(DSA_HEADER)
    if signature is None:
        return None, None
    if data[start : start + 8] != HEADER_MAGIC:
        raise FormatError(name, 0, "has no header after its signature header")
    entries = int.from_bytes(data[start + 8 : start + 12], "big")
    size = int.from_bytes(data[start + 12 : start + 16], "big")
    end = start + 16 + 16 * entries + size
    if end > len(data):
        raise FormatError(name, 0, "a header that runs past the end of the file")
    return signature, data[start:end]


def signature_header(data, name):
    return data[LEAD_SIZE : signature_header_end(data, name)]


def with_signature_header(rebuilt, header, name):
    """The rebuilt package with HEADER (another package's, as
    signature_header() gave it) in place of its own."""
    return rebuilt[:LEAD_SIZE] + header + rebuilt[signature_header_end(rebuilt, name) :]


def check_taken_over(rebuilt, header, name):
    """Refuses a published signature HEADER that holds more than OpenPGP
    signatures over what the rebuild made: every other entry (digests,
    sizes) must be the rebuilt package's own, byte for byte, and no entry
    may be added but a signature."""
    ours = _signature_entries(rebuilt, name)[0]
    theirs = _signature_entries(rebuilt[:LEAD_SIZE] + header, name)[0]
    for tag, data in theirs.items():
        if tag in OPENPGP_SIGNATURES or tag == RESERVED_SPACE:
            continue
        if tag == REGION and REGION in ours:
            # The region's trailer counts the header's entries, one more
            # for each signature: each must count its own.
            if data != _region(len(theirs)) or ours[REGION] != _region(len(ours)):
                raise FormatError(name, 0, f"its signature header's tag {tag} does not count its entries")
            continue
        if tag not in ours:
            raise FormatError(
                name,
                0,
                f"its signature header holds tag {tag}, which the rebuild does not write " "and which is no signature",
            )
        if ours[tag] != data:
            raise FormatError(name, 0, f"its signature header's tag {tag} is not the rebuilt package's")
