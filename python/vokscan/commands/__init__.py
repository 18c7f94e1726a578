"""The `vok-scan` command: the scan itself and its subcommands, one module each.

    vok-scan [OPTIONS] MOTIFS SEQUENCES...          scan (commands.scan)
    vok-scan thresholds [OPTIONS] MOTIFS [...]      thresholds per motif (commands.thresholds)
    vok-scan count [OPTIONS] MOTIFS SEQUENCES...    sites per record and motif (commands.count)
    vok-scan enrich [OPTIONS] MOTIFS TARGETS        motif enrichment against a control (commands.enrich)
    vok-scan variants [OPTIONS] MOTIFS GENOME VARIANTS   variant effects (commands.variants)

Every subcommand's main(arguments) returns its exit status; work that reads
input or writes output runs through `running.run`, which answers Ctrl-C and
SIGTERM at any moment.
"""

from __future__ import annotations

import importlib
import signal
import sys
from typing import List, Optional

from .running import current_stop_signals, take_stop_signals
from .status import say

#: Subcommand name -> the module (in this package) whose main(arguments) runs it.
SUBCOMMANDS = {
    "thresholds": "thresholds",
    "count": "count",
    "enrich": "enrich",
    "variants": "variants",
}


def main(argv: Optional[List[str]] = None) -> int:
    """Runs `vok-scan` with `argv` (default: the process's arguments); the exit status.

    The stop signals are taken first, before numpy and the engine are
    loaded. Run as the process's own command (no `argv`), they stay taken
    until the process ends; called with `argv`, the caller's handlers are
    put back.
    """
    signals = current_stop_signals()
    try:
        signals = take_stop_signals()
        arguments = sys.argv[1:] if argv is None else list(argv)
        module = SUBCOMMANDS.get(arguments[0]) if arguments else None
        if module is None:
            module, rest = "scan", arguments
        else:
            rest = arguments[1:]
        status = importlib.import_module(f".{module}", __name__).main(rest)
    except KeyboardInterrupt:  # Python's own SIGINT handler, before ours was in place
        signals.received = signals.received or signal.SIGINT
    finally:
        if argv is not None:
            signals.restore()
    if signals.received and not signals.settled:
        # A signal while the options were read or before any work started.
        say("interrupted")
        return signals.status()
    return status
