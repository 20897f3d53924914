"""The release program of uptime-report: making a release, verifying one, and
publishing releases as APT and DNF repositories."""
