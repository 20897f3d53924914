"""The ways the release program can stop, and the one map from each to its
exit status (exit_status())."""


class FormatError(Exception):
    """A file that does not read as its format strictly requires: which file,
    which line (0 for the file as a whole) and why."""

    def __init__(self, path, line, reason):
        super().__init__(f"{path}:{line}: {reason}" if line else f"{path}: {reason}")
        self.path, self.line, self.reason = str(path), line, reason


class Refused(Exception):
    """What the caller asked for cannot be done with what was given (a work
    tree with changes, a key made too late, a release that does not match its
    sums): status 1."""


class MachineError(Exception):
    """This machine cannot do the work (no space, no tool, a path too long, no
    sandbox): nothing about the release was judged. Status 2."""


class UsageError(MachineError):
    """The command line or the environment asks for something that makes no
    sense. Status 2."""


# A verification's verdicts, and what a failure means.
VERIFIED, FAILED, NOT_JUDGED, INCOMPLETE = 0, 1, 2, 3


def exit_status(error):
    """What ends the program this way exits with: a refusal or a file that
    breaks its format fails what was asked (1); this machine, the command
    line, or a fault of the program's own judge nothing (2)."""
    return FAILED if isinstance(error, (Refused, FormatError)) else NOT_JUDGED
