"""What every `vok-scan` subcommand shares: the argument parser and the
option groups for motifs, thresholds and scanning; exit statuses and the
one-line messages (from `status`)."""

from __future__ import annotations

import argparse

from .. import motifs as motif_module
from .. import pvalues as pvalue_module
from ..scanning import DEFAULT_CSS, STRANDS
from .status import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_PIPE, EXIT_USAGE,  # noqa: F401
                     PROG, UsageError, describe, exit_status, say)


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (exit status 2), not usage text."""

    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def version() -> str:
    """The installed distribution's version ("unknown" in a bare source tree)."""
    try:
        from importlib.metadata import version as distribution_version

        return distribution_version("vok")
    except Exception:
        return "unknown"


def add_motif_options(parser: argparse.ArgumentParser, *, fixed_thresholds: bool = True):
    """--motif-format, --jaspar, --pvalue, --css, --background, --cutoffs and,
    with `fixed_thresholds`, --mss: how motifs are read and their thresholds chosen."""
    group = parser.add_argument_group("motifs and thresholds")
    group.add_argument("--motif-format", choices=("auto",) + motif_module.FORMATS,
                       default="auto", help="format of MOTIFS (default: auto, from the content)")
    group.add_argument("--jaspar", metavar="SPEC",
                       help="take the motifs from the JASPAR database bundled by pyjaspar, "
                            "e.g. 2024:CORE:vertebrates (latest version of each matrix); "
                            "MOTIFS is then left out (default: off)")
    group.add_argument("--pvalue", type=float, default=None, metavar="P",
                       help=f"per-motif mss threshold for this rate per window and strand on "
                            f"random sequence (default: {pvalue_module.DEFAULT_PVALUE:g}"
                            + (" unless --mss is given)" if fixed_thresholds else ")"))
    group.add_argument("--css", type=float, default=None, metavar="X",
                       help="css threshold for motifs without a cut-off line (default: with "
                            "--pvalue, the highest that loses no window reaching the mss "
                            "threshold" + (f"; with --mss, {DEFAULT_CSS})" if fixed_thresholds
                                            else ")"))
    if fixed_thresholds:
        group.add_argument("--mss", type=float, default=None, metavar="X",
                           help="fixed mss threshold for motifs without a cut-off line, instead "
                                "of --pvalue (default: from --pvalue)")
    group.add_argument("--background", default="uniform", metavar="SPEC",
                       help="base frequencies of random sequence for --pvalue and p-values: "
                            "uniform, auto (counted in the sequences, both strands) or A,C,G,T "
                            "frequencies such as 0.3,0.2,0.2,0.3 (default: uniform)")
    group.add_argument("--cutoffs", metavar="FILE",
                       help="per-motif cut-offs, lines '1 <css> <mss> <accession> <motif id>' "
                            "(default: none)")
    return group


def add_scanning_options(parser: argparse.ArgumentParser, *, partial_windows: bool = True):
    """--strand, --mask, --partial-windows and --threads."""
    group = parser.add_argument_group("scanning")
    group.add_argument("--strand", choices=STRANDS, default="both",
                       help="both: forward and reverse complement; forward: forward only; "
                            "reversed: forward and the sequence reversed but not complemented, "
                            "as vok's evaluate() scans it (default: both)")
    group.add_argument("--mask", action="store_true",
                       help="skip lower-case (soft-masked) letters like N (default: scan them)")
    if partial_windows:
        group.add_argument("--partial-windows", action="store_true",
                           help="also report sites whose matrix window is cut short by a "
                                "segment end, with the end clipped (default: whole windows only)")
    group.add_argument("-t", "--threads", type=int, default=0, metavar="N",
                       help="worker threads; 0 = all cores, or RAYON_NUM_THREADS when set "
                            "(default: 0)")
    return group


def resolve_background(spec, sequences):
    """The background of --background; 'auto' counts the bases of the sequences."""
    if spec != "auto":
        return spec
    try:
        return pvalue_module.background_from_sequences(sequences)
    except pvalue_module.BackgroundError as exc:
        raise UsageError(f"--background auto: {exc}") from None


def load_motif_records(options):
    """The motifs named by --jaspar or the MOTIFS argument (`options.motifs`)."""
    if options.jaspar:
        return motif_module.jaspar_motifs(options.jaspar)
    fmt = None if options.motif_format == "auto" else options.motif_format
    return motif_module.load_motifs(options.motifs, fmt)
