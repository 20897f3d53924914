#!/usr/bin/env bash
# scripts/release.sh: the release program's make command (--help says what it does).
exec /usr/bin/python3 -I -B "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/uptime_release" make "$@"
