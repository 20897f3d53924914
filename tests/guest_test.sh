#!/usr/bin/env bash
# Runs workflow presets and checks that they leave the home folder, /tmp,
# /var/tmp and /dev/shm as they found them: the tests write only into
# build/, but for the release roots' cache. The workflows run with the four
# of their own, empty, in a mount namespace (and a user namespace when not
# root), so that nothing else on the machine mixes in: folders of build/guest
# bound in place, and a tmpfs for /dev/shm, which stays a file system of its
# own. The roots' cache, where it lies in the home, is the real one, bound
# into the empty home. Whatever the run leaves in them fails the check,
# listed.
# Usage: tests/guest_test.sh PRESET...
# Exit status: 0 the workflows passed and left nothing; 1 a workflow failed
# or left something; 77 no mount namespace can be made here.
set -u
(($#)) || { echo "usage: tests/guest_test.sh PRESET..." >&2; exit 2; }
for preset in "$@"; do
  [[ -n $preset && $preset != -* ]] || { echo "usage: tests/guest_test.sh PRESET..." >&2; exit 2; }
done
[[ -d $HOME && $HOME != / ]] || { echo "guest: HOME ($HOME) is no folder of its own" >&2; exit 2; }
cd "$(dirname "$0")/.." || exit 2

# The roots' cache: /var/cache/uptime-report/roots as root,
# ~/.cache/uptime-report/roots otherwise, or UPTIME_REPORT_ROOTS.
cache=${UPTIME_REPORT_ROOTS:-}
((EUID == 0)) || cache=${cache:-$HOME/.cache/uptime-report/roots}

# A user who is not root mounts as root of a user namespace of their own,
# and runs the workflows as themselves again, in one nested inside it: as
# root, the tests would run what only root runs.
if [[ -z ${GUEST_TEST_USER:-} ]]; then
  namespace=(unshare --mount --propagation private)
  ((EUID == 0)) || namespace=(unshare --user --map-root-user --mount --propagation private)
  if ! reason=$("${namespace[@]}" true 2>&1); then
    echo "SKIP: no mount namespace here (${namespace[*]}: $reason)"
    exit 77
  fi
  GUEST_TEST_USER=$(id -u):$(id -g) GUEST_TEST_CACHE=$cache exec "${namespace[@]}" bash "$0" "$@"
fi
cache=$GUEST_TEST_CACHE
as_user=()
[[ $GUEST_TEST_USER == 0:* ]] ||
  as_user=(unshare --user --map-user="${GUEST_TEST_USER%:*}" --map-group="${GUEST_TEST_USER#*:}")

# Inside the namespace.
case $PWD/ in
  /tmp/* | /var/tmp/*) echo "guest: the checkout lies in a folder this check replaces: $PWD" >&2; exit 2 ;;
esac
work=$PWD/build/guest
rm -rf "$work" && mkdir -p "$work/home" "$work/tmp" "$work/var-tmp" &&
  chmod 1777 "$work/tmp" "$work/var-tmp" || exit 2

# What lies in the home and stays the real one: the roots' cache, and the
# checkout itself. Each is bound into the empty home before that takes the
# home's place; it, and the folders above it, are no leftovers.
kept=() allowed=()
keep() {
  local inside=$work/home/${1#"$HOME"/} path
  mkdir -p "$1" "$inside" && mount --bind "$1" "$inside" || exit 2
  kept+=(-path "$inside" -o)
  path=${inside%/*}
  while [[ $path != "$work/home" ]]; do
    allowed+=("$path")
    path=${path%/*}
  done
}
[[ $cache == "$HOME"/* ]] && keep "$cache"
[[ $PWD == "$HOME"/* ]] && keep "$PWD"
mount --rbind "$work/home" "$HOME" && mount --bind "$work/tmp" /tmp &&
  mount --bind "$work/var-tmp" /var/tmp && mount -t tmpfs -o mode=1777 guest /dev/shm || exit 2

failed=()
for preset in "$@"; do
  echo "=== $preset, with an empty home, /tmp, /var/tmp and /dev/shm"
  "${as_user[@]}" cmake --workflow --preset "$preset" || failed+=("$preset")
done

# What is left, the roots' cache and the folders above it aside.
mapfile -t left < <(find "$work/home" "$work/tmp" "$work/var-tmp" /dev/shm -mindepth 1 \
  \( "${kept[@]}" -false \) -prune -o -print | grep -vxF -f <(printf '%s\n' "${allowed[@]}" ''))
((${#failed[@]})) && echo "guest: failed: ${failed[*]}"
if ((${#left[@]})); then
  echo "guest: $* left these in the home folder (home), /tmp (tmp), /var/tmp (var-tmp) and /dev/shm:"
  printf '  %s\n' "${left[@]#"$work"/}"
  exit 1
fi
echo "guest: $* left the home folder, /tmp, /var/tmp and /dev/shm as they found them"
((${#failed[@]} == 0))
