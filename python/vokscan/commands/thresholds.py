"""`vok-scan thresholds`: each motif's css/mss thresholds for a rate, with
the hits per Mbp they give on random sequence, as a table or a cut-off file."""

from __future__ import annotations

import argparse
import re
import sys
from typing import List, Optional

import numpy as np

from .. import cutoffs as cutoff_module
from .. import motifs as motif_module
from .. import pvalues as pvalue_module
from ..scanning import STRANDS
from ..quoting import quote, written_name
from . import running
from .common import EXIT_OK, EXIT_USAGE, PROG, Parser, UsageError, resolve_background, say
from .running import Job

DESCRIPTION = """\
Print each motif's thresholds for a rate per window: the mss threshold at
which a random window (under --background) scores at least that high with
probability --pvalue on each strand read, and the css threshold (--css, or
the highest that loses no window reaching that mss). Cut-off lines
(--cutoffs) are printed as given, with their rate. The table's columns:
motif_id motif_name length css mss pvalue hits_per_mbp (pvalue: the rate
per window and strand at both thresholds; hits_per_mbp: expected hits per
million bases of random sequence, all strands read). --format profile writes
cut-off lines that `vok-scan --cutoffs` and the module's
add_from_profile_file read."""

EPILOG = """\
examples:
  vok-scan thresholds motifs.transfac
  vok-scan thresholds --pvalue 1e-5 --format profile -o cutoffs.prf motifs.jaspar
  vok-scan thresholds --background auto motifs.meme genome.fa.gz"""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=f"{PROG} thresholds", description=DESCRIPTION, epilog=EPILOG,
                     usage=f"{PROG} thresholds [OPTIONS] MOTIFS [SEQUENCES...]",
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="*", metavar="MOTIFS SEQUENCES",
                        help="a motif file (left out with --jaspar), then FASTA files for "
                             "--background auto")
    parser.add_argument("--pvalue", type=float, default=pvalue_module.DEFAULT_PVALUE, metavar="P",
                        help=f"rate per window and strand (default: "
                             f"{pvalue_module.DEFAULT_PVALUE:g})")
    parser.add_argument("--css", type=float, default=None,
                        help="css threshold (default: the highest that loses no window "
                             "reaching the mss threshold)")
    parser.add_argument("--background", default="uniform", metavar="SPEC",
                        help="uniform, auto (counted in SEQUENCES) or A,C,G,T frequencies "
                             "(default: uniform)")
    parser.add_argument("--strand", choices=STRANDS, default="both",
                        help="strands the scan reads (default: both)")
    parser.add_argument("--cutoffs", metavar="FILE",
                        help="cut-off lines that replace the computed thresholds (default: none)")
    parser.add_argument("--motif-format", choices=("auto",) + motif_module.FORMATS,
                        default="auto", help="format of MOTIFS (default: auto)")
    parser.add_argument("--jaspar", metavar="SPEC",
                        help="motifs of the JASPAR database bundled by pyjaspar, e.g. "
                             "2024:CORE:vertebrates (default: off)")
    parser.add_argument("--format", choices=("table", "profile"), default="table",
                        help="table: tab-separated with a header; profile: cut-off lines "
                             "(default: table)")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write here instead of standard output; a file appears only once "
                             "complete (default: standard output)")
    return parser


def _accession(motif_id: str, index: int) -> str:
    """Cut-off lines need an accession of letters and digits only."""
    letters = re.sub(r"[^A-Za-z0-9]", "", motif_id)
    return letters or f"M{index + 1}"


def _number(value) -> str:
    """The shortest text that reads back as the same 32-bit float."""
    return np.format_float_positional(np.float32(value), unique=True, trim="-")


def render(records, chosen: pvalue_module.MotifThresholds, fmt: str) -> str:
    lines = []
    if fmt == "table":
        lines.append("motif_id\tmotif_name\tlength\tcss\tmss\tpvalue\thits_per_mbp")
        per_mbp = chosen.hits_per_mbp()
        for k, motif in enumerate(records):
            lines.append(f"{written_name(motif.id)}\t{written_name(motif.name)}\t"
                         f"{motif.matrix.shape[0]}\t"
                         f"{_number(chosen.css[k])}\t{_number(chosen.mss[k])}\t"
                         f"{chosen.rate[k]:.4g}\t{per_mbp[k]:.4g}")
    else:
        for k, motif in enumerate(records):
            if any(c in motif.id for c in "\r\n"):
                raise UsageError(f"motif {quote(motif.id)}: an identifier with a line break cannot "
                                 f"stand in a cut-off line")
            lines.append(f"1 {_number(chosen.css[k])} {_number(chosen.mss[k])} "
                         f"{_accession(motif.id, k)} {motif.id}")
    return "\n".join(lines) + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    try:
        options = build_parser().parse_args(argv)
    except UsageError as exc:
        say(f"error: {exc}")
        return EXIT_USAGE
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    return running.run(lambda job: _thresholds(options, job), output=options.output)


def _thresholds(options, job: Job) -> None:
    """The work of a run: the motifs' thresholds, written to job.output."""
    if options.jaspar:
        records = motif_module.jaspar_motifs(options.jaspar)
        sequences = options.inputs
    else:
        if not options.inputs:
            raise UsageError(f"give a motif file (see {PROG} thresholds --help)")
        fmt = None if options.motif_format == "auto" else options.motif_format
        records = motif_module.load_motifs(options.inputs[0], fmt)
        sequences = options.inputs[1:]
    if not 0.0 < options.pvalue <= 1.0:
        raise UsageError("--pvalue must lie in (0, 1]")
    background = pvalue_module.parse_background(options.background)
    if background == "auto" and not sequences:
        raise UsageError("--background auto needs FASTA files after the motif file")
    background = resolve_background(background, sequences)
    table = cutoff_module.load_cutoffs(options.cutoffs) if options.cutoffs else {}
    chosen = pvalue_module.MotifThresholds(records, options.pvalue, background, css=options.css,
                                           strand=options.strand, cutoffs=table)
    text = render(records, chosen, options.format)
    if job.stop.is_set():
        return
    job.write_failed = True
    if job.output.target is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        with open(job.output.target, "w", encoding="utf-8") as handle:
            handle.write(text)
    job.write_failed = False
