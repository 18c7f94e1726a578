"""The `vok-scan` command: the scan itself and its subcommands, one module each.

    vok-scan [OPTIONS] MOTIFS SEQUENCES...          scan (commands.scan)
    vok-scan thresholds [OPTIONS] MOTIFS [...]      thresholds per motif (commands.thresholds)
    vok-scan count [OPTIONS] MOTIFS SEQUENCES...    sites per record and motif (commands.count)
    vok-scan enrich [OPTIONS] MOTIFS TARGETS        motif enrichment against a control (commands.enrich)
    vok-scan variants [OPTIONS] MOTIFS GENOME VARIANTS   variant effects (commands.variants)
"""

from __future__ import annotations

import importlib
import sys
from typing import List, Optional

from .common import install_stop_signals, stopping_status

#: Subcommand name -> the module (in this package) whose main(arguments) runs it.
SUBCOMMANDS = {
    "thresholds": "thresholds",
    "count": "count",
    "enrich": "enrich",
    "variants": "variants",
}


def main(argv: Optional[List[str]] = None) -> int:
    """Runs `vok-scan` with `argv` (default: the process's arguments); the exit status."""
    install_stop_signals()
    try:
        arguments = sys.argv[1:] if argv is None else list(argv)
        module = SUBCOMMANDS.get(arguments[0]) if arguments else None
        if module is None:
            module, rest = "scan", arguments
        else:
            rest = arguments[1:]
        return importlib.import_module(f".{module}", __name__).main(rest)
    except KeyboardInterrupt:
        return stopping_status()
