"""A progress bar on standard error, shown only when it is a terminal."""

from __future__ import annotations

import shutil
import sys
import time


def terminal_bar(**options):
    """A tqdm bar on standard error that is cleared when it closes."""
    from tqdm import tqdm

    size = shutil.get_terminal_size()  # falls back to 80 x 24
    # A terminal that reports no size (0 x 0) would hide the bar.
    return tqdm(file=sys.stderr, leave=False, unit_scale=True, ncols=size.columns,
                nrows=size.lines, **options)


class Progress:
    """Input consumed of the total, hits so far and the rate, from a running scan."""

    def __init__(self, enabled: bool):
        self.enabled = enabled and sys.stderr.isatty()  # never written into a file or pipe
        self.bar = None  # the tqdm bar, made when the scan starts
        self.scan = None  # the running FastaScan whose figures are shown
        self.last = 0.0  # time of the last refresh, seconds

    def start(self, scan) -> None:
        self.scan = scan
        if not self.enabled:
            return
        # The rate since the start (smoothing=0): input arrives a block at a
        # time, and a moving average of so uneven steps would make the
        # remaining time jump by a third either way.
        self.bar = terminal_bar(total=scan.bytes_total, unit="B", unit_divisor=1024, desc="input",
                                smoothing=0)

    def update(self, force: bool = False) -> None:
        if self.bar is None or not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last < 0.2:
            return
        self.last = now
        self.bar.n = self.scan.bytes_read
        self.bar.set_postfix_str(
            f"{self.scan.bases_scanned / 1e6:,.1f} Mbp, {self.scan.hits_total:,} hits",
            refresh=False)
        self.bar.refresh()

    def abandon(self) -> None:
        """Clears the bar at once, for a run being stopped (from any thread)."""
        self.enabled = False
        bar = self.bar
        if bar is not None:
            bar.clear()

    def close(self) -> None:
        if self.bar is not None:
            if self.enabled:
                self.update(force=True)
            self.bar.close()
            self.bar = None
