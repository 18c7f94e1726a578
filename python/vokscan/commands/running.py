"""Running a command's work so that Ctrl-C and SIGTERM stop it at any moment.

The work runs on a thread of its own; the main thread only waits, in poll()
on two pipes: one written when the work ends, the other written by the
interpreter itself when a signal arrives (signal.set_wakeup_fd). The signal
handlers only note which signal came. They never raise into the code they
interrupt, which may hold a lock (a KeyboardInterrupt inside Event.wait can
leave its lock held, and the worker setting the event then waits for ever),
and nothing the work does (opening a FIFO nobody writes, say) keeps the
main thread from answering a signal.

A stopped run says "interrupted", removes its unfinished output and ends
with 128 + the signal's number: 130 for SIGINT, 143 for SIGTERM. The work
is asked to stop and given a moment to wind down; if it has not ended by
then, or a second signal comes, the process ends without it.
"""

from __future__ import annotations

import os
import select
import signal
import sys
import threading
import time
from typing import Callable, List, Optional

from ..output import AtomicOutput
from .status import EXIT_FAILURE, EXIT_OK, EXIT_PIPE, PROG, describe, exit_status, say

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# How long a stopped run waits for its work to wind down before the process
# ends anyway (the unfinished output is gone by then).
STOP_GRACE_SECONDS = 0.25


class StopSignals:
    """SIGINT and SIGTERM, noted as a flag plus a byte on a pipe to wait on.

    Installed at once, before anything slow, by the command's entry point;
    only the main thread can take signals (elsewhere it stays inactive).
    """

    def __init__(self):
        self.received: Optional[int] = None  # number of the first stop signal
        self.count = 0  # stop signals so far
        # Set once a run's outcome is decided: a later signal no longer changes it.
        self.settled = False
        self.active = False  # handlers installed (only in the main thread)
        self._read = self._write = -1  # the wake-up pipe
        self._saved = {}  # the handlers found, to put back
        self._saved_wakeup = -1

    def install(self) -> "StopSignals":
        if threading.current_thread() is not threading.main_thread():
            return self
        # The handlers first: a signal between the two lines is noted, and
        # the flag is read before every wait.
        for number in STOP_SIGNALS:
            # Set explicitly: a job started in the background inherits SIGINT
            # ignored, and Python leaves it so.
            self._saved[number] = signal.signal(number, self._note)
        self._read, self._write = os.pipe()
        os.set_blocking(self._read, False)
        os.set_blocking(self._write, False)
        self._saved_wakeup = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
        self.active = True
        return self

    def _note(self, number, frame) -> None:
        self.count += 1
        if self.received is None:
            self.received = number

    def status(self) -> int:
        """The exit status of a run stopped by the signal received."""
        return 128 + (self.received or signal.SIGINT)

    def wait(self, fds: List[int], timeout: Optional[float] = None) -> None:
        """Returns when one of `fds` is readable, a stop signal came or `timeout` passed."""
        poller = select.poll()
        for fd in fds + ([self._read] if self.active else []):
            poller.register(fd, select.POLLIN)
        # poll() goes on after a signal whose handler returns (PEP 475); the
        # wake-up byte is what ends it.
        poller.poll(None if timeout is None else max(0, int(timeout * 1000)))
        if self.active:
            try:
                while os.read(self._read, 256):
                    pass
            except BlockingIOError:
                pass

    def restore(self) -> None:
        """Puts back the handlers found (for a command run inside another program)."""
        if not self.active:
            return
        signal.set_wakeup_fd(self._saved_wakeup)
        for number, handler in self._saved.items():
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
        os.close(self._read)
        os.close(self._write)
        self.active = False


_current = StopSignals()  # the process's, until the command installs its own


def take_stop_signals() -> StopSignals:
    """Installs the command's stop signals (the first thing it does)."""
    global _current
    _current = StopSignals().install()
    return _current


def current_stop_signals() -> StopSignals:
    return _current


class Job:
    """What a command's work sees of the run around it."""

    def __init__(self, output: AtomicOutput):
        self.output = output  # where the lines go: write to output.target
        # Every output of the run, the main one first: named together once
        # the work has returned, removed together at a stop or failure.
        self.outputs: List[AtomicOutput] = [output]
        self.stop = threading.Event()  # set when a signal asks the run to end
        self.write_failed = False  # set while writing: an error then is a write error
        # How long a stop waits for the work; a work with more to close
        # (a cluster) may ask for longer. A second signal ends the wait.
        self.grace = STOP_GRACE_SECONDS
        self.on_stop: List[Callable[[], None]] = []  # run by the main thread at a stop

    def add_output(self, path: Optional[str]) -> AtomicOutput:
        """A further output of the run (a report beside the table, say),
        made visible with the main one."""
        output = AtomicOutput(path)
        self.outputs.append(output)
        if self.stop.is_set():  # the stop may have removed the others before this one was listed
            output.discard()
            raise KeyboardInterrupt
        return output

    def discard(self) -> None:
        """Removes every unfinished output; safe to call more than once."""
        for output in list(self.outputs):
            output.discard()


class _WorkThread:
    """The work on a thread of its own, which writes a byte to a pipe as it ends."""

    def __init__(self, work: Callable[[Job], None], job: Job):
        self.work, self.job = work, job
        self.error: Optional[BaseException] = None  # what ended the work early
        self.ended = False  # the end byte was read
        self._read, self._write = os.pipe()
        os.set_blocking(self._read, False)

    def start(self) -> None:
        threading.Thread(target=self._body, name=f"{PROG}-work", daemon=True).start()

    def _body(self) -> None:
        try:
            # Ctrl-C is the main thread's to answer: blocked here (and in the
            # threads the work starts), it cuts no system call of theirs short.
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            self.work(self.job)
        except BaseException as exc:  # carried to the main thread
            self.error = exc
        finally:
            os.write(self._write, b"\0")

    def wait(self, signals: StopSignals, timeout: Optional[float] = None) -> bool:
        """Waits for the work's end, a stop signal or `timeout`; whether the work has ended."""
        if not self.ended:
            signals.wait([self._read], timeout)
            try:
                self.ended = os.read(self._read, 1) == b"\0"
            except BlockingIOError:
                pass
        return self.ended

    def close(self) -> None:
        """Closes the pipe, once the work has ended (it writes to it last)."""
        if self.ended:
            os.close(self._read)
            os.close(self._write)


def run(work: Callable[[Job], None], *, output: Optional[str] = None) -> int:
    """Runs `work(job)` on a thread of its own and returns the exit status.

    `output` is the -o name (None or '-': standard output). The work writes
    to `job.output.target` (and the targets of `job.add_output`), which get
    their final names only once the work has returned and no stop signal
    came. An exception of the work becomes
    a one-line message and its exit status (see `status.exit_status`).
    """
    signals = current_stop_signals()
    if signals.received:
        return _interrupted(signals)
    try:
        target = AtomicOutput(output)
    except (OSError, ValueError) as exc:
        say(f"error: {describe(exc)}")
        return exit_status(exc)
    job = Job(target)
    thread = _WorkThread(work, job)
    try:
        thread.start()
        while not signals.received and not thread.wait(signals):
            pass
        if signals.received:
            return _stop(thread, signals)
        signals.settled = True  # from here on, the run's outcome stands
        if thread.error is not None:
            status = exit_status(thread.error, job.write_failed)
            if status == EXIT_PIPE:
                _silence_stdout()
            else:
                say(f"error: {describe(thread.error)}")
            return status
        try:
            for output in list(job.outputs):
                output.commit()
        except OSError as exc:
            say(f"error: {describe(exc)}")
            return EXIT_FAILURE
        return EXIT_OK
    finally:
        job.discard()
        thread.close()


def _stop(thread: _WorkThread, signals: StopSignals) -> int:
    """The stop path: tell the work, remove the output, end."""
    status = signals.status()
    job = thread.job
    job.stop.set()
    job.discard()
    for action in job.on_stop:
        try:
            action()
        except Exception:  # a stop goes on whatever an action meets
            pass
    say("interrupted")
    deadline = time.monotonic() + job.grace
    first = signals.count
    while signals.count == first and time.monotonic() < deadline:
        if thread.wait(signals, deadline - time.monotonic()):
            break
    # Again: a writer opened after the first removal made the file anew.
    job.discard()
    if not thread.ended:
        _end_now(status)
    signals.settled = True
    return status


def _interrupted(signals: StopSignals) -> int:
    say("interrupted")
    signals.settled = True
    return signals.status()


def _end_now(status: int) -> None:
    """Ends the process without waiting for the work's thread."""
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(status)


def _silence_stdout() -> None:
    """After a closed pipe, point standard output at /dev/null so that no
    later flush reports the same error again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
