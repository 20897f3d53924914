#!/usr/bin/env bash
# Makes a release of the checked-out commit: every artifact the project ships,
# built from a clean export of the commit, byte for byte the same wherever and
# whenever it is made, with SHA256SUMS over them.
# Usage: scripts/release.sh DIR
#   DIR must not exist yet, or be empty; it appears only once complete.
# Environment:
#   SOURCE_DATE_EPOCH  every timestamp in the artifacts (default: the commit's)
#   SIGN_PKCS12, SIGN_PASSWORD  a .p12/.pfx file and its password: sign
#                      uptime-report.exe with Authenticode (osslsigncode)
set -euo pipefail
# Nothing of the caller's environment reaches the artifacts.
umask 022
export LC_ALL=C TZ=UTC

fail() { echo "release: $*" >&2; exit 1; }

(($# == 1)) || fail "usage: scripts/release.sh DIR"
out=$(realpath -m "$1")
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)

signing=
if [[ -n ${SIGN_PKCS12:-} ]]; then
  [[ -v SIGN_PASSWORD ]] || fail "SIGN_PKCS12 is set but SIGN_PASSWORD is not (set it empty for none)"
  [[ -r $SIGN_PKCS12 ]] || fail "cannot read SIGN_PKCS12: $SIGN_PKCS12"
  signing=1
fi

tools=(git cmake cpack ninja tar gzip dpkg-deb rpmbuild sha256sum /usr/bin/python3)
[[ -n $signing ]] && tools+=(osslsigncode)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing (bash scripts/setup.sh test installs what a release needs)"
done

changes=$(git -C "$repo" status --porcelain)
[[ -z $changes ]] || fail "the work tree has uncommitted changes; a release is of a commit:
$changes"
if [[ -e $out ]]; then
  [[ -d $out && -z $(ls -A "$out") ]] || fail "$out exists and is not an empty folder"
fi

commit=$(git -C "$repo" rev-parse HEAD)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}

# Everything is made in a folder beside DIR whose name says it is partial, and
# renamed to DIR at the end; a failure removes it.
mkdir -p "$(dirname "$out")"
stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").partial.XXXXXX")
work=$(mktemp -d)
trap 'rm -rf "$stage" "$work"' EXIT
artifacts=$stage/artifacts
mkdir "$artifacts"

# Runs a step with its output in a log, shown only when it fails.
step() {
  local what=$1
  shift
  "$@" >"$work/step.log" 2>&1 || fail "$what failed:
$(tail -n 40 "$work/step.log")"
}

# CPack stamps every member with SOURCE_DATE_EPOCH, but takes the archive's
# members in the order the file system lists them, which differs between
# file systems. Archives are rewritten: members in name order, the commit's
# time, root's ownership, plain modes, and gzip without a timestamp of its
# own.
repack_tgz() {
  local archive=$1 tree
  tree=$(mktemp -d "$work/tgz.XXXXXX")
  tar -xzf "$archive" -C "$tree"
  (cd "$tree" && tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --mode=u=rwX,go=rX --format=gnu -cf - -- *) | gzip -9n >"$archive"
}

# The .deb is rebuilt by dpkg-deb (members sorted, times clamped to
# SOURCE_DATE_EPOCH, owned by root) with an Installed-Size counted the way
# dpkg-gencontrol does, a KiB per directory: CPack adds up the directories'
# sizes on disk, which depend on the file system.
repack_deb() {
  local deb=$1 tree kib
  tree=$(mktemp -d "$work/deb.XXXXXX")
  dpkg-deb -R "$deb" "$tree/root"
  kib=$(cd "$tree/root" && find . -path ./DEBIAN -prune -o -type f -printf '%s\n' -o -printf '1024\n' |
    awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
  sed -i "s/^Installed-Size: .*/Installed-Size: $kib/" "$tree/root/DEBIAN/control"
  dpkg-deb --root-owner-group -Zxz --build "$tree/root" "$deb" >/dev/null
}

# A .zip, rewritten the same way: members in name order, the commit's time in
# UTC (zip keeps none before 1980), 755 for programs and 644 for the rest, no
# extra fields. With NAME FILE, member NAME's bytes are FILE's; with
# NAME alone, they are written to stdout instead and nothing is rewritten.
rezip() {
  /usr/bin/python3 - "$@" <<'EOF'
import sys, time, zipfile
archive, epoch, name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with zipfile.ZipFile(archive) as source:
    members = sorted(source.infolist(), key=lambda m: m.filename)
    contents = {m.filename: source.read(m) for m in members}
if len(sys.argv) == 4:
    sys.stdout.buffer.write(contents[name])
    sys.exit()
with open(sys.argv[4], "rb") as f:
    contents[name] = f.read()
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(archive, "w") as z:
    for member in members:
        info = zipfile.ZipInfo(member.filename, stamp)
        info.create_system = 3
        executable = (member.external_attr >> 16) & 0o111
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, contents[member.filename], compresslevel=9)
EOF
}

# Signs the .exe in place; the signing time is the commit's, so that signing
# is as reproducible as the rest. On any failure nothing is shipped.
sign_exe() {
  local exe=$1
  osslsigncode sign -pkcs12 "$SIGN_PKCS12" -readpass /dev/stdin -h sha256 \
    -n uptime-report -time "$SOURCE_DATE_EPOCH" -in "$exe" -out "$exe.signed" \
    >"$work/sign.log" 2>&1 <<<"$SIGN_PASSWORD" ||
    fail "signing uptime-report.exe failed: $(cat "$work/sign.log")"
  mv "$exe.signed" "$exe"
}

echo "Releasing $commit (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
src=$work/src
mkdir "$src"
git -C "$repo" archive --format=tar "$commit" | tar -x -C "$src"

# Every release build the project has a preset for: the visible configure
# presets that inherit "release", Windows first, so that a signing failure
# stops the release early.
mapfile -t presets < <(/usr/bin/python3 - "$src/CMakePresets.json" <<'PY'
import json, sys
presets = {p["name"]: p for p in json.load(open(sys.argv[1]))["configurePresets"]}
def parents(p):
    inherits = p.get("inherits", [])
    return [inherits] if isinstance(inherits, str) else inherits
def is_release(name):
    return name == "release" or any(is_release(n) for n in parents(presets[name]))
names = [n for n, p in presets.items() if not p.get("hidden") and is_release(n)]
print(*sorted(names, key=lambda n: n != "windows"), sep="\n")
PY
)

for preset in "${presets[@]}"; do
  echo "  building $preset"
  step "configuring $preset" cmake -S "$src" --preset "$preset" -DBUILD_TESTING=OFF
  step "building $preset" cmake --build "$src/build/$preset"
  step "packaging $preset" cpack --config "$src/build/$preset/CPackConfig.cmake" -B "$work/packages/$preset"
  for package in "$work/packages/$preset"/*.{deb,rpm,tar.gz,zip}; do
    [[ -e $package ]] || continue
    case $package in
      *.deb) repack_deb "$package" ;;
      *.tar.gz) repack_tgz "$package" ;;
      *.zip)
        exe=$(basename "$package" .zip)/uptime-report.exe
        rezip "$package" "$SOURCE_DATE_EPOCH" "$exe" >"$work/uptime-report.exe"
        if [[ -n $signing ]]; then sign_exe "$work/uptime-report.exe"; fi
        rezip "$package" "$SOURCE_DATE_EPOCH" "$exe" "$work/uptime-report.exe"
        ;;
    esac
    mv "$package" "$artifacts/"
  done
done
[[ -n $signing ]] || echo "  uptime-report.exe is unsigned: set SIGN_PKCS12 and SIGN_PASSWORD to sign it"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$src/build/native/CPackConfig.cmake")
[[ -n $version ]] || fail "no version in the native build's CPack configuration"
git -C "$repo" archive --format=tar --prefix="uptime-report-$version/" "$commit" |
  gzip -9n >"$artifacts/uptime-report-$version-source.tar.gz"

(cd "$artifacts" && sha256sum -- * >SHA256SUMS)
[[ -d $out ]] && rmdir "$out"
mv "$artifacts" "$out"
echo "Made in $out:"
(cd "$out" && stat -c '  %9s  %n' -- *)
