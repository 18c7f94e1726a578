"""The command's stop signals taken and given back inside a calling program."""

import os
import signal
import subprocess
import sys

import pytest

pytest.importorskip("vokscan._engine")

from vokscan import commands  # noqa: E402
from vokscan.commands.running import StopSignals  # noqa: E402


def caller_handler(number, frame):
    pass


@pytest.fixture
def caller_signals():
    """The calling program's own handlers and wake-up pipe, put back afterwards."""
    saved = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}
    read, write = os.pipe()
    os.set_blocking(write, False)
    for number in saved:
        signal.signal(number, caller_handler)
    saved_wakeup = signal.set_wakeup_fd(write)
    yield write
    signal.set_wakeup_fd(saved_wakeup)
    for number, handler in saved.items():
        signal.signal(number, handler)
    os.close(read)
    os.close(write)


def test_a_command_called_twice_gives_back_the_callers_handlers(caller_signals, capsys):
    for _ in range(2):
        assert commands.main(["--version"]) == 0
        assert signal.getsignal(signal.SIGINT) is caller_handler
        assert signal.getsignal(signal.SIGTERM) is caller_handler
        assert signal.set_wakeup_fd(caller_signals) == caller_signals
    assert "vok-scan" in capsys.readouterr().out


def test_a_second_restore_leaves_later_files_alone(caller_signals):
    signals = StopSignals().install()
    signals.restore()
    # The pipe's descriptors are free again: a new pipe takes their numbers.
    read, write = os.pipe()
    try:
        signals.restore()
        os.write(write, b"x")
        assert os.read(read, 1) == b"x"
        assert signal.getsignal(signal.SIGINT) is caller_handler
    finally:
        os.close(read)
        os.close(write)


def test_a_failed_wait_does_not_keep_the_process_alive():
    """Should the main thread's wait itself fail, the work left running
    must not hold the process open at its end."""
    code = "\n".join([
        "import threading",
        "from vokscan.commands import running",
        "def failing_wait(self, fds, timeout=None): raise RuntimeError('wait failed')",
        "running.StopSignals.wait = failing_wait",
        "never = threading.Event()",
        "try:",
        "    running.run(lambda job: never.wait())",
        "except RuntimeError as exc:",
        "    print(exc)",
    ])
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (0, "wait failed\n"), done.stderr
