#!/usr/bin/env bash
# Checks a release's OCI image and pacman packages as their users take them:
# each pacman package holds its .deb's program, byte for byte, its manual
# page and licences; the image's index is the release's index file, listed
# in SHA256SUMS; skopeo takes each machine's image out of the archive, umoci
# unpacks it, and its program runs from the unpacked root (natively, and
# under qemu for arm64 and riscv64) and reports the time since boot that
# /proc/uptime gives; the root holds nothing else, and runs as nobody.
# podman loads the archive and runs it where this machine lets it.
# Usage: image_test.sh RELEASE_DIR SOURCE_DIR
set -u
release=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^Version: //p' "$release/BUILDINFO")
archive=$release/uptime-report-$version-oci.tar index=$release/uptime-report-$version-oci-index.json
deb_program() { dpkg-deb --fsys-tarfile "$release/uptime-report_${version}_$1.deb" | tar -xO ./usr/bin/uptime-report; }

# Each machine's Debian, pacman and OCI names.
mapfile -t lines < <(/usr/bin/python3 -c '
import sys
sys.path.insert(0, sys.argv[1])
from uptime_release import tables
table = tables.read()
for line in table.linux:
    print(line.name, line.pacman or "-", line.oci or "-", table.program(line).qemu)
' "$src/scripts")
for line in "${lines[@]}"; do
  read -r arch pacman oci qemu <<<"$line"
  [[ $pacman == - ]] && continue
  package=$(echo "$release"/uptime-report-*-"$pacman".pkg.tar.zst)
  tar --zstd -xOf "$package" usr/bin/uptime-report >"$work/program" && deb_program "$arch" >"$work/deb" &&
    cmp -s "$work/program" "$work/deb" || fail "$package does not hold the program of the $arch .deb"
  tar --zstd -tf "$package" >"$work/list" || fail "cannot list $package"
  for member in usr/share/licenses/uptime-report/LICENSE usr/share/licenses/uptime-report/NOTICES \
    usr/share/man/man1/uptime-report.1.gz .PKGINFO .BUILDINFO .MTREE; do
    grep -qx "$member" "$work/list" || fail "$package holds no $member"
  done
done

# The release's index file is the image's index: its SHA-256, which
# SHA256SUMS lists, is the digest the archive names.
digest=$(sha256sum "$index" | cut -d' ' -f1)
grep -q "^$digest  ${index##*/}$" "$release/SHA256SUMS" || fail "SHA256SUMS does not list the index"
tar -xOf "$archive" index.json | grep -q "\"sha256:$digest\"" || fail "the archive's index.json names another index"
cmp -s <(tar -xOf "$archive" "blobs/sha256/$digest") "$index" || fail "the archive's index is not the index file"

# COMMAND's report line must give a time since boot between two readings
# of /proc/uptime, one before it and one after (to their hundredths).
reports_uptime() { # reports_uptime LABEL COMMAND...
  local before after line ms
  before=$(cut -d' ' -f1 /proc/uptime)
  line=$("${@:2}") || fail "$1 failed"
  after=$(cut -d' ' -f1 /proc/uptime)
  [[ $line =~ ^System\ Uptime:\ ([0-9]+)\ Days,\ ([0-9]+)\ Hours,\ ([0-9]+)\ Mins,\ ([0-9]+)\ Seconds,\ ([0-9]+)\ Miliseconds$'\r'$ ]] ||
    fail "$1 wrote: $line"
  ms=$(((((BASH_REMATCH[1] * 24 + BASH_REMATCH[2]) * 60 + BASH_REMATCH[3]) * 60 + BASH_REMATCH[4]) * 1000 + BASH_REMATCH[5]))
  ((ms >= 10#${before/./} * 10 && ms <= 10#${after/./} * 10 + 10)) ||
    fail "$1 reports $ms ms since boot, /proc/uptime ${before}s to ${after}s"
}

# One platform natively, two under qemu.
for line in "${lines[@]}"; do
  read -r arch pacman oci qemu <<<"$line"
  case $arch in
    amd64) run=() ;;
    arm64 | riscv64) run=("qemu-$qemu") ;;
    *) continue ;;
  esac
  platform=(--override-arch "${oci%/*}")
  [[ $oci == */* ]] && platform+=(--override-variant "${oci#*/}")
  skopeo copy -q "${platform[@]}" "oci-archive:$archive:uptime-report:$version" "oci:$work/$arch:image" \
    >"$work/log" 2>&1 || fail "skopeo cannot take the $oci image: $(cat "$work/log")"
  umoci unpack --rootless --image "$work/$arch:image" "$work/bundle-$arch" >"$work/log" 2>&1 ||
    fail "umoci cannot unpack the $oci image: $(cat "$work/log")"
  rootfs=$work/bundle-$arch/rootfs
  [[ $(cd "$rootfs" && find . -type f -o -type l | sort | tr '\n' ' ') == \
    "./usr/bin/uptime-report ./usr/share/licenses/uptime-report/LICENSE ./usr/share/licenses/uptime-report/NOTICES " ]] ||
    fail "the $oci image holds more or less than the program and its licences: $(cd "$rootfs" && find .)"
  /usr/bin/python3 -c '
import json, sys
process = json.load(open(sys.argv[1]))["process"]
assert process["args"] == ["/usr/bin/uptime-report"], process["args"]
assert (process["user"]["uid"], process["user"]["gid"]) == (65534, 65534), process["user"]
' "$work/bundle-$arch/config.json" || fail "the $oci image's entry point or user"
  deb_program "$arch" | cmp -s - "$rootfs/usr/bin/uptime-report" || fail "the $oci image's program is not the .deb's"
  reports_uptime "the $oci image's program" "${run[@]}" "$rootfs/usr/bin/uptime-report"
done

# podman: loaded, it names the image by its version and its index's
# digest; run, it reports the host's uptime. A container without the rights
# to start containers (no CAP_SYS_RESOURCE for the limits it sets, cgroups
# that crun cannot use) is said, and skipped.
# podman runs the image with its own runtime, crun, or else with runc and
# limits below the machine's own: in a container without CAP_SYS_RESOURCE,
# crun cannot set podman's default limits, nor use a hybrid cgroup tree. A
# machine where neither starts a container (or podman stores no image, as
# in a chroot) is named with podman's reason, and skipped; an image whose
# entry point cannot run fails.
store=(--root "$work/podman" --runroot "$work/podman-run" --tmpdir "$work/podman-tmp")
if ! command -v podman >/dev/null; then
  echo "SKIP podman: not installed"
elif ! podman "${store[@]}" load -i "$archive" >"$work/log" 2>&1; then
  echo "SKIP podman: it cannot load images here: $(tail -n 1 "$work/log")"
else
  podman "${store[@]}" image inspect --format '{{.Digest}}' "uptime-report:$version" 2>&1 | grep -qx "sha256:$digest" ||
    fail "podman does not know the image by its index's digest"
  run=(podman "${store[@]}" run --rm)
  "${run[@]}" "uptime-report:$version" >"$work/log" 2>&1 ||
    run=(podman "${store[@]}" --runtime runc run --rm --ulimit nofile=1024:1024 --ulimit nproc=1024:1024)
  if "${run[@]}" "uptime-report:$version" >>"$work/log" 2>&1; then
    reports_uptime "podman run" "${run[@]}" "uptime-report:$version"
  elif grep -Eq 'executable|exec format|no such file' "$work/log"; then
    fail "podman run: $(cat "$work/log")"
  else
    echo "SKIP podman run: this machine does not let podman start a container: $(tr '\n' ' ' <"$work/log")"
  fi
  podman "${store[@]}" rmi -a >/dev/null 2>&1
fi
exit 0
