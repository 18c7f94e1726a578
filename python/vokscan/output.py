"""Output files that appear complete or not at all.

Hits are written to a hidden temporary name in the destination's folder
(so the final rename stays on one file system and is atomic) and renamed
to the requested name only after the last byte was written and flushed.

Only a regular file (or a name not yet taken) can be replaced that way. A
character device, a FIFO, a socket or a process's file descriptor
(/dev/stdout, /proc/self/fd/N) is written to directly: renaming a file over
it would take its place instead of feeding it.
"""

from __future__ import annotations

import os
import re
import shutil
import stat
import tempfile
from typing import List, Optional, Tuple

# The folder of a process's file descriptors, as a link chain resolves it.
_DESCRIPTOR_FOLDER = re.compile(r"/proc/(\d+)(?:/task/\d+)?/fd")
# More links than this in one chain: the kernel gives up too (ELOOP).
_MAX_LINKS = 40


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _descriptor(path: str) -> Optional[Tuple[int, int]]:
    """(process id, descriptor) when following `path`'s links leads through
    a process's file descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N)."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        folder = _DESCRIPTOR_FOLDER.fullmatch(os.path.realpath(os.path.dirname(current)))
        if folder and os.path.basename(current).isdigit():
            return int(folder.group(1)), int(os.path.basename(current))
        if not os.path.islink(current):
            return None
        current = os.path.join(os.path.dirname(current), os.readlink(current))
    return None


def is_own_stdout(path: str) -> bool:
    """Whether `path` names this process's standard output (/dev/stdout):
    written through the descriptor itself, not opened anew, so that output
    appended to (>>) stays appended to."""
    return _descriptor(path) == (os.getpid(), 1)


def writes_in_place(path: str) -> bool:
    """Whether output to `path` must go to it directly (it cannot be replaced
    atomically): an existing target that is not a regular file, or a
    process's file descriptor."""
    if _descriptor(path) is not None:
        return True
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


class AtomicOutput:
    """Where hits go: standard output, a file made visible by `commit`, or a
    device, FIFO or socket written in place."""

    def __init__(self, path: Optional[str]):
        if path not in (None, "-") and is_own_stdout(os.fspath(path)):
            path = None
        self.path = None if path in (None, "-") else os.fspath(path)  # name given; None = stdout
        self.compress = bool(self.path and self.path.endswith(".gz"))  # gzip by name
        self.temporary: Optional[str] = None  # the name written to until commit
        self.in_place = False  # written directly: a device, FIFO, socket or descriptor
        self._final: Optional[str] = None  # the name the temporary file takes at commit
        self._folders: List[str] = []  # hidden folders beside the output, removed at the end
        self._scratch: List[str] = []  # private files of the run, removed at the end
        if self.path is None:
            return
        if os.path.isdir(self.path):
            raise IsADirectoryError(21, "is a directory", self.path)
        self.in_place = writes_in_place(self.path)
        if self.in_place:
            return
        # A link to a regular file keeps pointing at it: the file it names is replaced.
        self._final = os.path.realpath(self.path)
        folder, base = os.path.split(self._final)
        try:
            fd, self.temporary = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=folder)
        except FileNotFoundError:
            raise FileNotFoundError(2, "No such file or directory", self.path) from None
        os.close(fd)
        # mkstemp makes the file private; give it the mode a plain open would.
        os.chmod(self.temporary, 0o666 & ~_umask())

    @property
    def target(self) -> Optional[str]:
        """The path the writer opens (None = standard output)."""
        return self.path if self.in_place else self.temporary

    def folder_beside(self) -> Optional[str]:
        """A new hidden folder beside the file being made, for pieces of it
        (lines that cluster workers leave); removed by `discard`. None when
        the output is not a file being made."""
        if self.temporary is None:
            return None
        base = os.path.basename(self._final)
        self._folders.append(tempfile.mkdtemp(prefix=f".{base}.", suffix=".parts",
                                              dir=os.path.dirname(self._final)))
        return self._folders[-1]

    def scratch_file(self, suffix: str) -> str:
        """A new private file for the run's own use (lines waiting for their
        q-values): hidden beside a file being made, among the temporary files
        otherwise; removed by `discard` and `commit`."""
        folder = os.path.dirname(self._final) if self.temporary is not None else None
        fd, path = tempfile.mkstemp(prefix=".vok-scan.", suffix=suffix, dir=folder)
        os.close(fd)
        self._scratch.append(path)
        return path

    def commit(self) -> None:
        """Give the finished file its name (replacing any file of that name)."""
        if self.temporary is not None:
            os.replace(self.temporary, self._final)
            self.temporary = None
        self.discard()

    def discard(self) -> None:
        """Remove the unfinished file and the folders beside it; safe to call
        more than once (a writer opened late may have made the file again)."""
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except FileNotFoundError:
                pass
        for path in self._scratch:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        for folder in self._folders:
            # A cluster worker may still add a file while it is removed.
            for _ in range(3):
                shutil.rmtree(folder, ignore_errors=True)
                if not os.path.exists(folder):
                    break
