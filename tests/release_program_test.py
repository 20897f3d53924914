"""The release program's readers, from tables of good and bad inputs: every
departure from a format is refused with its line and reason, never read some
other way."""

import contextlib
import io
import os
import signal
import struct
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import tracemalloc
import unittest
from unittest import mock
import zipfile
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from uptime_release import (
    authenticode,
    buildinfo,
    deb822,
    make,
    openpgp,
    pipeline,
    publish,
    releaseinfo,  # noqa: E402
    rpmfile,
    sandbox,
    source_archive,
    spdx,
    steps,
    sums,
    tools,
    verify,
    zipfiles,
)
from uptime_release.errors import FormatError, Refused, UsageError  # noqa: E402

COMMIT = "a" * 40
DIGEST = "0" * 64


def release_info_text(**changes):
    fields = {"Commit": COMMIT, "Source-Date-Epoch": "1796600000", "Package-Revision": "2"} | changes
    return "".join(f"{k}: {v}\n" for k, v in fields.items()).encode()


def buildinfo_text():
    record = buildinfo.Buildinfo(
        version="1.00-2",
        commit=COMMIT,
        epoch=1796600000,
        architectures=("amd64",),
        build_architecture="amd64",
        checksums=(("a.deb", 3, "1" * 32, "2" * 40, "3" * 64),),
        roots=(buildinfo.Root("debian-13", "trixie", ("amd64",), ("native",), (("bash", "5.2"), ("dpkg", "1.22"))),),
    )
    return buildinfo.write(record).encode()


class Readers(unittest.TestCase):
    def refused(self, reader, data, reason):
        with self.assertRaises(FormatError) as caught:
            reader(data, "FILE")
        self.assertIn(reason, str(caught.exception))

    def test_one_form(self):
        """The lenient deb822 reader with each reader's one-form check refuses
        every departure from RELEASE-INFO's form, with its line."""
        good = release_info_text()
        self.assertEqual([list(p) for p in deb822.read(b"A: 1\nB:\n x\n y\n\nC: 2\n", "F")], [["A", "B"], ["C"]])
        line = b"Package-Revision: 2\n"
        for new, reason in [
            (line + line, "one form"),
            (b"Package-Revision:2\n", "one form"),
            (b"Package-Revision:  2\n", "one form"),
            (b"Package-Revision: 2 \n", "one form"),
            (b"Package-Revision:\t2\n", "one form"),
            (line + b"\n", "one form"),
            (b"\n" + line, "2 paragraphs"),
            (line + b" x\n", "not a valid value"),
            (line + b"package-revision: 2\n", "not a field of this file"),
            (line + b"no colon\n", "not a field"),
            (line[:-1], "no newline"),
            (b"Package-Revision: \xc3\xbc\n", "not ASCII"),
        ]:
            with self.subTest(new=new):
                self.refused(releaseinfo.read, good.replace(line, new), reason)
        self.refused(releaseinfo.read, b"", "empty")

    def test_sums(self):
        self.assertEqual(
            sums.read(f"{DIGEST}  a.deb\n{DIGEST}  b.rpm\n".encode(), "S"), {"a.deb": DIGEST, "b.rpm": DIGEST}
        )
        for data, reason in [
            (f"{DIGEST}  a.deb", "no newline"),
            (f"{DIGEST}  b\n{DIGEST}  a\n", "byte order"),
            (f"{DIGEST}  a\n{DIGEST}  a\n", "twice"),
            (f"{DIGEST} *a\n", "plain file name"),
            (f"{DIGEST}  ../a\n", "plain file name"),
            (f"{DIGEST}  .hidden\n", "plain file name"),
            (f"{DIGEST}  -a\n", "plain file name"),
            (f"{'a' * 63}A  a\n", "plain file name"),
            (f"{DIGEST}  a\n\n", "plain file name"),
        ]:
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
            (
                b"Source-Date-Epoch: 1796600000\nCommit: " + COMMIT.encode() + b"\nPackage-Revision: 2\n",
                "FILE:1: not in RELEASE-INFO's one form",
            ),
        ]:
            with self.subTest(data=data):
                self.refused(releaseinfo.read, data, reason)

    def test_buildinfo(self):
        good = buildinfo_text()
        self.assertEqual(buildinfo.read(good, "B").version, "1.00-2")
        for old, new, reason in [
            (b"Version: 1.00-2\n", b"Version: 9.99\nVersion: 1.00-2\n", "FILE:5: not in BUILDINFO's one form"),
            (b"Source-Date-Epoch: 1796600000\n", b"Source-Date-Epoch:1796600000\n", "one form"),
            (b"Source-Date-Epoch: 1796600000\n", b"Source-Date-Epoch: 4102444800\n", "out of range"),
            (b" bash (= 5.2),\n", b" bash 5.2,\n", "not 'package (= version)'"),
            (b" bash (= 5.2),\n", b" dpkg (= 1.0),\n", "listed twice"),
            (b" bash (= 5.2),\n", b" zsh (= 5.9),\n", "one form"),
            (b"Format: 1.0\n", b"Format: 1.0\nExtra: 1\n", "not a field of this file"),
            (b'TZ="UTC"\n', b'TZ="Asia/Tokyo"\n', "one form"),
            (b"Root: debian-13\n", b"", "lacks Root"),
            (b"Format: 1.0\n", b"Format: 1.0\nno colon here\n", "not a field"),
        ]:
            with self.subTest(new=new):
                self.assertIn(old, good)
                self.refused(buildinfo.read, good.replace(old, new, 1), reason)

    def test_spdx(self):
        comment = f'"comment": "The release of uptime-report 1.00-2 from commit {COMMIT}."'
        self.assertEqual(spdx.read_commit(('{"spdxVersion": "SPDX-2.3", ' + comment + "}").encode(), "D"), COMMIT)
        for data, reason in [
            ('{"spdxVersion": "SPDX-2.3", "spdxVersion": "SPDX-2.3", ' + comment + "}", "twice"),
            ('{"spdxVersion": "SPDX-2.3"}', "naming its commit"),
            ("[", "not a JSON"),
        ]:
            with self.subTest(data=data):
                self.refused(spdx.read_commit, data.encode(), reason)


def tar(members):
    """A .tar.gz of (name, kind, data or link target) members."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as archive:
        for name, kind, content in members:
            info = tarfile.TarInfo(name)
            info.type = {
                "dir": tarfile.DIRTYPE,
                "file": tarfile.REGTYPE,
                "link": tarfile.SYMTYPE,
                "hard": tarfile.LNKTYPE,
                "char": tarfile.CHRTYPE,
            }[kind]
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
        self.assertEqual(self.members([("top", "dir", ""), ("top/a", "file", "x"), ("top/l", "link", "a")]), ["a", "l"])
        top = ("top", "dir", "")
        for members, reason in [
            ([("top", "link", "/etc")], "not the folder top/"),
            ([("other", "dir", ""), top], "not the folder top/"),
            ([top, ("/etc/x", "file", "")], "outside the folder"),
            ([top, ("top/../x", "file", "")], "outside the folder"),
            ([top, ("other/x", "file", "")], "outside the folder"),
            ([top, ("top/h", "hard", "top/x")], "hard link"),
            ([top, ("top/d", "char", "")], "device"),
            ([top, ("top/a", "file", ""), ("top/a", "file", "")], "twice"),
            ([top, ("top/" + "a" * 70000, "file", "")], "an extended header"),
        ]:
            with self.subTest(members=members):
                with self.assertRaises(FormatError) as caught:
                    self.members(members)
                self.assertIn(reason, str(caught.exception))

    @unittest.skipUnless(
        hasattr(tarfile, "data_filter"),
        "the unpacking runs in the Debian 13 root, whose Python has tarfile's data filter; this one has none",
    )
    def test_unpack(self):
        """The rebuild unpacks the archive through tarfile's data filter: a
        link leading out is refused, and nothing lands outside. (A file
        through links that lead out only in steps, which the filter's Python
        versions tell apart differently, is refused or kept inside.)"""
        top, below = ("top", "dir", ""), ("top/x", "dir", "")
        stepped = [("top/x/l", "link", ".."), ("top/l2", "link", "x/l/../../.."), ("top/l2/f", "file", "")]
        for members, failing in [
            ([top, below, ("top/x/f", "file", "x"), ("top/l", "link", "x/f")], False),
            ([top, below, ("top/x/l", "link", "/etc")], True),
            ([top, below, ("top/x/l", "link", "../..")], True),
            ([top, below] + stepped, None),
        ]:
            with self.subTest(members=members), tempfile.TemporaryDirectory() as tmp:
                archive, into = Path(tmp, "a.tar.gz"), Path(tmp, "into")
                archive.write_bytes(tar(members))
                into.mkdir()
                if failing:
                    with self.assertRaises(tarfile.FilterError):
                        steps.unpack(str(archive), str(into))
                elif failing is None:
                    try:
                        steps.unpack(str(archive), str(into))
                    except tarfile.FilterError:
                        pass
                else:
                    steps.unpack(str(archive), str(into))
                    self.assertEqual((into / "l").read_text(), "x")
                self.assertEqual(sorted(os.listdir(tmp)), ["a.tar.gz", "into"])

    def test_size_bound(self):
        """An archive that would unpack past the bound is refused before its
        members are read (the bound made small here, for a small archive)."""
        with mock.patch.object(source_archive, "SIZE_LIMIT", 4), self.assertRaises(FormatError) as caught:
            self.members([("top", "dir", ""), ("top/a", "file", "12345")])
        self.assertIn("unpacks to more than", str(caught.exception))


def rpm(header_entries, store, padding=b""):
    lead = b"\xed\xab\xee\xdb" + bytes(92)
    index = b"".join(
        t.to_bytes(4, "big") + k.to_bytes(4, "big") + o.to_bytes(4, "big") + c.to_bytes(4, "big")
        for t, k, o, c in header_entries
    )
    header = rpmfile.HEADER_MAGIC + len(header_entries).to_bytes(4, "big") + len(store).to_bytes(4, "big")
    body = header + index + store
    return lead + body + (padding or bytes(-len(body) % 8)) + rpmfile.HEADER_MAGIC + bytes(8) + b"payload"


class Signatures(unittest.TestCase):
    def test_rpm(self):
        good = rpm([(1000, 4, 0, 1), (1008, 7, 4, 4)], b"\0\0\0\x10" + bytes(4))
        self.assertEqual(rpmfile.signature_header(good, "p.rpm")[:8], rpmfile.HEADER_MAGIC)
        taken = rpmfile.with_signature_header(
            b"\xed\xab\xee\xdbLEAD" + good[8:], rpmfile.signature_header(good, "p"), "p"
        )
        self.assertEqual(taken[:8], b"\xed\xab\xee\xdbLEAD")
        for data, reason in [
            (b"junk" * 40, "no lead"),
            (rpm([(9999, 4, 0, 1)], bytes(4)), "does not write"),
            (rpm([(1008, 7, 0, 4)], b"blob"), "reserved space holds data"),
            (rpm([(1000, 4, 0, 1)], bytes(4), b"\1" * 4), "padded"),
        ]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    rpmfile.signature_header(data, "p.rpm")
                self.assertIn(reason, str(caught.exception))

    def test_rpm_signature_taken_over(self):
        """A rebuild takes over the published OpenPGP signatures alone: any
        other entry must be the rebuilt package's own."""
        rebuilt = rpm([(1000, 4, 0, 1), (1008, 7, 4, 8)], b"\0\0\0\x10" + bytes(8))
        signed = rpmfile.signature_header(
            rpm([(268, 7, 0, 4), (1000, 4, 4, 1), (1008, 7, 8, 4)], b"sig!" + b"\0\0\0\x10" + bytes(4)), "p"
        )
        rpmfile.check_taken_over(rebuilt, signed, "p.rpm")
        # As rpm writes them: a region whose trailer counts the entries, the
        # signature rpmsign adds among them, and a digest (a string) that the
        # signature moves, and with it the padding that aligns what follows.
        region = (
            lambda count: (62).to_bytes(4, "big")
            + (7).to_bytes(4, "big")
            + (-16 * count).to_bytes(4, "big", signed=True)
            + (16).to_bytes(4, "big")
        )
        rebuilt = rpm([(62, 7, 8, 16), (273, 6, 0, 1), (1000, 4, 4, 1)], b"ab\0\0" + b"\0\0\0\x10" + region(3))
        signed = [(62, 7, 12, 16), (268, 7, 0, 2), (273, 6, 2, 1), (1000, 4, 8, 1)]
        rpmfile.check_taken_over(
            rebuilt, rpmfile.signature_header(rpm(signed, b"S!ab\0\0\0\0\0\0\0\x10" + region(4)), "p"), "p.rpm"
        )
        for entries, store, reason in [
            ([(274, 7, 0, 4), (1000, 4, 4, 1)], b"ima!" + b"\0\0\0\x10", "tag 274, which the rebuild"),
            ([(1000, 4, 0, 1), (1008, 7, 4, 4)], b"\0\0\0\x11" + bytes(4), "tag 1000 is not"),
            (signed, b"S!ab\0\0\0\0\0\0\0\x10" + region(3), "tag 62 is not"),
            (signed, b"S!ab\0\0X\0\0\0\0\x10" + region(4), "padded with other than zeros"),
        ]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    rpmfile.check_taken_over(rebuilt, rpmfile.signature_header(rpm(entries, store), "p"), "p.rpm")
                self.assertIn(reason, str(caught.exception))

    def test_authenticode(self):
        der = authenticode._der
        signer = der(0x30, der(0x02, b"\1") + der(0xA0, b"auth") + der(0x04, b"sig"))
        with_blob = der(0x30, signer[2:] + der(0xA1, b"unauthenticated blob"))
        signed_data = lambda info: der(
            0x30, der(0x06, b"\x2a\x86") + der(0xA0, der(0x30, der(0x02, b"\1") + der(0x31, info)))
        )
        pe = bytearray(0x200)
        pe[:2], pe[0x3C:0x40], pe[0x80:0x84] = b"MZ", (0x80).to_bytes(4, "little"), b"PE\0\0"
        pe[0x98:0x9A], pe[0x98 + 108 : 0x98 + 112] = (0x20B).to_bytes(2, "little"), (16).to_bytes(4, "little")
        exe = authenticode.attach(bytes(pe), signed_data(with_blob), "p.exe")
        self.assertEqual(authenticode.signature(exe, "p.exe"), signed_data(signer))
        self.assertIsNone(authenticode.signature(bytes(pe), "p.exe"))
        entry = 0x98 + 112 + 8 * authenticode.SECURITY_DIRECTORY
        second = bytearray(exe + bytes(8) + b"\1" * 8)
        second[entry + 4 : entry + 8] = (int.from_bytes(exe[entry + 4 : entry + 8], "little") + 16).to_bytes(
            4, "little"
        )
        for data, reason in [
            (bytes(second), "more than one certificate"),
            (exe + bytes(8), "8-aligned end"),
            (exe[:-8], "8-aligned end"),
            (b"ZM" + exe[2:], "not a Windows program"),
        ]:
            with self.subTest(reason=reason):
                with self.assertRaises(FormatError) as caught:
                    authenticode.signature(data, "p.exe")
                self.assertIn(reason, str(caught.exception))


class OpenPGPSignatures(unittest.TestCase):
    """The verifier's verdicts on signatures (sqv, and gpg listing KEY, in
    the sandbox), from throwaway keys: one signs, one is another's, one's
    signing subkey is revoked and another signs, one has expired."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.work = Path(cls.tmp.name)
        home = cls.work / "gnupg"
        home.mkdir(mode=0o700)
        cls.gpg = ["gpg", "--homedir", str(home), "--batch", "--pinentry-mode", "loopback", "--passphrase", ""]
        now = int(time.time())

        def run(*args):
            subprocess.run(cls.gpg + list(args), check=True, capture_output=True)

        for name, made, expiry in (
            ("one", now - 100, "never"),
            ("two", now - 100, "never"),
            ("expired", now - 3 * 86400, "1d"),
        ):
            run(
                "--faked-system-time",
                f"{made}!",
                "--quick-gen-key",
                f"{name} <{name}@example.invalid>",
                "ed25519",
                "sign",
                expiry,
            )
        fingerprint = (
            subprocess.run(cls.gpg + ["--with-colons", "--list-keys", "one"], capture_output=True, text=True)
            .stdout.split("fpr:::::::::")[1]
            .split(":")[0]
        )
        run("--quick-add-key", fingerprint, "ed25519", "sign", "never")
        cls.data = cls.work / "data"
        cls.data.write_text("sums\n")
        for key in ("one", "two", "expired"):
            (cls.work / f"{key}.asc").write_bytes(
                subprocess.run(cls.gpg + ["--armor", "--export", key], capture_output=True).stdout
            )
        cls.revocation = next(home.glob(f"openpgp-revocs.d/{fingerprint}.rev")).read_text().replace(":-----", "-----")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["gpgconf", "--homedir", str(cls.work / "gnupg"), "--kill", "all"], capture_output=True)
        cls.tmp.cleanup()

    def signed(self, *options, data=None):
        return subprocess.run(
            self.gpg + list(options) + ["-o", "-", str(data or self.data)], check=True, capture_output=True
        ).stdout

    def verdict(self, key, signature, data=b"sums\n"):
        check = self.work / "check"
        shutil.rmtree(check, ignore_errors=True)
        check.mkdir(mode=0o755)
        (check / "key").write_text(key)
        (check / "sig").write_bytes(signature)
        (check / "data").write_bytes(data)
        return openpgp.verify(check, openpgp.read_key(check, "key"), "key", "sig", "data", "SUMS")

    def test_verdicts(self):
        sandbox.mode()
        one, two = (self.work / "one.asc").read_text(), (self.work / "two.asc").read_text()
        detached = self.signed("--armor", "--detach-sign", "-u", "one")
        both = self.signed("--armor", "--detach-sign", "-u", "one", "-u", "two")
        for key, signature, data, good, problem in [
            (one, detached, b"sums\n", "one <one@example.invalid>", None),
            (one, self.signed("--detach-sign", "-u", "one"), b"sums\n", "one <one@example.invalid>", None),
            (one, both, b"sums\n", "one <one@example.invalid>", None),
            (two, detached, b"sums\n", None, "not signed by KEY"),
            (one, detached, b"other sums\n", None, "BAD signature"),
            (one, self.signed("--clearsign", "-u", "one"), b"sums\n", None, "BAD signature"),
            (one + self.revocation, detached, b"sums\n", None, "revoked"),
            (
                (self.work / "expired.asc").read_text(),
                self.signed(
                    "--faked-system-time",
                    f"{int(time.time()) - 5 * 43200}!",
                    "--armor",
                    "--detach-sign",
                    "-u",
                    "expired",
                ),
                b"sums\n",
                None,
                "expired",
            ),
        ]:
            with self.subTest(good=good, problem=problem):
                verdict = self.verdict(key, signature, data)
                self.assertEqual(verdict.good, good)
                self.assertTrue(
                    any(problem in p for p in verdict.problems) if problem else not verdict.problems, verdict.problems
                )
        self.assertEqual(len(self.verdict(one, both).others), 1)

    def test_not_a_key(self):
        sandbox.mode()
        check = self.work / "notkey"
        check.mkdir(mode=0o755)
        (check / "key").write_text("no key\n")
        with self.assertRaises(FormatError):
            openpgp.read_key(check, "key")


class Tools(unittest.TestCase):
    def test_setup_installs_them(self):
        """Every package the release program's commands need is on
        scripts/setup.sh's release line, which installs them."""
        setup = (Path(__file__).parent.parent / "scripts" / "setup.sh").read_text()
        line = setup[setup.index("\nrelease=(") + 10 :]
        listed = set(line[: line.index(")")].split())
        needed = {p for table in list(tools.NEEDED.values()) + list(tools.WANTED.values()) for p in table.values()}
        self.assertEqual(needed - listed, set())


class Archives(unittest.TestCase):
    def test_zip(self):
        def made(names):
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w") as archive:
                for name in names:
                    archive.writestr(name, b"x")
            return buffer.getvalue()

        self.assertEqual(list(zipfiles.read(made(["t/a.exe"]), "z")), ["t/a.exe"])
        for names, reason in [
            (["/abs"], "outside"),
            (["t/../../x"], "outside"),
            (["t\\..\\x"], "outside"),
            ([f"t/{i}" for i in range(zipfiles.MEMBER_LIMIT + 1)], "at most"),
        ]:
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
        claims[end + 10 : end + 12] = struct.pack("<H", 60000)
        zip64 = bytearray(one)
        zip64[end + 10 : end + 12] = b"\xff\xff"
        for data, reason in [
            (many, "claims 40000 members"),
            (bytes(claims), "claims 60000 members"),
            (bytes(zip64), "ZIP64"),
            (b"PK\x03\x04" + bytes(100), "no end record"),
        ]:
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
        data[22:26], data[central + 24 : central + 28] = struct.pack("<I", 10), struct.pack("<I", 10)
        tracemalloc.start()
        with self.assertRaises(FormatError):
            zipfiles.read(bytes(data), "z")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        self.assertLess(peak, 32 << 20)

    def test_tar_dates_every_member(self):
        """Every member is dated SOURCE_DATE_EPOCH, also one written before
        it: a commit dated ahead of the build's clock must not leave the
        build's own times in an archive."""
        with tempfile.TemporaryDirectory() as folder:
            Path(folder, "a").write_text("a")
            later = int(time.time()) + 365 * 86400
            made = subprocess.run(
                steps._tar_sorted(later) + ["-cf", "-", "-C", folder, "a"], capture_output=True, check=True
            )
            with tarfile.open(fileobj=io.BytesIO(made.stdout)) as archive:
                self.assertEqual(archive.getmember("a").mtime, later)


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

    def test_remove_deep(self):
        """A tree nested past Python's recursion limit, as a build can leave."""
        tmp = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", tmp])
        deep = os.open(tmp, os.O_RDONLY)
        for _ in range(sys.getrecursionlimit() + 100):
            os.mkdir("d", dir_fd=deep)
            deep, parent = os.open("d", os.O_RDONLY, dir_fd=deep), deep
            os.close(parent)
        os.close(deep)
        sandbox.remove(tmp)
        self.assertFalse(os.path.lexists(tmp))


class Places(unittest.TestCase):
    """Paths as they really lead, whatever their spelling: TREE's lock, and
    the links a release takes into its sources."""

    def test_one_lock_per_tree(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        os.mkdir(f"{tmp}/real")
        os.symlink("real", f"{tmp}/link")
        with mock.patch.dict(os.environ, {"XDG_RUNTIME_DIR": tmp}):
            spellings = (f"{tmp}/real/tree", f"/{tmp}/real/tree", f"{tmp}/link/tree")
            paths = {publish._lock_path(Path(os.path.abspath(spelling))) for spelling in spellings}
            self.assertEqual(len(paths), 1, paths)
            self.assertNotIn(publish._lock_path(Path(f"{tmp}/real/other")), paths)

    def test_links_leading_out(self):
        """copy_tree() takes a link only where it really leads inside."""
        for target, taken in [("a/b/u/../b", True), ("a/b/u/b/u/b/u/../../../../../../../etc", False)]:
            with self.subTest(target=target):
                tmp = Path(tempfile.mkdtemp())
                self.addCleanup(shutil.rmtree, tmp)
                (tmp / "s/a/b").mkdir(parents=True)
                (tmp / "s/a/b/u").symlink_to("..")
                (tmp / "s/x").symlink_to(target)
                if taken:
                    pipeline.copy_tree(tmp / "s", tmp / "t")
                else:
                    with self.assertRaises(UsageError):
                        pipeline.copy_tree(tmp / "s", tmp / "t")


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

        rename = os.rename

        def rename_then_signal(old, new, **kwargs):
            rename(old, new, **kwargs)
            if ".old." in str(new):
                os.kill(os.getpid(), signal.SIGTERM)

        previous = signal.signal(signal.SIGTERM, stop)
        self.addCleanup(signal.signal, signal.SIGTERM, previous)
        for swaps in (True, False):
            with self.subTest(swaps=swaps), tempfile.TemporaryDirectory() as tmp:
                (Path(tmp) / "stage").mkdir()
                (Path(tmp) / "stage" / "new").touch()
                (Path(tmp) / "tree").mkdir()
                (Path(tmp) / "tree" / "old").touch()
                folder = os.open(tmp, os.O_RDONLY | os.O_DIRECTORY)
                self.addCleanup(os.close, folder)
                with mock.patch.object(
                    publish, "_exchange", publish._exchange if swaps else lambda *_: False
                ), mock.patch.object(os, "rename", rename_then_signal):
                    try:
                        publish._take_place(folder, "stage", folder, "tree")
                    except Stop:
                        pass
                self.assertEqual(os.listdir(Path(tmp) / "tree"), ["new"])


if __name__ == "__main__":
    unittest.main()
