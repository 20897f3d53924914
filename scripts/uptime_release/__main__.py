"""Runs the release program: python3 -I -B scripts/uptime_release COMMAND ..."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from uptime_release import cli  # noqa: E402

sys.exit(cli.main(sys.argv[1:]))
