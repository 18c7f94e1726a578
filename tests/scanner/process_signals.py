"""Signal helpers for the tests that stop a running command."""

import signal


def ignore_sigint():
    """preexec_fn: start the child with SIGINT ignored, as a background job is."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def stop_signals_taken(pid):
    """Whether the process has its own handlers for SIGINT and SIGTERM yet."""
    with open(f"/proc/{pid}/status") as status:
        mask = next(int(line.split()[1], 16) for line in status if line.startswith("SigCgt:"))
    return all(mask >> (number - 1) & 1 for number in (signal.SIGINT, signal.SIGTERM))
