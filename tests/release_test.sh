#!/usr/bin/env bash
# Checks scripts/release.sh and scripts/verify-release.sh end to end. Two
# releases of the same commit, from two clones at different paths and file
# systems, the second under foreign build and git settings, umask, time zone
# and locale, both signed (Authenticode, OpenPGP) with throwaway keys, must
# give the same bytes. The release must verify, rebuilt from its source
# archive alone in another folder, and must not once an artifact or the sums
# are tampered with, the source is not the commit's, or its build reaches
# for the network. Refusals come before anything is built and leave nothing
# behind.
# Usage: release_test.sh SOURCE_DIR VERSION MAJOR MINOR [EMULATOR...]
set -u
src=$1 version=$2 major=$3 minor=$4
shift 4
emulator=("$@")
here=$(realpath "$(dirname "$0")")
work=$(mktemp -d)
# The second clone and its build go on another file system where there is
# one (tmpfs lists a folder in another order than ext4 does).
other=$(mktemp -d /dev/shm/release-test.XXXXXX 2>/dev/null || mktemp -d)
listener=
trap '[[ -n $listener ]] && kill "$listener"; rm -rf "$work" "$other"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The work tree as it stands, in a commit of its own made through a separate
# index, so that what is tested is what is checked out, and the real index
# and branches stay as they are.
export GIT_AUTHOR_NAME=release-test GIT_AUTHOR_EMAIL=release-test@example.invalid
export GIT_COMMITTER_NAME=release-test GIT_COMMITTER_EMAIL=release-test@example.invalid
snapshot() {
  local tree
  export GIT_INDEX_FILE=$work/index
  git -C "$src" read-tree HEAD && git -C "$src" add -A && tree=$(git -C "$src" write-tree) &&
    git -C "$src" commit-tree "$tree" -p HEAD -m "release test"
  unset GIT_INDEX_FILE
}
commit=$(snapshot) || fail "cannot commit the work tree"
commit_time=$(git -C "$src" log -1 --format=%ct "$commit")
a=$work/a/uptime-report b=$other/a/much/longer/path/uptime-report
for clone in "$a" "$b"; do
  git clone -q "$src" "$clone" && git -C "$clone" checkout -q --detach "$commit" ||
    fail "cannot clone $commit"
done

# Throwaway keys: a code-signing certificate, and OpenPGP keys made a day
# before the commit (gpg signs at the commit's time only with a key that
# existed then), one of them made after it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=uptime-report release test" -addext extendedKeyUsage=codeSigning \
  2>/dev/null &&
  openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" \
    -out "$work/signing.p12" -passout pass:throwaway || fail "cannot make a certificate"
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
openpgp_key() {
  local name=$1 created=$2
  gpg --batch --faked-system-time "$created!" --passphrase throwaway \
    --quick-gen-key "$name <$name@example.invalid>" ed25519 sign never 2>/dev/null &&
    gpg --batch --pinentry-mode loopback --passphrase throwaway --armor \
      --export-secret-keys "$name" >"$work/$name.sec" 2>/dev/null &&
    gpg --batch --armor --export "$name" >"$work/$name.pub" 2>/dev/null
}
openpgp_key release-key $((commit_time - 86400)) && openpgp_key other-key $((commit_time - 86400)) &&
  openpgp_key new-key $((commit_time + 86400)) || fail "cannot make OpenPGP keys"
unset GNUPGHOME
export SIGN_PKCS12=$work/signing.p12 SIGN_PASSWORD=throwaway
export SIGN_GPG_KEY=$work/release-key.sec SIGN_GPG_PASSPHRASE=throwaway
# Published here: the release writes its winget and Scoop manifests.
export RELEASE_URL=https://example.invalid/uptime-report/releases/$version

# A refusal: the reason on stderr, before anything is built, no DIR, and no
# partial folder beside it.
expect_refused() {
  local reason=$1 dir=$2
  shift 2
  "$@" >"$work/log" 2>&1 && fail "released despite $reason: $(cat "$work/log")"
  grep -q -- "$reason" "$work/log" || fail "no '$reason' in: $(cat "$work/log")"
  grep -q "^  building" "$work/log" && fail "'$reason' was found only after building: $(cat "$work/log")"
  [[ -e $dir ]] && fail "a refused release left $dir behind"
  [[ ! -d $(dirname "$dir") || -z $(find "$(dirname "$dir")" -maxdepth 1 -name '*.partial.*') ]] ||
    fail "a refused release left a partial folder beside $dir"
  return 0
}
release_a=(bash "$a/scripts/release.sh")
refused=$work/refused
touch "$a/stray-file"
expect_refused "uncommitted changes" "$refused" "${release_a[@]}" "$refused"
rm "$a/stray-file"
expect_refused "not a folder name" "$a/--version" bash -c "cd '$a' && bash scripts/release.sh --version"
expect_refused "is not an empty folder" "$refused" bash -c "cd '$a' && bash scripts/release.sh ."
# Times that zip (from 1980) or the signing time's UTCTime (to 2049) cannot
# hold, on either side of the range.
for epoch in abc 1.5 -1 0 315532799 2524608000 4500000000; do
  SOURCE_DATE_EPOCH=$epoch expect_refused "SOURCE_DATE_EPOCH must be" "$refused" "${release_a[@]}" "$refused"
done
for dir in "$work/with space/release" "$work/ü/release"; do
  expect_refused "use a plainer path" "$dir" "${release_a[@]}" "$dir"
done
SIGN_GPG_PASSPHRASE=wrong expect_refused "SIGN_GPG_PASSPHRASE" "$refused" "${release_a[@]}" "$refused"
SIGN_GPG_KEY=$work/new-key.sec expect_refused "older than the commit" "$refused" \
  "${release_a[@]}" "$refused"
RELEASE_URL=$'https://example.invalid/x\nCommit: 0' expect_refused "RELEASE_URL must be" "$refused" "${release_a[@]}" "$refused"
SIGN_PASSWORD=wrong expect_refused "PKCS#12" "$refused" "${release_a[@]}" "$refused"
SIGN_PKCS12=$work/cert.pem expect_refused "PKCS#12" "$refused" "${release_a[@]}" "$refused"

(umask 022 && TZ=UTC LC_ALL=C "${release_a[@]}" "$work/release-a") >"$work/log" 2>&1 ||
  fail "release: $(cat "$work/log")"
# The second release, into an existing empty folder, with the caller's build
# and git settings as foreign as they come: none may reach the artifacts.
mkdir -m 2775 "$work/release-b"
(umask 077 && cd "$b" && TZ=Pacific/Chatham LC_ALL=C.UTF-8 TMPDIR=$other \
  LDFLAGS=-Wl,--build-id=sha1 CXXFLAGS=-O0 CFLAGS=-O0 CMAKE_BUILD_TYPE=Debug \
  GIT_CONFIG_COUNT=2 GIT_CONFIG_KEY_0=core.autocrlf GIT_CONFIG_VALUE_0=true \
  GIT_CONFIG_KEY_1=tar.umask GIT_CONFIG_VALUE_1=0077 \
  bash scripts/release.sh "$work/release-b") >"$work/log" 2>&1 || fail "second release: $(cat "$work/log")"
[[ $(stat -c %a "$work/release-b") == 2775 ]] || fail "the existing DIR lost its mode"

if ! cmp -s "$work/release-a/SHA256SUMS" "$work/release-b/SHA256SUMS" ||
  ! cmp -s "$work/release-a/SHA256SUMS.asc" "$work/release-b/SHA256SUMS.asc"; then
  for file in "$work/release-a"/*; do
    name=$(basename "$file")
    cmp -s "$file" "$work/release-b/$name" && continue
    echo "$name differs:"
    diffoscope "$file" "$work/release-b/$name" 2>&1 | head -n 60
  done
  fail "two releases of one commit differ"
fi

cd "$work/release-a" || fail "no release"
expected=(SHA256SUMS SHA256SUMS.asc BUILDINFO "uptime-report-$version.spdx.json"
  "uptime-report-$version-source.tar.gz" UptimeReport.UptimeReport.yaml
  UptimeReport.UptimeReport.installer.yaml UptimeReport.UptimeReport.locale.en-US.yaml
  uptime-report.json)
for arch in x86 x64 arm64; do
  expected+=("uptime-report-$version-windows-$arch.zip")
done
for arch in amd64 arm64 armel armhf i386 ppc64el s390x mips64el mipsel; do
  expected+=("uptime-report_${version}_$arch.deb" "uptime-report-$version-linux-$arch.tar.gz")
done
for arch in x86_64 aarch64 ppc64le s390x; do
  expected+=("uptime-report-$version-1.$arch.rpm")
done
[[ $(printf '%s\n' "${expected[@]}" | sort) == $(ls) ]] ||
  fail "expected exactly ${expected[*]}, found: $(ls)"

lintian --fail-on error ./*.deb >"$work/log" 2>&1 || fail "lintian: $(cat "$work/log")"
# Signed, the .rpm packages pass rpmlint with no filter for a missing
# signature: its signature check reads the key from an rpm database of the
# test's own.
mkdir "$work/home" && echo "%_dbpath $work/rpmdb" >"$work/home/.rpmmacros"
HOME=$work/home rpmkeys --import "$work/release-key.pub" &&
  HOME=$work/home rpmlint -c "$src/packaging/rpmlint.toml" ./*.rpm >"$work/log" 2>&1 ||
  fail "rpmlint: $(cat "$work/log")"

# The SPDX document lists every artifact with the checksum SHA256SUMS gives.
/usr/bin/python3 - "uptime-report-$version.spdx.json" <<'PY' || fail "the SPDX document"
import json, sys
sums = dict(reversed(line.split("  ", 1)) for line in open("SHA256SUMS").read().splitlines())
document = json.load(open(sys.argv[1]))
assert document["spdxVersion"] == "SPDX-2.3", document["spdxVersion"]
listed = {p["packageFileName"]: p["checksums"][0]["checksumValue"]
          for p in document["packages"] if "packageFileName" in p}
expected = {name: digest for name, digest in sums.items()
            if not name.endswith(".spdx.json") and name != "BUILDINFO"}
assert listed == expected, (sorted(listed.items() ^ expected.items()))
names = {p["name"] for p in document["packages"]}
assert {"musl", "libgcc"} <= names and "mingw-w64 runtime" not in names, names
PY

# The winget and Scoop manifests: every field, each hash against its .zip,
# each nested path against the .zip's members.
/usr/bin/python3 - "$version" "$RELEASE_URL" <<'PY' || fail "the winget and Scoop manifests"
import hashlib, json, sys, zipfile
import yaml
version, url = sys.argv[1:]
load = lambda name: yaml.safe_load(open(f"UptimeReport.UptimeReport.{name}yaml"))
digest = lambda name: hashlib.sha256(open(name, "rb").read()).hexdigest()
common = {"PackageIdentifier": "UptimeReport.UptimeReport", "PackageVersion": version,
          "ManifestVersion": "1.6.0"}
versions, installer, locale = load(""), load("installer."), load("locale.en-US.")
assert versions == {**common, "DefaultLocale": "en-US", "ManifestType": "version"}, versions
assert locale == {**common, "PackageLocale": "en-US", "Publisher": "The uptime-report developers",
                  "PackageName": "uptime-report", "License": "MIT", "ManifestType": "defaultLocale",
                  "ShortDescription": "Prints how long the system has been running"}, locale
for key, value in {**common, "ManifestType": "installer", "InstallerType": "zip",
                   "NestedInstallerType": "portable"}.items():
    assert installer[key] == value, (key, installer[key])
scoop = json.load(open("uptime-report.json"))
assert {k: scoop[k] for k in ("version", "license", "bin")} == {
    "version": version, "license": "MIT", "bin": "uptime-report.exe"}, scoop
assert scoop["description"] and scoop["homepage"].startswith("https://"), scoop
assert [i["Architecture"] for i in installer["Installers"]] == ["x86", "x64", "arm64"]
assert sorted(scoop["architecture"]) == ["32bit", "64bit", "arm64"], scoop["architecture"]
for entry, scoop_arch in zip(installer["Installers"], ["32bit", "64bit", "arm64"]):
    name = f"uptime-report-{version}-windows-{entry['Architecture']}.zip"
    members = zipfile.ZipFile(name).namelist()
    assert entry["InstallerUrl"] == f"{url}/{name}", entry
    assert entry["InstallerSha256"] == digest(name).upper(), entry
    [nested] = entry["NestedInstallerFiles"]
    assert nested["PortableCommandAlias"] == "uptime-report", nested
    assert nested["RelativeFilePath"].replace("\\", "/") in members, (nested, members)
    scoop_entry = scoop["architecture"][scoop_arch]
    assert scoop_entry["url"] == entry["InstallerUrl"] and scoop_entry["hash"] == digest(name)
    assert f"{scoop_entry['extract_dir']}/{scoop['bin']}" in members, (scoop_entry, members)
PY

# Each .exe signed, whole, and for its machine; the x64 one prints its line.
for arch in x86 x64 arm64; do
  top=uptime-report-$version-windows-$arch
  unzip -q "$top.zip" -d "$work/zip"
  exe=$work/zip/$top/uptime-report.exe
  osslsigncode verify -in "$exe" -CAfile "$work/cert.pem" >"$work/log" 2>&1 ||
    fail "signature of $top.zip's .exe: $(cat "$work/log")"
  /usr/bin/python3 "$here/exe_check.py" "$exe" "$version" "$major" "$minor" "$arch" ||
    fail "the signed $arch .exe's metadata"
done
bash "$here/report_test.sh" shape "${emulator[@]}" "$work/zip/uptime-report-$version-windows-x64/uptime-report.exe" ||
  fail "the signed x64 .exe as released"

# Copies of the release, altered and checked by the verifier: run from the
# source repository, which holds the commit, or from a copy of the scripts
# outside any repository, which does not.
verify() { (cd "$other" && VERIFY_CA_FILE=$work/cert.pem bash "$src/scripts/verify-release.sh" "$@"); }
scripts_copy=$work/verifier\ copy/scripts
mkdir -p "$scripts_copy" && cp "$src"/scripts/{release.sh,release_tools.py,verify-release.sh} "$scripts_copy/"
verify_copy() { (cd "$other" && VERIFY_CA_FILE=$work/cert.pem bash "$scripts_copy/verify-release.sh" "$@"); }
# Runs a verification; its exit status must be STATUS, and every PATTERN
# (a grep -E pattern) must be in what it says.
expect_verdict() {
  local status=$1 patterns=() pattern
  shift
  while [[ $1 != -- ]]; do patterns+=("$1"); shift; done
  shift
  "$@" >"$work/log" 2>&1
  (($? == status)) || fail "$* did not exit with $status: $(cat "$work/log")"
  for pattern in "${patterns[@]}"; do
    grep -qE -- "$pattern" "$work/log" || fail "no '$pattern' from $*: $(cat "$work/log")"
  done
}
redo_sums() {
  (cd "$1" && sed -n 's/^[0-9a-f]\{64\}  //p' SHA256SUMS >"$work/names" && xargs -d '\n' sha256sum <"$work/names" >SHA256SUMS.new &&
    mv SHA256SUMS.new SHA256SUMS) || fail "cannot redo the sums in $1"
}
sign_sums() {
  rm -f "$1/SHA256SUMS.asc"
  GNUPGHOME=$work/gnupg gpg --batch --pinentry-mode loopback --passphrase throwaway \
    --local-user "$2" --armor --detach-sign -o "$1/SHA256SUMS.asc" "$1/SHA256SUMS" 2>/dev/null ||
    fail "cannot sign with $2"
}
# Runs a command inside the copy's unpacked source archive, and packs it again.
alter_source() {
  local copy=$1 archive=$1/uptime-report-$version-source.tar.gz
  shift
  rm -rf "$work/unpacked" && mkdir "$work/unpacked" && tar -xzf "$archive" -C "$work/unpacked" &&
    (cd "$work/unpacked/uptime-report-$version" && "$@") &&
    tar -czf "$archive" -C "$work/unpacked" "uptime-report-$version" || fail "cannot alter the source"
}
copy_release() { rm -rf "$1" && cp -a "$work/release-a" "$1" && rm "$1/SHA256SUMS.asc"; }
# What appears at / meanwhile, but for /nonexistent, which releases by
# older scripts (run elsewhere on the machine) made their HOME.
ls -A / >"$work/root-before"
new_at_root() { ls -A / | comm -13 "$work/root-before" - | grep -vx nonexistent; }

# A verifier that cannot make its work folder stops, saying why, and makes
# nothing at /. (/nonexistent itself may exist, for the reason above.)
(cd "$other" && TMPDIR=/nonexistent/tmp bash "$src/scripts/verify-release.sh" "$work/release-a") \
  >"$work/log" 2>&1
(($? == 2)) && grep -q "cannot make a temporary folder" "$work/log" ||
  fail "a TMPDIR that does not exist: $(cat "$work/log")"
[[ -z $(new_at_root) ]] || fail "a TMPDIR that does not exist made files at /: $(new_at_root)"

# Verified from another folder, rebuilt from the source archive alone.
expect_verdict 0 "holds exactly commit $commit's files" "^VERIFIED" -- \
  verify "$work/release-a" "$work/release-key.pub"

# A second rebuilder: the same artifacts, made where one recorded package had
# another version, one more was installed and one was missing. Signed by the
# project, it verifies, with each difference named.
drift=$work/drift
copy_release "$drift"
sed -i -e 's/^ dpkg (= [^)]*)/ dpkg (= 1.0-drift)/' -e '/^ libmagic1:/d' \
  -e 's/^Installed-Build-Depends:$/&\n aaa-extra (= 2.0),/' "$drift/BUILDINFO"
redo_sums "$drift" && sign_sums "$drift" release-key
expect_verdict 0 "note  dpkg: 1.0-drift in the release, [^ ]+ here" \
  "note  aaa-extra 2.0 is in the release's BUILDINFO, not in the rebuild's" \
  "note  libmagic1:[a-z0-9]+ .* is in the rebuild's BUILDINFO, not in the release's" "^VERIFIED" -- \
  verify "$drift" "$work/release-key.pub"

# An archive from altered source, signed with the project's key, fails
# against the commit, which names the file. The key is given in binary: it
# checks the .rpm packages too.
altered=$work/altered
copy_release "$altered"
alter_source "$altered" sh -c 'echo "// altered" >>src/modMain.h'
redo_sums "$altered" && sign_sums "$altered" release-key
GNUPGHOME=$work/gnupg gpg --batch --export release-key >"$work/release-key.gpg" 2>/dev/null ||
  fail "cannot export the key in binary"
expect_verdict 1 "ok    uptime-report-$version-1.x86_64.rpm is signed by KEY" \
  "src/modMain.h: its content differs" "^NOT VERIFIED" -- verify "$altered" "$work/release-key.gpg"

# The fake: one byte of two artifacts changed, the archive's release.sh
# replaced by one that copies the published files and writes outside its
# folder, the sums redone. Without a key, from the repository, the source
# fails. Signed by another key and checked from a copy of the scripts, the
# signature holds for that key, and the rebuild (by the copy's own
# release.sh) names both artifacts. The replaced script never runs.
fake="$work/fake release ü"
outside=$work/written-outside
copy_release "$fake"
printf '\x01' | dd of="$fake/uptime-report-$version-linux-armel.tar.gz" bs=1 seek=100 \
  conv=notrunc 2>/dev/null
printf '\x01' | dd of="$fake/uptime-report_${version}_amd64.deb" bs=1 seek=2000 conv=notrunc 2>/dev/null
cat >"$work/fake-release.sh" <<EOF
#!/bin/sh
mkdir -p "\$1" && cp "\$SIGNATURES_FROM"/* "\$1" && touch $outside
EOF
alter_source "$fake" cp "$work/fake-release.sh" scripts/release.sh
redo_sums "$fake"
expect_verdict 1 "note  no KEY given" "its signature was not checked \(no KEY given\)" \
  "scripts/release.sh: its content differs" "^NOT VERIFIED" -- verify "$fake"
sign_sums "$fake" other-key
expect_verdict 1 'SHA256SUMS is signed by "other-key' "the source was not checked against the repository" \
  "FAIL  uptime-report-$version-linux-armel.tar.gz differs" \
  "FAIL  uptime-report_${version}_amd64.deb differs" "^NOT VERIFIED" -- \
  verify_copy "$fake" "$work/other-key.pub"
[[ -e $outside ]] && fail "the archive's release.sh ran"

# A build that reaches for the network, and writes outside its folder, fails
# in the sandbox: the listener hears nothing, and nothing is written.
/usr/bin/python3 -c '
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
open(sys.argv[1] + ".new", "w").write(str(server.getsockname()[1]))
__import__("os").rename(sys.argv[1] + ".new", sys.argv[1])
while True:
    server.accept()[0].close()
    open(sys.argv[2], "a").write("connected\n")
' "$work/port" "$work/heard" &
listener=$!
for _ in $(seq 50); do [[ -f $work/port ]] && break; sleep 0.1; done
[[ -f $work/port ]] || fail "the listener did not start"
networked=$work/networked
copy_release "$networked"
cat >"$work/networked.cmake" <<EOF
execute_process(COMMAND touch $outside)
execute_process(COMMAND /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $(cat "$work/port")), 5)"
                RESULT_VARIABLE refused)
if(refused)
  message(FATAL_ERROR "no network")
endif()
EOF
alter_source "$networked" sh -c "cat '$work/networked.cmake' CMakeLists.txt >CMakeLists.txt.new && mv CMakeLists.txt.new CMakeLists.txt"
redo_sums "$networked"
expect_verdict 1 "the rebuild failed" "no network" "^NOT VERIFIED" -- verify_copy "$networked"
[[ -e $work/heard ]] && fail "a build in the sandbox reached the network"
[[ -e $outside ]] && fail "a build in the sandbox wrote outside its folder"
[[ -z $(new_at_root) ]] || fail "a verification left files at /: $(new_at_root)"

# Edited sums fail on their signature; a file they do not list fails, even
# a hidden one.
cp -a "$work/release-a" "$work/edited" && echo "# edited" >>"$work/edited/SHA256SUMS"
verify "$work/edited" "$work/release-key.pub" >"$work/log" 2>&1 && fail "edited sums verified"
grep -q "SHA256SUMS.asc is not a good signature" "$work/log" ||
  fail "edited sums did not fail on the signature: $(cat "$work/log")"
cp -a "$work/release-a" "$work/hidden" && touch "$work/hidden/.extra"
expect_verdict 1 "FAIL  .extra is not in SHA256SUMS" -- verify "$work/hidden" "$work/release-key.pub"
# A fifo, or a link to /dev/zero, in an artifact's place fails before
# sha256sum would wait or read for ever.
artifact=uptime-report_${version}_i386.deb
for kind in fifo link; do
  odd=$work/odd-$kind
  cp -a "$work/release-a" "$odd" && rm "$odd/$artifact" || fail "cannot copy the release"
  if [[ $kind == fifo ]]; then mkfifo "$odd/$artifact"; else ln -s /dev/zero "$odd/$artifact"; fi
  expect_verdict 1 "FAIL  $artifact is not a plain file" -- verify "$odd" "$work/release-key.pub"
done
# The project's key, revoked: its signature fails, since the signer sets a
# release's signing time.
fingerprint=$(GNUPGHOME=$work/gnupg gpg --batch --with-colons --list-keys release-key 2>/dev/null |
  awk -F: '/^fpr/ { print $10; exit }')
sed 's/^:-----/-----/' "$work/gnupg/openpgp-revocs.d/$fingerprint.rev" | cat "$work/release-key.pub" - \
  >"$work/revoked-key.pub" || fail "cannot revoke the key"
expect_verdict 1 "signed by a key of KEY that is revoked or expired" "^NOT VERIFIED" -- \
  verify "$work/release-a" "$work/revoked-key.pub"
# A source archive holding gigabytes of zeros, megabytes packed, is refused
# before it is read into memory or unpacked.
huge=$work/huge
copy_release "$huge"
alter_source "$huge" truncate -s 300M huge
redo_sums "$huge"
expect_verdict 1 "unpacks to more than 256 MiB" "^NOT VERIFIED" -- verify "$huge"
rm -rf "$huge" "$work/unpacked"
# Symbolic links that lead out of the archive, directly or through another
# link (x/l/.. with x/l a link to ..), are refused.
for links in "ln -s /etc x/l" "ln -s ../.. x/l" "ln -s .. x/l && ln -s x/l/.. l2"; do
  rm -rf "$work/links" && mkdir -p "$work/links/top/x" &&
    (cd "$work/links/top" && sh -c "$links" && tar -czf ../links.tar.gz -C .. top) || fail "cannot make links"
  /usr/bin/python3 "$src/scripts/release_tools.py" check-archive "$work/links/links.tar.gz" \
    "$work/release-a/BUILDINFO" "$work/release-a/uptime-report-$version.spdx.json" >"$work/log" 2>&1 &&
    fail "an archive with $links passed"
  grep -q "leading out of the archive" "$work/log" || fail "$links: $(cat "$work/log")"
done

# The signed release as APT and DNF repositories, taken by apt and dnf.
bash "$here/repo_test.sh" "$src" "$work/release-a" "$work" || fail "the repositories"
exit 0
