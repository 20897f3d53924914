#!/usr/bin/env bash
# scripts/verify-release.sh: the release program's verify command (--help says what it does).
exec /usr/bin/python3 -I -B "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/uptime_release" verify "$@"
