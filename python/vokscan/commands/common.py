"""What every `vok-scan` subcommand shares: the argument parser and the
option groups for motifs, thresholds and scanning; exit statuses and the
one-line messages (from `status`)."""

from __future__ import annotations

import argparse
import math

from .. import cutoffs as cutoff_module
from .. import motifs as motif_module
from .. import pvalues as pvalue_module
from ..quoting import has_control_characters, printable, quote
from ..scanning import DEFAULT_CSS, STRANDS, PreparedMotifs
from .status import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_PIPE, EXIT_USAGE,  # noqa: F401
                     PROG, UsageError, describe, exit_status, say)


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (exit status 2), not usage text."""

    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def version() -> str:
    """The installed distribution's version ("unknown" in a bare source tree)."""
    from .._version import distribution_version

    return distribution_version()


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


def load_prepared_motifs(options, sequences) -> PreparedMotifs:
    """The motifs of the options with their thresholds (see
    `prepare_motif_options`) and per-hit p-value tables."""
    prepared, background = prepare_motif_options(options, sequences)
    prepared.add_pvalues(background, options.strand, options.threads)
    return prepared


def prepare_motif_options(options, sequences):
    """(PreparedMotifs, background) from the motif and threshold options: the
    motifs of --jaspar or MOTIFS, each with css and mss thresholds (for
    --pvalue, 1e-4 unless --mss is given, under --background, 'auto' counted
    in `sequences`), warnings on standard error unless --quiet."""
    quiet = getattr(options, "quiet", False)
    records = load_motif_records(options)
    table = cutoff_module.load_cutoffs(options.cutoffs) if options.cutoffs else {}
    if not quiet:
        for key in cutoff_module.unmatched(table, records):
            say(f"warning: cut-off line for {quote(key)} names no motif")
    background = resolve_background(options.background, sequences)
    chosen = None
    if options.mss is None:
        chosen = pvalue_module.MotifThresholds(
            records, options.pvalue or pvalue_module.DEFAULT_PVALUE, background,
            css=options.css, strand=options.strand, cutoffs=table, threads=options.threads)
        css, mss = chosen.css, chosen.mss
        unreachable = [motif.id for motif, threshold in zip(records, mss)
                       if threshold > 1.0 and motif.matrix.shape[0] >= 5]
        if unreachable and not quiet:
            shown = ", ".join(map(printable, unreachable[:5])) + (f" and {len(unreachable) - 5} more"
                                                  if len(unreachable) > 5 else "")
            say(f"warning: {len(unreachable)} motif(s) report no hits: even their best window "
                 f"is more likely than the rate asked for ({shown}); a larger --pvalue admits them")
    else:
        css_default = DEFAULT_CSS if options.css is None else options.css
        css, mss = cutoff_module.thresholds(records, css_default, options.mss, table)
    return PreparedMotifs(records, css, mss, chosen), background


def add_region_option(group) -> None:
    """--regions: scan only the intervals of a BED file of the one genome FASTA."""
    group.add_argument("--regions", metavar="BED",
                       help="scan only these intervals of the genome (the one FASTA file given, plain "
                            "or bgzip, indexed when needed): BED3 to BED6+, the 4th column naming the "
                            "region; each region is a record of its own, positions stay genome "
                            "positions (default: whole sequences)")


def check_motif_options(options) -> None:
    """Checks the threshold and scanning options (UsageError); parses --background."""
    for name in ("css", "mss", "pvalue"):
        value = getattr(options, name, None)
        if value is not None and math.isnan(value):
            raise UsageError(f"--{name} must be a number, not NaN")
    if options.pvalue is not None and getattr(options, "mss", None) is not None:
        raise UsageError("give either --pvalue or --mss, not both")
    if options.pvalue is not None and not 0.0 < options.pvalue <= 1.0:
        raise UsageError("--pvalue must lie in (0, 1]")
    try:
        options.background = pvalue_module.parse_background(options.background)
    except pvalue_module.BackgroundError as exc:
        raise UsageError(f"--background: {exc}") from None
    if options.threads < 0:
        raise UsageError("--threads must be 0 or more")


def command_main(parse_options, run, arguments) -> int:
    """Parses `arguments` with `parse_options` and runs `run(options)` (which
    runs its work through `running.run`); a bad option is a one-line error
    and exit status 2."""
    try:
        options = parse_options(arguments)
    except UsageError as exc:
        say(f"error: {exc}")
        return EXIT_USAGE
    except SystemExit as exc:  # --help, --version
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    return run(options)


def names_need_cleaning(*name_lists) -> bool:
    """Whether any of the names holds a tab, a line break or another control
    character, which the output writes as '_'."""
    return any(has_control_characters(name) for names in name_lists for name in names)


def warn_names_cleaned(options, cleaned: bool) -> None:
    """Says once, unless --quiet, that written names had control characters."""
    if cleaned and not options.quiet:
        say("warning: names with tabs, line breaks or other control characters are written "
            "with '_' in their place")
