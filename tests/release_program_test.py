"""The release program's readers, from tables of good and bad inputs: every
departure from a format is refused with its line and reason, never read some
other way."""
import base64
import contextlib
import io
import os
import signal
import struct
import sys
import tarfile
import tempfile
import tracemalloc
import unittest
from unittest import mock
import zipfile
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from uptime_release import (authenticode, buildinfo, deb822, make, openpgp, publish, releaseinfo,  # noqa: E402
                            rpmfile, source_archive, spdx, sums, verify, zipfiles)
from uptime_release.errors import FormatError, Refused  # noqa: E402

COMMIT = "a" * 40
DIGEST = "0" * 64


def release_info_text(**changes):
    fields = {"Commit": COMMIT, "Source-Date-Epoch": "1796600000", "Package-Revision": "2"} | changes
    return "".join(f"{k}: {v}\n" for k, v in fields.items()).encode()


def buildinfo_text():
    record = buildinfo.Buildinfo(
        version="1.00-2", commit=COMMIT, epoch=1796600000, architectures=("amd64",), build_architecture="amd64",
        checksums=(("a.deb", 3, "1" * 32, "2" * 40, "3" * 64),),
        roots=(buildinfo.Root("debian-13", "trixie", ("amd64",), ("native",), (("bash", "5.2"), ("dpkg", "1.22"))),))
    return buildinfo.write(record).encode()


class Readers(unittest.TestCase):
    def refused(self, reader, data, reason):
        with self.assertRaises(FormatError) as caught:
            reader(data, "FILE")
        self.assertIn(reason, str(caught.exception))

    def test_deb822(self):
        good = b"A: 1\nB:\n x\n y\n\nC: 2\n"
        self.assertEqual([list(p) for p in deb822.read(good, "F")], [["A", "B"], ["C"]])
        for data, reason in [
                (b"A: 1", "no newline"), (b"A: 1\nA: 2\n", "given twice"), (b"A: 1\na: 2\n", "given twice"),
                (b"A:1\n", "one space"), (b"A:  1\n", "one space"), (b"A: 1 \n", "one space"),
                (b"no colon\n", "not a field"), (b"A: 1\n\n\nB: 2\n", "empty line"), (b"A: 1\n\n", "empty line"),
                (b"A:\nB: 2\n", "neither a value"), (b"A: 1\n x\n", "continuation line after"),
                (b"A:\n  x\n", "one space and text"), (b"A: \xc3\xbc\n", "not ASCII"), (b"A: 1\tx\n", "control"),
                (b"", "empty")]:
            with self.subTest(data=data):
                self.refused(deb822.read, data, reason)

    def test_sums(self):
        self.assertEqual(sums.read(f"{DIGEST}  a.deb\n{DIGEST}  b.rpm\n".encode(), "S"),
                         {"a.deb": DIGEST, "b.rpm": DIGEST})
        for data, reason in [
                (f"{DIGEST}  a.deb", "no newline"), (f"{DIGEST}  b\n{DIGEST}  a\n", "byte order"),
                (f"{DIGEST}  a\n{DIGEST}  a\n", "twice"), (f"{DIGEST} *a\n", "plain file name"),
                (f"{DIGEST}  ../a\n", "plain file name"), (f"{DIGEST}  .hidden\n", "plain file name"),
                (f"{DIGEST}  -a\n", "plain file name"), (f"{'a' * 63}A  a\n", "plain file name"),
                (f"{DIGEST}  a\n\n", "plain file name")]:
            with self.subTest(data=data):
                self.refused(sums.read, data.encode(), reason)

    def test_release_info(self):
        self.assertEqual(releaseinfo.read(release_info_text(), "R").revision, 2)
        for data, reason in [
                (release_info_text(Commit="xyz"), "not a valid value"),
                (release_info_text(**{"Source-Date-Epoch": "4102444800"}), "outside"),
                (release_info_text(**{"Source-Date-Epoch": "0123"}), "not a valid value"),
                (release_info_text(Other="1"), "not a field of this file"),
                (release_info_text(**{"Release-Url": "https://x/ y"}), "not a valid value"),
                (b"Source-Date-Epoch: 1796600000\nCommit: " + COMMIT.encode() + b"\nPackage-Revision: 2\n",
                 "one order")]:
            with self.subTest(data=data):
                self.refused(releaseinfo.read, data, reason)

    def test_buildinfo(self):
        good = buildinfo_text()
        self.assertEqual(buildinfo.read(good, "B").version, "1.00-2")
        for old, new, reason in [
                (b"Version: 1.00-2\n", b"Version: 9.99\nVersion: 1.00-2\n", "given twice"),
                (b"Source-Date-Epoch: 1796600000\n", b"Source-Date-Epoch:4102444800\n", "one space"),
                (b" bash (= 5.2),\n", b" bash 5.2,\n", "not 'package (= version)'"),
                (b" bash (= 5.2),\n", b" dpkg (= 1.0),\n", "listed twice"),
                (b" bash (= 5.2),\n", b" zsh (= 5.9),\n", "one form"),
                (b"Format: 1.0\n", b"Format: 1.0\nExtra: 1\n", "not a field of this file"),
                (b'TZ="UTC"\n', b'TZ="Asia/Tokyo"\n', "one form"),
                (b"Root: debian-13\n", b"", "lacks Root"),
                (b"Format: 1.0\n", b"Format: 1.0\nno colon here\n", "not a field")]:
            with self.subTest(new=new):
                self.assertIn(old, good)
                self.refused(buildinfo.read, good.replace(old, new, 1), reason)

    def test_spdx(self):
        comment = f'"comment": "The release of uptime-report 1.00-2 from commit {COMMIT}."'
        self.assertEqual(spdx.read_commit(('{"spdxVersion": "SPDX-2.3", ' + comment + "}").encode(), "D"), COMMIT)
        for data, reason in [('{"spdxVersion": "SPDX-2.3", "spdxVersion": "SPDX-2.3", ' + comment + "}", "twice"),
                             ('{"spdxVersion": "SPDX-2.3"}', "naming its commit"), ("[", "not a JSON")]:
            with self.subTest(data=data):
                self.refused(spdx.read_commit, data.encode(), reason)


def tar(members):
    """A .tar.gz of (name, kind, data or link target) members."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as archive:
        for name, kind, content in members:
            info = tarfile.TarInfo(name)
            info.type = {"dir": tarfile.DIRTYPE, "file": tarfile.REGTYPE, "link": tarfile.SYMTYPE,
                         "hard": tarfile.LNKTYPE, "char": tarfile.CHRTYPE}[kind]
            if kind in ("link", "hard"):
                info.linkname = content
            data = content.encode() if kind == "file" else b""
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return buffer.getvalue()


class SourceArchive(unittest.TestCase):
    def members(self, members, tmp="/tmp"):
        path = os.path.join(tmp, f"source-{os.getpid()}.tar.gz")
        with open(path, "wb") as f:
            f.write(tar(members))
        try:
            return [p for p, _, _ in source_archive.members(path, "top")]
        finally:
            os.unlink(path)

    def test_members(self):
        self.assertEqual(self.members([("top", "dir", ""), ("top/a", "file", "x"), ("top/l", "link", "a")]),
                         ["a", "l"])
        top, below = ("top", "dir", ""), ("top/x", "dir", "")
        for members, reason in [
                ([("top", "link", "/etc")], "not the folder top/"),
                ([("other", "dir", ""), top], "not the folder top/"),
                ([top, ("/etc/x", "file", "")], "outside the folder"),
                ([top, ("top/../x", "file", "")], "outside the folder"),
                ([top, ("other/x", "file", "")], "outside the folder"),
                ([top, ("top/h", "hard", "top/x")], "hard link"),
                ([top, ("top/d", "char", "")], "device"),
                ([top, ("top/a", "file", ""), ("top/a", "file", "")], "twice"),
                ([top, below, ("top/x/l", "link", "/etc")], "leading out"),
                ([top, below, ("top/x/l", "link", "../..")], "leading out"),
                ([top, below, ("top/x/l", "link", ".."), ("top/l2", "link", "x/l/..")], "leading out"),
                ([top, ("top/l", "link", "."), ("top/l/f", "file", "")], "beneath a symbolic link")]:
            with self.subTest(members=members):
                with self.assertRaises(FormatError) as caught:
                    self.members(members)
                self.assertIn(reason, str(caught.exception))

    def test_size_bound(self):
        """An archive that would unpack past the bound is refused before its
        members are read (the bound made small here, for a small archive)."""
        with mock.patch.object(source_archive, "SIZE_LIMIT", 4), self.assertRaises(FormatError) as caught:
            self.members([("top", "dir", ""), ("top/a", "file", "12345")])
        self.assertIn("unpacks to more than", str(caught.exception))


def rpm(header_entries, store, padding=b""):
    lead = b"\xed\xab\xee\xdb" + bytes(92)
    index = b"".join(t.to_bytes(4, "big") + k.to_bytes(4, "big") + o.to_bytes(4, "big") + c.to_bytes(4, "big")
                     for t, k, o, c in header_entries)
    header = rpmfile.HEADER_MAGIC + len(header_entries).to_bytes(4, "big") + len(store).to_bytes(4, "big")
    body = header + index + store
    return lead + body + (padding or bytes(-len(body) % 8)) + rpmfile.HEADER_MAGIC + bytes(8) + b"payload"


class Signatures(unittest.TestCase):
    def test_rpm(self):
        good = rpm([(1000, 4, 0, 1), (1008, 7, 4, 4)], b"\0\0\0\x10" + bytes(4))
        self.assertEqual(rpmfile.signature_header(good, "p.rpm")[:8], rpmfile.HEADER_MAGIC)
        taken = rpmfile.with_signature_header(b"\xed\xab\xee\xdbLEAD" + good[8:], rpmfile.signature_header(good, "p"), "p")
        self.assertEqual(taken[:8], b"\xed\xab\xee\xdbLEAD")
        for data, reason in [(b"junk" * 40, "no lead"), (rpm([(9999, 4, 0, 1)], bytes(4)), "does not write"),
                             (rpm([(1008, 7, 0, 4)], b"blob"), "reserved space holds data"),
                             (rpm([(1000, 4, 0, 1)], bytes(4), b"\1" * 4), "padded")]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    rpmfile.signature_header(data, "p.rpm")
                self.assertIn(reason, str(caught.exception))

    def test_authenticode(self):
        der = authenticode._der
        signer = der(0x30, der(0x02, b"\1") + der(0xa0, b"auth") + der(0x04, b"sig"))
        with_blob = der(0x30, signer[2:] + der(0xa1, b"unauthenticated blob"))
        signed_data = lambda info: der(0x30, der(0x06, b"\x2a\x86") + der(0xa0, der(0x30, der(0x02, b"\1") +
                                                                                     der(0x31, info))))
        pe = bytearray(0x200)
        pe[:2], pe[0x3c:0x40], pe[0x80:0x84] = b"MZ", (0x80).to_bytes(4, "little"), b"PE\0\0"
        pe[0x98:0x9a], pe[0x98 + 108:0x98 + 112] = (0x20b).to_bytes(2, "little"), (16).to_bytes(4, "little")
        exe = authenticode.attach(bytes(pe), signed_data(with_blob), "p.exe")
        self.assertEqual(authenticode.signature(exe, "p.exe"), signed_data(signer))
        self.assertIsNone(authenticode.signature(bytes(pe), "p.exe"))
        entry = 0x98 + 112 + 8 * authenticode.SECURITY_DIRECTORY
        second = bytearray(exe + bytes(8) + b"\1" * 8)
        second[entry + 4:entry + 8] = (int.from_bytes(exe[entry + 4:entry + 8], "little") + 16).to_bytes(4, "little")
        for data, reason in [(bytes(second), "more than one certificate"), (exe + bytes(8), "8-aligned end"),
                             (exe[:-8], "8-aligned end"), (b"ZM" + exe[2:], "not a Windows program")]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    authenticode.signature(data, "p.exe")
                self.assertIn(reason, str(caught.exception))


def armoured(kind, data):
    return f"-----BEGIN PGP {kind}-----\n\n{base64.b64encode(data).decode()}\n-----END PGP {kind}-----\n".encode()


class DetachedSignatures(unittest.TestCase):
    """Only signature packets over a document reach gpgv: it takes a signed
    message or a cleartext signature in their place and checks what they hold."""
    SIGNATURE = bytes([0x88, 4, 4, 0x00, 22, 8])

    def test_read(self):
        with_header = armoured("SIGNATURE", self.SIGNATURE).replace(b"\n\n", b"\nComment: x\n\n", 1)
        for data in (self.SIGNATURE, armoured("SIGNATURE", self.SIGNATURE), b"text before\n" +
                     armoured("SIGNATURE", self.SIGNATURE + bytes([0x88, 6, 3, 5, 0x01, 0, 0, 0])),
                     with_header, with_header.replace(b"\n", b"\r\n")):
            with self.subTest(data=data[:20]):
                self.assertTrue(openpgp.detached_signature(data, "s").startswith(b"\x88"))
        one_pass, literal = bytes([0x90, 3, 3, 0, 8]), bytes([0xac, 3]) + b"b\0x"
        for data, reason in [
                (b"", "no signature"), (self.SIGNATURE + b"garbage", "not OpenPGP"),
                (one_pass + literal + self.SIGNATURE, "other than signatures"),
                (bytes([0x88, 4, 4, 0x13, 22, 8]), "other than signatures"),
                (armoured("MESSAGE", one_pass + literal + self.SIGNATURE), "a message"),
                (b"-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\nforged sums\n" +
                 armoured("SIGNATURE", self.SIGNATURE), "a signed message"),
                (armoured("PUBLIC KEY BLOCK", bytes([0x99, 0, 1, 4])), "a public key block")]:
            with self.subTest(reason=reason, data=data[:20]):
                with self.assertRaises(FormatError) as caught:
                    openpgp.detached_signature(data, "s")
                self.assertIn(reason, str(caught.exception))


class Archives(unittest.TestCase):
    def test_zip(self):
        def made(names):
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w") as archive:
                for name in names:
                    archive.writestr(name, b"x")
            return buffer.getvalue()
        self.assertEqual(list(zipfiles.read(made(["t/a.exe"]), "z")), ["t/a.exe"])
        for names, reason in [(["/abs"], "outside"), (["t/../../x"], "outside"), (["t\\..\\x"], "outside"),
                              ([f"t/{i}" for i in range(zipfiles.MEMBER_LIMIT + 1)], "at most")]:
            with self.subTest(names=names[:2]):
                with self.assertRaises(FormatError) as caught:
                    zipfiles.read(made(names), "z")
                self.assertIn(reason, str(caught.exception))

    def test_zip_directory_checked_first(self):
        """The end record's claims are checked before zipfile reads a whole
        central directory, an object per member: 100,000 empty members, or an
        end record claiming millions, are refused within a few megabytes."""
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            for i in range(40000):
                archive.writestr(f"t/{i}", b"")
        many = buffer.getvalue()
        one = self.one_member()
        end = one.rfind(b"PK\x05\x06")
        claims = bytearray(one)
        claims[end + 10:end + 12] = struct.pack("<H", 60000)
        zip64 = bytearray(one)
        zip64[end + 10:end + 12] = b"\xff\xff"
        for data, reason in [(many, "claims 40000 members"), (bytes(claims), "claims 60000 members"),
                             (bytes(zip64), "ZIP64"), (b"PK\x03\x04" + bytes(100), "no end record")]:
            with self.subTest(reason=reason):
                tracemalloc.start()
                with self.assertRaises(FormatError) as caught:
                    zipfiles.read(data, "z")
                peak = tracemalloc.get_traced_memory()[1]
                tracemalloc.stop()
                self.assertIn(reason, str(caught.exception))
                self.assertLess(peak, 64 << 20)

    def one_member(self):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            archive.writestr("t/a.exe", b"x")
        return buffer.getvalue()

    def test_zip_member_larger_than_it_claims(self):
        """A member that inflates far past the size it claims is refused
        without being held in memory whole."""
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            with archive.open("t/a.exe", "w") as member:
                for _ in range(200):
                    member.write(bytes(1 << 20))
        data = bytearray(buffer.getvalue())
        central = data.rfind(b"PK\x01\x02")
        data[22:26], data[central + 24:central + 28] = struct.pack("<I", 10), struct.pack("<I", 10)
        tracemalloc.start()
        with self.assertRaises(FormatError):
            zipfiles.read(bytes(data), "z")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        self.assertLess(peak, 32 << 20)

    def test_openpgp_packets(self):
        key = bytes([0x99, 0, 3]) + b"abc" + bytes([0xb4, 1]) + b"u"
        self.assertEqual([tag for tag, _, _ in openpgp.packets(key, "k")], [6, 13])
        for data, reason in [(b"\x01abc", "not OpenPGP"), (bytes([0x99, 0, 9]) + b"abc", "past the end"),
                             (bytes([0xc6, 0xe1]) + b"a", "partial-length")]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    openpgp.packets(data, "k")
                self.assertIn(reason, str(caught.exception))


class SandboxLeftovers(unittest.TestCase):
    """What a build (as nobody) leaves in its artifacts folder is read, moved,
    chowned and chmodded by root: a link there is never followed."""
    PLANTED = ("folder link", "file link", "fifo")

    def planted(self, kind):
        """(a folder outside with a.deb at mode 600, the artifacts folder with KIND planted)."""
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        outside, artifacts = Path(tmp.name, "outside"), Path(tmp.name, "box", "artifacts")
        outside.mkdir()
        artifacts.mkdir(parents=True)
        (outside / "a.deb").write_bytes(b"published")
        (outside / "a.deb").chmod(0o600)
        if kind == "folder link":
            artifacts.rmdir()
            artifacts.symlink_to(outside)
        elif kind == "file link":
            (artifacts / "a.deb").symlink_to(outside / "a.deb")
        else:
            os.mkfifo(artifacts / "a.deb")
        return outside, artifacts

    def test_publish_refuses(self):
        for kind in self.PLANTED:
            with self.subTest(kind=kind):
                outside, artifacts = self.planted(kind)
                with self.assertRaises(Refused):
                    make.publish_folder(artifacts, artifacts.parent / "out")
                self.assertEqual((outside / "a.deb").stat().st_mode & 0o777, 0o600)

    def test_compare_fails(self):
        for kind in self.PLANTED:
            with self.subTest(kind=kind):
                outside, artifacts = self.planted(kind)
                report = verify.Report(False)
                with contextlib.redirect_stdout(io.StringIO()) as out:
                    verify._compare(outside, {"a.deb": DIGEST}, artifacts, artifacts.parent, report)
                self.assertNotIn("identical", out.getvalue())
                self.assertGreater(report.failures, 0)


class ReportLines(unittest.TestCase):
    """A name from the download (a file in DIR, an archive's member) never
    starts a line of the verdict of its own, nor moves the cursor."""

    def test_names(self):
        for name in ("x\nVERIFIED: yes", "x\rVERIFIED: yes", "x\x1b[1A\x1b[2KVERIFIED: yes", "x\u2028VERIFIED: yes"):
            with self.subTest(name=name):
                with contextlib.redirect_stdout(io.StringIO()) as out:
                    verify.Report(False).fail(f"{name}: a member outside the folder")
                lines = out.getvalue().splitlines()
                self.assertFalse([line for line in lines if not line.startswith("  ")], lines)
                self.assertTrue(all(c.isprintable() for line in lines for c in line), lines)


class TreeSwap(unittest.TestCase):
    """A signal as the new tree takes the old one's place leaves one of the two
    in place, never neither, whether or not the file system swaps in one step."""

    def test_signal(self):
        class Stop(BaseException):
            pass

        def stop(*_):
            raise Stop()
        rename = Path.rename

        def rename_then_signal(path, target):
            result = rename(path, target)
            if Path(target).name == "old":
                os.kill(os.getpid(), signal.SIGTERM)
            return result
        previous = signal.signal(signal.SIGTERM, stop)
        self.addCleanup(signal.signal, signal.SIGTERM, previous)
        for swaps in (True, False):
            with self.subTest(swaps=swaps), tempfile.TemporaryDirectory() as tmp:
                out, stage = Path(tmp, "tree"), Path(tmp, ".tree.partial")
                (stage / "tree").mkdir(parents=True)
                (stage / "tree" / "new").touch()
                out.mkdir()
                (out / "old").touch()
                exchange = publish._exchange
                publish._exchange = exchange if swaps else lambda a, b: False
                Path.rename = rename_then_signal
                try:
                    publish._swap(stage / "tree", out, out, stage)
                except Stop:
                    pass
                finally:
                    Path.rename, publish._exchange = rename, exchange
                self.assertEqual(os.listdir(out), ["new"])


if __name__ == "__main__":
    unittest.main()
