"""Output files that appear complete or not at all.

Hits are written to a hidden temporary name in the destination's folder
(so the final rename stays on one file system and is atomic) and renamed
to the requested name only after the last byte was written and flushed.
"""

from __future__ import annotations

import os
import tempfile
from typing import Optional


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class AtomicOutput:
    """Where hits go: standard output, or a file made visible by `commit`."""

    def __init__(self, path: Optional[str]):
        self.path = None if path in (None, "-") else os.fspath(path)  # final name; None = stdout
        self.compress = bool(self.path and self.path.endswith(".gz"))  # gzip by name
        self.temporary: Optional[str] = None  # the name written to until commit
        if self.path is not None:
            folder, base = os.path.split(os.path.abspath(self.path))
            if os.path.isdir(self.path):
                raise IsADirectoryError(21, "is a directory", self.path)
            fd, self.temporary = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=folder)
            os.close(fd)
            # mkstemp makes the file private; give it the mode a plain open would.
            os.chmod(self.temporary, 0o666 & ~_umask())

    @property
    def target(self) -> Optional[str]:
        """The path the writer opens (None = standard output)."""
        return self.temporary

    def commit(self) -> None:
        """Give the finished file its name (replacing any file of that name)."""
        if self.temporary is not None:
            os.replace(self.temporary, self.path)
            self.temporary = None

    def discard(self) -> None:
        """Remove the unfinished file; safe to call more than once."""
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except FileNotFoundError:
                pass
            self.temporary = None
