"""Exit statuses and the one-line messages on standard error.

Imports nothing heavy: the command takes its stop signals before loading
numpy and the engine, and reports through these.
"""

from __future__ import annotations

import errno
import sys

from ..quoting import printable

PROG = "vok-scan"
EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_PIPE = 0, 1, 2, 141
EXIT_INTERRUPTED = 130  # 128 + SIGINT; a run stopped by SIGTERM ends with 143


class UsageError(Exception):
    """A bad option or input: exit status 2."""


def say(message: str) -> None:
    """One line on standard error, prefixed with the command's name."""
    try:
        sys.stderr.write(f"{PROG}: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def describe(exc: BaseException) -> str:
    """The one-line message of an error: its first line, control characters
    (of a record name, say) escaped."""
    if isinstance(exc, OSError) and exc.strerror:
        text = f"{exc.filename}: {exc.strerror}" if exc.filename is not None else exc.strerror
    else:
        text = str(exc).strip("\n").split("\n")[0]
    return printable(text) if text.strip() else type(exc).__name__


# A name that does not lead to a usable file is a bad argument; a full disk or
# a failing device is not.
_BAD_NAME_ERRNOS = {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.EACCES, errno.EPERM,
                    errno.ENAMETOOLONG, errno.ELOOP, errno.EROFS, None}


def exit_status(exc: BaseException, write_failed: bool = False) -> int:
    """The exit status for an error; `write_failed`: it came from writing the output.
    Bad motifs, cut-offs, backgrounds and input (the engine's InputError) are
    ValueErrors: status 2."""
    if isinstance(exc, BrokenPipeError) and write_failed:
        return EXIT_PIPE
    if isinstance(exc, (UsageError, ValueError)):
        return EXIT_USAGE
    if isinstance(exc, OSError):
        return EXIT_USAGE if exc.errno in _BAD_NAME_ERRNOS and not write_failed else EXIT_FAILURE
    return EXIT_FAILURE
