"""`vok-scan enrich`: which motifs are over-represented in targets against a control."""

from __future__ import annotations

import argparse
import sys
from typing import List

from ..controls import DEFAULT_SEED
from ..enrichment import TESTS, run_enrichment, table_lines
from ..output import is_own_stdout
from . import running
from .common import (PROG, Parser, UsageError, add_motif_options, add_scanning_options,
                     check_motif_options, command_main, load_motif_records, names_need_cleaning,
                     warn_names_cleaned)
from .running import Job

DESCRIPTION = """\
Known-motif enrichment: for every motif, the target sequences (peaks) and
the control sequences with at least one site are counted, and a one-sided
Fisher exact test asks whether targets hold a site more often than controls.
Sites are those of the scan, with the same thresholds (--pvalue 1e-4 per
window unless --mss is given).

TARGETS is a FASTA file, or a BED file of regions of --genome (a FASTA file,
plain or bgzip, indexed when needed). The control is, in this order of
preference: --control FILE (FASTA, or BED of --genome); --control genome,
random regions of the genome of each target's exact length and 5 % G+C bin,
--control-times per target, none overlapping a target or more than 10 % N;
or by default every target shuffled --control-times times keeping its
k-mer counts (--shuffle-k), N runs and lower case in place. Every random
choice comes from --seed, so a run repeats byte for byte."""

EPILOG = """\
output columns (TSV, best first):
  rank motif_id motif_name target_sequences target_with_site target_fraction
  control_sequences control_with_site control_fraction enrichment
  log10_pvalue pvalue qvalue evalue target_sites control_sites
  enrichment: target_fraction / control_fraction (inf when no control has a
  site); log10_pvalue: exact at any size, pvalue written from it (never 0);
  qvalue: Benjamini-Hochberg over all motifs; evalue: pvalue x motifs; with
  --test sites the p-value compares the site counts with the windows scanned
  in each set (binomial upper tail).

examples:
  vok-scan enrich motifs.jaspar peaks.fa -o enrichment.tsv --report enrichment.html
  vok-scan enrich --genome genome.fa.gz --control genome motifs.jaspar peaks.bed -o enrichment.tsv

exit status: 0 done; 1 failure (e.g. writing the output); 2 bad input or
options; 130 interrupted (Ctrl-C; 143 for SIGTERM); 141 the reader of
standard output went away. A failed or interrupted run leaves no output file
(unless it names a device, FIFO or socket, which is written to directly)."""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=f"{PROG} enrich", description=DESCRIPTION, epilog=EPILOG,
                    usage=f"{PROG} enrich [OPTIONS] MOTIFS TARGETS [--control CONTROL] [--genome GENOME]",
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="MOTIFS TARGETS",
                        help="a motif file, then the targets: FASTA, or BED with --genome")
    add_motif_options(parser)
    add_scanning_options(parser, partial_windows=False)
    group = parser.add_argument_group("control")
    group.add_argument("--genome", metavar="FASTA",
                       help="the genome that BED targets and controls are regions of (default: none)")
    group.add_argument("--control", metavar="FILE|genome",
                       help="control sequences (FASTA, or BED of --genome), or 'genome' for random "
                            "G+C-matched regions of --genome (default: shuffles of the targets)")
    group.add_argument("--control-times", type=int, default=3, metavar="N",
                       help="controls per target, shuffled or drawn from the genome (default: 3)")
    group.add_argument("--shuffle-k", type=int, default=2, metavar="K",
                       help="k-mer counts kept by the shuffles (default: 2, dinucleotides)")
    group.add_argument("--seed", type=int, default=DEFAULT_SEED, metavar="N",
                       help=f"seed of every random choice, an integer (default: {DEFAULT_SEED})")
    group.add_argument("--save-control", metavar="FILE.fa",
                       help="write the control sequences used as FASTA (default: not written)")
    group = parser.add_argument_group("test and output")
    group.add_argument("--test", choices=TESTS, default="sequences",
                       help="sequences: Fisher's exact test on sequences with a site; sites: binomial "
                            "test of site counts against the windows scanned (default: sequences)")
    group.add_argument("-o", "--output", metavar="FILE",
                       help="the table (default: standard output)")
    group.add_argument("--report", metavar="FILE.html",
                       help="also write a self-contained HTML report (needs the report extra)")
    group.add_argument("-q", "--quiet", action="store_true", help="no warnings")
    return parser


def parse_options(argv: List[str]) -> argparse.Namespace:
    options = build_parser().parse_intermixed_args(argv)
    expected = 1 if options.jaspar else 2
    if len(options.inputs) != expected:
        raise UsageError("give a motif file and one targets file" if expected == 2 else
                         "with --jaspar, give one targets file")
    options.motifs = None if options.jaspar else options.inputs[0]
    options.targets = options.inputs[-1]
    options.mss = getattr(options, "mss", None)
    check_motif_options(options)
    if options.control_times < 1:
        raise UsageError("--control-times must be 1 or more")
    if not 1 <= options.shuffle_k <= 32:
        raise UsageError("--shuffle-k must lie in [1, 32]")
    if not 0 <= options.seed < 1 << 64:
        raise UsageError("--seed must be an integer in [0, 2^64)")
    if options.control == "genome" and options.genome is None:
        raise UsageError("--control genome needs --genome")
    if "-" in (options.targets, options.control, options.report, options.save_control) or any(
            path is not None and is_own_stdout(path) for path in (options.report, options.save_control)):
        raise UsageError("enrich reads files, not standard input, and writes the table alone to "
                         "standard output")
    return options


def _enrich(options, job: Job) -> None:
    """The work of a run: scan targets and control, write the table (and the
    control sequences and report when asked)."""
    if options.report is not None:
        from ..report import check_available

        check_available()
    records = load_motif_records(options)
    sink = None
    try:
        if options.save_control is not None:
            control_output = job.add_output(options.save_control)
            sink = open(control_output.target, "wb")
        if options.report is not None:
            report_output = job.add_output(options.report)
        result = run_enrichment(
            records, options.targets, options.control, genome=options.genome,
            control_times=options.control_times, shuffle_k=options.shuffle_k, seed=options.seed,
            test=options.test, pvalue=options.pvalue, css=options.css, mss=options.mss,
            cutoffs=options.cutoffs, background=options.background, strand=options.strand,
            mask=options.mask, threads=options.threads, control_sink=sink, stop=job.stop.is_set)
        if sink is not None:
            sink.close()
        if job.stop.is_set():
            return
        lines = "".join(table_lines(result.table)).encode("utf-8", "surrogateescape")
        job.write_failed = True
        if job.output.target is None:
            sys.stdout.buffer.write(lines)
            sys.stdout.buffer.flush()
        else:
            with open(job.output.target, "wb") as handle:
                handle.write(lines)
        job.write_failed = False
        warn_names_cleaned(options, names_need_cleaning(result.table["motif_id"], result.table["motif_name"]))
        if options.report is not None and not job.stop.is_set():
            from ..report import write_report

            write_report(result, report_output.target)
    finally:
        if sink is not None:
            sink.close()


def run(options) -> int:
    return running.run(lambda job: _enrich(options, job), output=options.output)


def main(arguments: List[str]) -> int:
    """`vok-scan enrich [OPTIONS] MOTIFS TARGETS`; the exit status."""
    return command_main(parse_options, run, arguments)
