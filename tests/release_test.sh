#!/usr/bin/env bash
# Checks scripts/release.sh end to end. Two releases of the same commit, from
# two clones at different paths, at different times, under a different umask,
# time zone and locale, both signed with a throwaway certificate, must give
# the same bytes; the signed .exe must verify, keep its metadata and run. A
# wrong password or uncommitted changes must fail and leave no DIR.
# Usage: release_test.sh SOURCE_DIR VERSION MAJOR MINOR [EMULATOR...]
set -u
src=$1 version=$2 major=$3 minor=$4
shift 4
emulator=("$@")
here=$(dirname "$0")
work=$(mktemp -d)
# The second clone and its build go on another file system where there is
# one (tmpfs lists a folder in another order than ext4 does).
other=$(mktemp -d /dev/shm/release-test.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work" "$other"' EXIT
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
a=$work/a/uptime-report b=$other/a/much/longer/path/uptime-report
for clone in "$a" "$b"; do
  git clone -q "$src" "$clone" && git -C "$clone" checkout -q --detach "$commit" ||
    fail "cannot clone $commit"
done

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=uptime-report release test" -addext extendedKeyUsage=codeSigning \
  2>/dev/null &&
  openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" \
    -out "$work/signing.p12" -passout pass:throwaway || fail "cannot make a certificate"
export SIGN_PKCS12=$work/signing.p12 SIGN_PASSWORD=throwaway

# Failures: the reason on stderr, no DIR.
expect_refused() {
  local reason=$1 dir=$2
  shift 2
  "$@" >"$work/log" 2>&1 && fail "released despite $reason: $(cat "$work/log")"
  grep -q "$reason" "$work/log" || fail "no '$reason' in: $(cat "$work/log")"
  [[ -e $dir ]] && fail "a failed release left $dir behind"
  return 0
}
touch "$a/stray-file"
expect_refused "uncommitted changes" "$work/refused" bash "$a/scripts/release.sh" "$work/refused"
rm "$a/stray-file"
SIGN_PASSWORD=wrong expect_refused "PKCS#12" "$work/refused" \
  bash "$a/scripts/release.sh" "$work/refused"

(umask 022 && TZ=UTC LC_ALL=C bash "$a/scripts/release.sh" "$work/release-a") >"$work/log" 2>&1 ||
  fail "release: $(cat "$work/log")"
(umask 077 && TZ=Pacific/Chatham LC_ALL=C.UTF-8 TMPDIR=$other \
  bash "$b/scripts/release.sh" "$work/release-b") \
  >"$work/log" 2>&1 || fail "second release: $(cat "$work/log")"

if ! cmp -s "$work/release-a/SHA256SUMS" "$work/release-b/SHA256SUMS"; then
  for file in "$work/release-a"/*; do
    name=$(basename "$file")
    cmp -s "$file" "$work/release-b/$name" && continue
    echo "$name differs:"
    diffoscope "$file" "$work/release-b/$name" 2>&1 | head -n 60
  done
  fail "two releases of one commit differ"
fi

cd "$work/release-a" || fail "no release"
sha256sum --quiet -c SHA256SUMS || fail "sha256sum -c"
expected=(SHA256SUMS "uptime-report-$version-source.tar.gz" "uptime-report-$version-win64.zip")
for arch in amd64 arm64 armel armhf i386 ppc64el s390x mips64el mipsel; do
  expected+=("uptime-report_${version}_$arch.deb" "uptime-report-$version-linux-$arch.tar.gz")
done
for arch in x86_64 aarch64 ppc64le s390x; do
  expected+=("uptime-report-$version-1.$arch.rpm")
done
[[ $(printf '%s\n' "${expected[@]}" | sort) == $(ls) ]] ||
  fail "expected exactly ${expected[*]}, found: $(ls)"

lintian --fail-on error ./*.deb >"$work/log" 2>&1 || fail "lintian: $(cat "$work/log")"
rpmlint -c "$src/packaging/rpmlint.toml" -r "$src/packaging/unsigned.rpmlintrc" ./*.rpm \
  >"$work/log" 2>&1 || fail "rpmlint: $(cat "$work/log")"

unzip -q "uptime-report-$version-win64.zip" -d "$work/zip"
exe=$work/zip/uptime-report-$version-win64/uptime-report.exe
osslsigncode verify -in "$exe" -CAfile "$work/cert.pem" >"$work/log" 2>&1 ||
  fail "signature: $(cat "$work/log")"
/usr/bin/python3 "$here/exe_check.py" "$exe" "$version" "$major" "$minor" ||
  fail "the signed .exe's metadata"
bash "$here/report_test.sh" shape "${emulator[@]}" "$exe" || fail "the signed .exe as released"
