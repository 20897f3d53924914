#!/usr/bin/env bash
# scripts/publish-repos.sh: the release program's publish command (--help says what it does).
exec /usr/bin/python3 -I -B "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/uptime_release" publish "$@"
