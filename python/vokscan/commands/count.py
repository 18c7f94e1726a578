"""`vok-scan count`: sites per record (or region) and motif, as a matrix."""

from __future__ import annotations

import argparse
from typing import List

from ..counting import CountScan, CountWriter, format_of, record_chunks
from . import running
from .common import (PROG, Parser, UsageError, add_motif_options, add_region_option,
                     add_scanning_options, check_motif_options, command_main, prepare_motif_options,
                     warn_names_cleaned)
from .running import Job

DESCRIPTION = """\
Count the sites of every motif in every sequence record (or, with --regions,
every region of a genome): a records x motifs matrix. A site is what the scan
reports (both strands unless --strand says otherwise), with the same
thresholds: --pvalue 1e-4 per window unless --mss is given.

The format follows the output's name: .tsv (or .tsv.gz, and standard output)
a wide table, one line per record, its name first, then one column per motif
id; .npz the scipy.sparse CSR matrix (scipy.sparse.load_npz reads it) with
row_names, col_names and col_motif_names arrays; .mtx Matrix Market, with
the row names in NAME.rows.tsv and the motif ids and names in NAME.cols.tsv
beside it; .h5ad an AnnData file (records as observations; needs the
anndata extra). Memory follows the (record, motif) pairs with a site."""

EPILOG = """\
examples:
  vok-scan count motifs.jaspar peaks.fa -o counts.tsv
  vok-scan count --regions peaks.bed --presence motifs.jaspar genome.fa.gz -o counts.h5ad

exit status: 0 done; 1 failure (e.g. writing the output); 2 bad input or
options; 130 interrupted (Ctrl-C; 143 for SIGTERM); 141 the reader of
standard output went away. A failed or interrupted run leaves no output file
(unless -o names a device, FIFO or socket, which is written to as the run
goes; one whose name tells no format gets TSV)."""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=f"{PROG} count", description=DESCRIPTION, epilog=EPILOG,
                    usage=f"{PROG} count [OPTIONS] MOTIFS SEQUENCES...\n       "
                          f"{PROG} count [OPTIONS] --regions BED MOTIFS GENOME",
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="MOTIFS SEQUENCES",
                        help="a motif file, then FASTA files (or the genome with --regions)")
    add_motif_options(parser)
    add_region_option(add_scanning_options(parser))
    group = parser.add_argument_group("output")
    group.add_argument("-o", "--output", metavar="FILE",
                       help="the matrix, in the format its name tells (default: TSV on standard output)")
    value = group.add_mutually_exclusive_group()
    value.add_argument("--presence", action="store_true",
                       help="1 where a record has a site of the motif, else 0 (default: site counts)")
    value.add_argument("--max-score", action="store_true",
                       help="the highest mss of the record's sites of the motif, empty (0 in .npz, "
                            ".mtx and .h5ad) where none (default: site counts)")
    group.add_argument("-q", "--quiet", action="store_true", help="no warnings")
    return parser


def parse_options(argv: List[str]) -> argparse.Namespace:
    options = build_parser().parse_intermixed_args(argv)
    if options.jaspar:
        options.motifs, options.sequences = None, options.inputs
    elif len(options.inputs) < 2:
        raise UsageError(f"give a motif file and at least one FASTA file (see {PROG} count --help)")
    else:
        options.motifs, options.sequences = options.inputs[0], options.inputs[1:]
    if "-" in options.sequences:
        raise UsageError("count reads FASTA files, not standard input")
    if options.regions is not None and len(options.sequences) != 1:
        raise UsageError("--regions needs exactly one genome FASTA file")
    check_motif_options(options)
    try:
        format_of(options.output)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    return options


def _count(options, job: Job) -> None:
    """The work of a run: load the motifs, count chunk by chunk, write the matrix."""
    prepared, _ = prepare_motif_options(options, options.sequences)
    value = "presence" if options.presence else "max_score" if options.max_score else "count"
    scan = CountScan(prepared, value, strand=options.strand, mask=options.mask,
                     partial_windows=options.partial_windows, threads=options.threads,
                     stop=job.stop.is_set)
    chunks = record_chunks(options.sequences[0] if options.regions else options.sequences,
                           options.regions)
    writer = CountWriter(options.output, scan, "region" if options.regions else "sequence",
                         main=job.output, add_output=job.add_output)
    try:
        for chunk in chunks:
            if job.stop.is_set():
                return
            writer.add(chunk)
        if job.stop.is_set():
            return
        writer.finish()
    except BrokenPipeError:  # only writing meets one: the reader of the output went away
        job.write_failed = True
        raise
    finally:
        writer.close()
    warn_names_cleaned(options, writer.names_cleaned)


def run(options) -> int:
    return running.run(lambda job: _count(options, job), output=options.output)


def main(arguments: List[str]) -> int:
    """`vok-scan count [OPTIONS] MOTIFS SEQUENCES...`; the exit status."""
    return command_main(parse_options, run, arguments)
