"""`vok-scan count`: sites per record (or region) and motif, as a matrix."""

from __future__ import annotations

import argparse
from typing import List

from ..counting import CountScan, CountWriter, format_of, record_chunks
from .common import (EXIT_OK, PROG, Parser, UsageError, add_motif_options, add_region_option,
                     add_scanning_options, check_motif_options, command_main, prepare_motif_options,
                     reporting_errors)

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
options; 130 interrupted (Ctrl-C; 143 for SIGTERM). A failed or interrupted
run leaves no output file."""


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


def run(options) -> int:
    writer = None

    def work() -> int:
        nonlocal writer
        prepared, _ = prepare_motif_options(options, options.sequences)
        value = "presence" if options.presence else "max_score" if options.max_score else "count"
        scan = CountScan(prepared, value, strand=options.strand, mask=options.mask,
                         partial_windows=options.partial_windows, threads=options.threads)
        chunks = record_chunks(options.sequences[0] if options.regions else options.sequences,
                               options.regions)
        writer = CountWriter(options.output, scan, "region" if options.regions else "sequence")
        for chunk in chunks:
            writer.add(chunk)
        writer.finish()
        return EXIT_OK

    try:
        return reporting_errors(work)
    finally:
        if writer is not None:
            writer.discard()


def main(arguments: List[str]) -> int:
    """`vok-scan count [OPTIONS] MOTIFS SEQUENCES...`; the exit status."""
    return command_main(parse_options, run, arguments)
