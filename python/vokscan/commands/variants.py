"""`vok-scan variants`: the binding sites that variants create or break."""

from __future__ import annotations

import argparse
import math
import sys
from typing import List

from .. import pvalues as pvalue_module
from ..progress import terminal_bar
from ..effect_run import DEFAULT_MAX_INDEL, EffectRun
from ..variants import COLUMNS, open_genome
from ..variant_input import read_variants
from . import running
from .common import (PROG, Parser, UsageError, add_motif_options, add_scanning_options,
                     command_main, load_prepared_motifs, names_need_cleaning, say, version,
                     warn_names_cleaned)
from .running import Job

DESCRIPTION = """\
Which binding sites do variants create or break? For every ALT allele of every
record and every motif, the best window of each allele is scored with the
scanner's css, mss and p-value, on both strands: on REF every window of the
motif's length that overlaps the variant, on ALT every window that holds an
inserted or substituted base or, for a deletion, both bases the deletion
brings together (REF and ALT first lose the bases they share). The best
window passes first, then has the highest mss; ties go to the leftmost, then
to the forward strand. A row is written when either allele's best window
passes the motif's thresholds.

MOTIFS is a motif file (TRANSFAC, JASPAR, MEME or HOMER). GENOME is a FASTA
file, plain or bgzip, indexed (.fai, and .gzi for bgzip; made when missing).
VARIANTS is a VCF or BCF file, plain or bgzip (needs pysam: pip install
'vok[variants]'), or a TSV with the columns chrom, pos, ref, alt and
optionally id (1-based pos; an optional header line naming them)."""

EPILOG = """\
output columns (TSV):
  chrom pos id ref alt motif_id motif_name
  ref_strand ref_offset ref_css ref_mss ref_pvalue
  alt_strand alt_offset alt_css alt_mss alt_pvalue
  delta_mss log10_pvalue_ratio effect
  *_offset: the window's first base relative to the variant's first
  reference base (POS): 0 starts there, negative starts left of it, on both
  alleles alike; delta_mss = alt_mss - ref_mss; log10_pvalue_ratio =
  log10(ref_pvalue / alt_pvalue); effect: gain (only ALT's best window
  passes), loss (only REF's), both (or none, with --all). An allele without
  a window (a motif longer than the context there is) has empty fields.
  Rows come in the order of the variants, then of the motifs.

skipped: symbolic alleles (<DEL>, breakends, *), alleles with more changed
bases than --max-indel and ALT equal to REF are counted in one warning.

examples:
  vok-scan variants motifs.transfac genome.fa.gz calls.vcf.gz -o effects.tsv
  vok-scan variants --pvalue 1e-5 --all motifs.jaspar genome.fa snvs.tsv > effects.tsv

exit status: 0 done; 1 failure (e.g. writing the output); 2 bad input or
options (a REF that does not match the genome, an unknown chromosome, a
malformed line); 130 interrupted (Ctrl-C; 143 for SIGTERM); 141 the reader of
standard output went away. An interrupted or failed run leaves no file at -o
(unless -o names a device, FIFO or socket, which is written to as the run
goes)."""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=f"{PROG} variants", description=DESCRIPTION, epilog=EPILOG,
        usage=f"{PROG} variants [OPTIONS] MOTIFS GENOME VARIANTS\n       "
              f"{PROG} variants [OPTIONS] --jaspar RELEASE:COLLECTION:TAXON GENOME VARIANTS",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="MOTIFS GENOME VARIANTS",
                        help="a motif file, a FASTA genome and the variants")
    add_motif_options(parser)
    add_scanning_options(parser, partial_windows=False)
    group = parser.add_argument_group("variants")
    group.add_argument("--max-indel", type=int, default=DEFAULT_MAX_INDEL, metavar="N",
                       help="skip alleles with more changed bases than this, counting them in "
                            f"the warning (default: {DEFAULT_MAX_INDEL})")
    group.add_argument("--skip-mismatches", action="store_true",
                       help="skip records whose REF is not the genome's bases, counting them in "
                            "the warning (default: such a record is an error)")
    group.add_argument("--all", action="store_true",
                       help="a row for every variant and motif, passing or not (default: rows "
                            "where either allele's best window passes)")
    group = parser.add_argument_group("output")
    group.add_argument("-o", "--output", metavar="FILE",
                       help="write here instead of standard output; gzip-compressed when the "
                            "name ends in .gz (default: standard output)")
    group.add_argument("--no-header", action="store_true",
                       help="leave out the header line (default: header written)")
    group.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar and no warnings (default: a progress bar when "
                            "standard error is a terminal)")
    group.add_argument("--version", action="version", version=f"{PROG} {version()}")
    return parser


def parse_options(argv: List[str]) -> argparse.Namespace:
    options = build_parser().parse_args(argv)
    wanted = 2 if options.jaspar else 3
    if len(options.inputs) != wanted:
        raise UsageError(f"give {'GENOME and VARIANTS with --jaspar' if options.jaspar else 'MOTIFS, GENOME and VARIANTS'}"
                         f" (see {PROG} variants --help)")
    if options.jaspar:
        options.motifs = None
        options.genome, options.variants = options.inputs
    else:
        options.motifs, options.genome, options.variants = options.inputs
    for name in ("css", "mss", "pvalue"):
        value = getattr(options, name)
        if value is not None and math.isnan(value):
            raise UsageError(f"--{name} must be a number, not NaN")
    if options.pvalue is not None and options.mss is not None:
        raise UsageError("give either --pvalue or --mss, not both")
    if options.pvalue is not None and not 0.0 < options.pvalue <= 1.0:
        raise UsageError("--pvalue must lie in (0, 1]")
    try:
        options.background = pvalue_module.parse_background(options.background)
    except pvalue_module.BackgroundError as exc:
        raise UsageError(f"--background: {exc}") from None
    if options.max_indel < 0:
        raise UsageError("--max-indel must be 0 or more")
    if options.threads < 0:
        raise UsageError("--threads must be 0 or more")
    return options


class _Progress:
    """Variants scored and rows written, on standard error when it is a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled and sys.stderr.isatty()
        self.bar = None

    def update(self, run: EffectRun) -> None:
        if not self.enabled:
            return
        if self.bar is None:
            self.bar = terminal_bar(unit=" variants", desc="variants")
        self.bar.n = run.variants_done
        self.bar.set_postfix_str(f"{run.rows_done:,} rows", refresh=False)
        self.bar.refresh()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def abandon(self) -> None:
        """Clears the bar at once, for a run being stopped (from any thread)."""
        self.enabled = False
        bar = self.bar
        if bar is not None:
            bar.clear()


def _effects(options, job: Job) -> None:
    """The work of a run: read the variants, score them, write the rows."""
    progress = _Progress(not options.quiet)
    job.on_stop.append(progress.abandon)
    try:
        genome = open_genome(options.genome)
        prepared = load_prepared_motifs(options, [options.genome])
        from .. import _engine

        effects = EffectRun(prepared, genome, max_indel=options.max_indel,
                            skip_mismatches=options.skip_mismatches, all_pairs=options.all,
                            strand=options.strand, mask=options.mask, threads=options.threads,
                            source=options.variants)
        output = job.output
        writer = _engine.HitWriter(output.target, "tsv", motifs=prepared.engine_set,
                                   compress=output.compress, header=False)
        pending = b"" if options.no_header else ("\t".join(COLUMNS) + "\n").encode()
        motifs = prepared.engine_set
        records = read_variants(options.variants)
        names_cleaned = names_need_cleaning(prepared.ids, prepared.names)
        for batch in effects.batches(records, stop=job.stop.is_set):
            if job.stop.is_set():
                return
            names_cleaned = names_cleaned or names_need_cleaning(
                [name for record, _ in batch.variants for name in (record.chrom, record.id)])
            text = batch.rows.lines(batch.labels(), motifs)
            if text:
                # The header goes out with the first rows, or at the end.
                job.write_failed = True
                writer.write_text(pending + text)
                job.write_failed = False
                pending = b""
            progress.update(effects)
        if job.stop.is_set():
            return
        job.write_failed = True
        if pending:
            writer.write_text(pending)
        writer.close()
        job.write_failed = False
    finally:
        progress.close()
    warn_names_cleaned(options, names_cleaned)
    message = effects.skipped.message(options.max_indel)
    if message and not options.quiet:
        say(f"warning: {message}")


def run(options) -> int:
    return running.run(lambda job: _effects(options, job), output=options.output)


def main(arguments: List[str]) -> int:
    """`vok-scan variants [OPTIONS] MOTIFS GENOME VARIANTS`; the exit status."""
    return command_main(parse_options, run, arguments)
