"""The Authenticode signature of a Windows program, read strictly from its
certificate table: one WIN_CERTIFICATE holding one PKCS#7 SignedData, at the
end of the file, padded with zeros. Only the signature proper is taken over
by a rebuild: the SignedData without unauthenticated attributes, which the
release never writes and which no signature covers.
Own code, not osslsigncode's extract-signature and attach-signature: those
carry the whole SignedData over, unauthenticated attributes and all, so a
signer could pass bytes that no signature covers into a rebuild."""

from .errors import FormatError

SECURITY_DIRECTORY = 4
WIN_CERT_REVISION_2 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
SIGNATURE_LIMIT = 1 << 16


def _u16(data, at):
    return int.from_bytes(data[at : at + 2], "little")


def _u32(data, at):
    return int.from_bytes(data[at : at + 4], "little")


def certificate_table(exe, name):
    """(offset, size) of the certificate table, (0, 0) for an unsigned program."""
    if len(exe) < 0x40 or exe[:2] != b"MZ":
        raise FormatError(name, 0, "is not a Windows program")
    pe = _u32(exe, 0x3C)
    if pe + 24 > len(exe) or exe[pe : pe + 4] != b"PE\0\0":
        raise FormatError(name, 0, "is not a Windows program")
    optional = pe + 24
    magic = _u16(exe, optional)
    if magic not in (0x10B, 0x20B):
        raise FormatError(name, 0, "has an optional header of neither PE32 nor PE32+")
    directories = optional + (96 if magic == 0x10B else 112)
    entry = directories + 8 * SECURITY_DIRECTORY
    if entry + 8 > len(exe) or _u32(exe, directories - 4) <= SECURITY_DIRECTORY:
        raise FormatError(name, 0, "has no room for a certificate table")
    return _u32(exe, entry), _u32(exe, entry + 4)


def _tlv(data, at, end, name):
    """(tag, start of content, end of content) of the DER element at AT."""
    if at + 2 > end:
        raise FormatError(name, 0, "a signature that ends inside an element")
    tag, length, at = data[at], data[at + 1], at + 2
    if tag & 0x1F == 0x1F:
        raise FormatError(name, 0, "a signature element with a long tag")
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 3 or at + count > end:
            raise FormatError(name, 0, "a signature element of indefinite or impossible length")
        length = int.from_bytes(data[at : at + count], "big")
        at += count
    if at + length > end:
        raise FormatError(name, 0, "a signature element longer than what holds it")
    return tag, at, at + length


def _children(data, start, end, name):
    at, found = start, []
    while at < end:
        element = _tlv(data, at, end, name)
        found.append((element[0], at, element[2]))
        at = element[2]
    return found


def _der(tag, content):
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    length = len(content).to_bytes((len(content).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + content


def _without_unauthenticated(der, name):
    """The ContentInfo with every SignerInfo's [1] unauthenticated attributes
    left out, its lengths written anew."""
    tag, start, end = _tlv(der, 0, len(der), name)
    top = _children(der, start, end, name) if tag == 0x30 and end == len(der) else []
    if len(top) != 2 or top[1][0] != 0xA0:
        raise FormatError(name, 0, "a signature that is not one PKCS#7 ContentInfo")
    content_type, explicit = top
    tag, signed_start, signed_end = _tlv(der, _tlv(der, explicit[1], explicit[2], name)[1], explicit[2], name)
    parts = _children(der, signed_start, signed_end, name)
    if tag != 0x30 or not parts or parts[-1][0] != 0x31:
        raise FormatError(name, 0, "a signature that is not PKCS#7 SignedData with signer infos")
    signers = []
    for _, at, stop in _children(der, *_tlv(der, parts[-1][1], parts[-1][2], name)[1:], name):
        _, info_start, info_end = _tlv(der, at, stop, name)
        kept = [der[a:b] for t, a, b in _children(der, info_start, info_end, name) if t != 0xA1]
        signers.append(_der(0x30, b"".join(kept)))
    signed = b"".join(der[a:b] for _, a, b in parts[:-1]) + _der(0x31, b"".join(signers))
    return _der(0x30, der[content_type[1] : content_type[2]] + _der(0xA0, _der(0x30, signed)))


def signature(exe, name):
    """The signature proper of a signed program, or None for an unsigned
    one, after checking that the certificate table holds it alone."""
    offset, size = certificate_table(exe, name)
    if not offset and not size:
        return None
    if offset % 8 or offset + size != len(exe) or size < 16 or size > SIGNATURE_LIMIT:
        raise FormatError(name, 0, "a certificate table that is not the 8-aligned end of the file")
    length = _u32(exe, offset)
    if length > size or size - length >= 8 or any(exe[offset + length :]):
        raise FormatError(name, 0, "a certificate table that holds more than one certificate")
    if _u16(exe, offset + 4) != WIN_CERT_REVISION_2 or _u16(exe, offset + 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise FormatError(name, 0, "a certificate that is not Authenticode's PKCS#7 SignedData")
    body = exe[offset + 8 : offset + length]
    _, _, der_end = _tlv(body, 0, len(body), name)
    if any(body[der_end:]):
        raise FormatError(name, 0, "a certificate with data after its signature")
    return _without_unauthenticated(body[:der_end], name)


def _checksum(exe, field):
    """The PE checksum, as Windows' CheckSumMappedFile computes it: 16-bit
    words summed with their carries folded in, the field itself left out,
    plus the file's length."""
    data = exe + b"\0" * (len(exe) % 2)
    total = 0
    for at in range(0, len(data), 2):
        if field <= at < field + 4:
            continue
        total += data[at] | data[at + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + (total >> 16) + len(exe)


def attach(exe, proper, name):
    """EXE, unsigned, with the signature proper in its certificate table:
    the file padded to 8 bytes, one WIN_CERTIFICATE padded to 8, the table's
    directory entry and the checksum set, as osslsigncode writes them. The
    release and a rebuild both attach this way."""
    if certificate_table(exe, name) != (0, 0):
        raise FormatError(name, 0, "is signed already")
    exe = exe + b"\0" * (-len(exe) % 8)
    length = 8 + len(proper) + (-len(proper) % 8)
    table = (
        length.to_bytes(4, "little")
        + WIN_CERT_REVISION_2.to_bytes(2, "little")
        + WIN_CERT_TYPE_PKCS_SIGNED_DATA.to_bytes(2, "little")
        + proper
        + b"\0" * (-len(proper) % 8)
    )
    optional = _u32(exe, 0x3C) + 24
    entry = optional + (96 if _u16(exe, optional) == 0x10B else 112) + 8 * SECURITY_DIRECTORY
    signed = bytearray(exe + table)
    signed[entry : entry + 8] = len(exe).to_bytes(4, "little") + len(table).to_bytes(4, "little")
    field = optional + 64
    signed[field : field + 4] = _checksum(bytes(signed), field).to_bytes(4, "little")
    return bytes(signed)
