"""The `vok-scan` command: option parsing, running the scan, exit statuses."""

from __future__ import annotations

import argparse
import errno
import math
import os
import signal
import sys
import threading
from typing import List, Optional

from . import cutoffs as cutoff_module
from . import motifs as motif_module
from . import pvalues as pvalue_module
from .output import AtomicOutput
from .progress import Progress
from .scanning import DEFAULT_CSS, DEFAULT_MSS, STRANDS, PreparedMotifs, engine_batches

PROG = "vok-scan"
EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141
# After Ctrl-C, how long the scan may take to wind down before the process ends anyway.
STOP_GRACE_SECONDS = 0.25

DESCRIPTION = """\
Scan DNA sequences for transcription-factor binding sites with position
weight matrices. Every position of every sequence is scored with every
matrix; a site is reported when its core similarity score (css, over the
five best-conserved positions) and its matrix similarity score (mss, over
the whole matrix) both reach their thresholds.

MOTIFS is a motif file: TRANSFAC, JASPAR (.jaspar or the plain four rows of
counts), MEME minimal text or HOMER; the format is detected from the content.
SEQUENCES are FASTA files (plain or gzip/bgzip-compressed, told apart by
content) or - for standard input. Upper- and lower-case A/C/G/T are scanned;
N and the other ambiguity codes end a segment, so no site spans them."""

EPILOG = """\
output columns (TSV):
  sequence start end motif_id motif_name strand css mss core pvalue
  start/end: the matrix window, 0-based, end exclusive; core: the forward
  index of the leftmost base of the five-base core word; pvalue: the
  probability that a random window of the motif's length scores an mss at
  least the hit's own (under --background). BED: chrom, start, end, motif id,
  round(mss x 1000), strand; bed+ adds css, mss and pvalue.

thresholds: unless --mss is given, each motif gets the mss threshold at
which a random window of the background scores at least that high with
probability --pvalue (1e-4 when no threshold option is given), and, unless
--css is given, the highest css threshold that loses no window reaching that
mss. `vok-scan thresholds MOTIFS` prints them with the expected hits per Mbp.

examples:
  vok-scan motifs.transfac genome.fa.gz -o hits.tsv.gz
  vok-scan --pvalue 1e-5 --background auto motifs.jaspar genome.fa > hits.tsv
  vok-scan thresholds --pvalue 1e-4 --format profile motifs.transfac > cutoffs.prf
  vok-scan --jaspar 2024:CORE:vertebrates --css 1 --mss 0.95 --format bed chr1.fa > chr1.bed
  zcat reads.fa.gz | vok-scan --mask --cutoffs cutoffs.prf --quiet motifs.meme - | head

exit status: 0 done; 1 failure (e.g. writing the output); 2 bad input or
options; 130 interrupted (Ctrl-C; 143 for SIGTERM); 141 the reader of standard output went
away (e.g. head). An interrupted or failed run leaves no file at -o."""


class UsageError(Exception):
    """A bad option or input: exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line instead of usage + message
        raise UsageError(f"{message} (see {PROG} --help)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        usage=f"{PROG} [OPTIONS] MOTIFS SEQUENCES...\n       "
              f"{PROG} [OPTIONS] --jaspar RELEASE:COLLECTION:TAXON SEQUENCES...\n       "
              f"{PROG} thresholds [OPTIONS] MOTIFS [SEQUENCES...]   (see {PROG} thresholds --help)",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="MOTIFS SEQUENCES",
                        help="a motif file, then one or more FASTA files (- = standard input)")
    group = parser.add_argument_group("motifs and thresholds")
    group.add_argument("--motif-format", choices=("auto",) + motif_module.FORMATS,
                       default="auto", help="format of MOTIFS (default: auto, from the content)")
    group.add_argument("--jaspar", metavar="SPEC",
                       help="take the motifs from the JASPAR database bundled by pyjaspar, "
                            "e.g. 2024:CORE:vertebrates (latest version of each matrix); "
                            "MOTIFS is then left out (default: off)")
    group.add_argument("--pvalue", type=float, default=None, metavar="P",
                       help=f"per-motif mss threshold for this rate per window and strand on "
                            f"random sequence (default: {pvalue_module.DEFAULT_PVALUE:g} unless "
                            f"--mss is given)")
    group.add_argument("--css", type=float, default=None, metavar="X",
                       help=f"css threshold for motifs without a cut-off line (default: with "
                            f"--pvalue, the highest that loses no window reaching the mss "
                            f"threshold; with --mss, {DEFAULT_CSS})")
    group.add_argument("--mss", type=float, default=None, metavar="X",
                       help="fixed mss threshold for motifs without a cut-off line, instead "
                            "of --pvalue (default: from --pvalue)")
    group.add_argument("--background", default="uniform", metavar="SPEC",
                       help="base frequencies of random sequence for --pvalue and the pvalue "
                            "column: uniform, auto (counted in SEQUENCES, both strands) or "
                            "A,C,G,T frequencies such as 0.3,0.2,0.2,0.3 (default: uniform)")
    group.add_argument("--cutoffs", metavar="FILE",
                       help="per-motif cut-offs, lines '1 <css> <mss> <accession> <motif id>' "
                            "(default: none)")
    group = parser.add_argument_group("scanning")
    group.add_argument("--strand", choices=STRANDS, default="both",
                       help="both: forward and reverse complement; forward: forward only; "
                            "reversed: forward and the sequence reversed but not complemented, "
                            "as vok's evaluate() scans it (default: both)")
    group.add_argument("--mask", action="store_true",
                       help="skip lower-case (soft-masked) letters like N (default: scan them)")
    group.add_argument("--partial-windows", action="store_true",
                       help="also report sites whose matrix window is cut short by a segment "
                            "end, with the end clipped (default: whole windows only)")
    group.add_argument("-t", "--threads", type=int, default=0, metavar="N",
                       help="worker threads; 0 = all cores, or RAYON_NUM_THREADS when set "
                            "(default: 0)")
    group = parser.add_argument_group("output")
    group.add_argument("-o", "--output", metavar="FILE",
                       help="write here instead of standard output; gzip-compressed when the "
                            "name ends in .gz (default: standard output)")
    group.add_argument("-f", "--format", choices=("tsv", "bed", "bed+"), default="tsv",
                       help="output format (default: tsv)")
    group.add_argument("--no-header", action="store_true",
                       help="leave out the TSV header line (default: header written)")
    group.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar and no warnings (default: a progress bar when "
                            "standard error is a terminal)")
    group.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    group = parser.add_argument_group("cluster (needs the dask extra: pip install 'vok[dask]')")
    group.add_argument("--dask", metavar="SCHEDULER",
                       help="scan on a Dask cluster: a scheduler address (tcp://host:8786) or "
                            "local:N to start N worker processes here; FASTA files are read by "
                            "path on the workers and indexed (.fai, .gzi) when needed; the "
                            "output is that of the local run (default: off)")
    group.add_argument("--dask-block-size", type=int, default=4_000_000, metavar="BASES",
                       help="bases of sequence per cluster task (default: 4000000)")
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vok")
    except Exception:  # not installed as a distribution (source tree)
        return "unknown"


def parse_options(argv: Optional[List[str]]) -> argparse.Namespace:
    options = build_parser().parse_args(argv)
    if options.jaspar:
        options.motifs, options.sequences = None, options.inputs
    else:
        if len(options.inputs) < 2:
            raise UsageError(f"give a motif file and at least one FASTA file "
                             f"(see {PROG} --help)")
        options.motifs, options.sequences = options.inputs[0], options.inputs[1:]
    if options.sequences.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
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
    if options.threads < 0:
        raise UsageError("--threads must be 0 or more")
    if options.dask_block_size < 1:
        raise UsageError("--dask-block-size must be 1 or more")
    return options


def _load(options) -> PreparedMotifs:
    if options.jaspar:
        records = motif_module.jaspar_motifs(options.jaspar)
    else:
        fmt = None if options.motif_format == "auto" else options.motif_format
        records = motif_module.load_motifs(options.motifs, fmt)
    table = cutoff_module.load_cutoffs(options.cutoffs) if options.cutoffs else {}
    if not options.quiet:
        for key in cutoff_module.unmatched(table, records):
            _say(f"warning: cut-off line for '{key}' names no motif")
    background = resolve_background(options.background, options.sequences)
    if options.mss is None:
        chosen = pvalue_module.MotifThresholds(
            records, options.pvalue or pvalue_module.DEFAULT_PVALUE, background,
            css=options.css, strand=options.strand, cutoffs=table)
        css, mss = chosen.css, chosen.mss
        unreachable = [motif.id for motif, threshold in zip(records, mss)
                       if threshold > 1.0 and motif.matrix.shape[0] >= 5]
        if unreachable and not options.quiet:
            shown = ", ".join(unreachable[:5]) + (f" and {len(unreachable) - 5} more"
                                                  if len(unreachable) > 5 else "")
            _say(f"warning: {len(unreachable)} motif(s) report no hits: even their best window "
                 f"is more likely than the rate asked for ({shown}); a larger --pvalue admits them")
    else:
        css_default = DEFAULT_CSS if options.css is None else options.css
        css, mss = cutoff_module.thresholds(records, css_default, options.mss, table)
    prepared = PreparedMotifs(records, css, mss)
    prepared.add_pvalues(background, options.strand)
    return prepared


def resolve_background(spec, sequences):
    """The background of --background; 'auto' counts the bases of the sequences."""
    if spec != "auto":
        return spec
    try:
        return pvalue_module.background_from_sequences(sequences)
    except pvalue_module.BackgroundError as exc:
        raise UsageError(f"--background auto: {exc}") from None


def _say(message: str) -> None:
    try:
        sys.stderr.write(f"{PROG}: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.filename}: {exc.strerror}" if exc.filename is not None else exc.strerror
    text = str(exc) or type(exc).__name__
    return text.splitlines()[0] if text.strip() else type(exc).__name__


class _Run:
    """The scan and the writing, on a thread of its own so that the main
    thread stays free to take Ctrl-C at once."""

    def __init__(self, prepared, options, writer, progress, client=None, parts_dir=None):
        self.client = client  # a Dask client when scanning on a cluster
        self.parts_dir = parts_dir  # where cluster workers may leave their lines: the output's folder
        self.prepared = prepared
        self.options = options
        self.writer = writer
        self.progress = progress
        self.stop = threading.Event()  # set by the main thread on Ctrl-C
        self.error: Optional[BaseException] = None  # what ended the run early
        self.write_failed = False  # the error came from writing, not reading
        self.done = threading.Event()  # set when the thread is about to end

    def __call__(self) -> None:
        try:
            self._work()
        finally:
            self.done.set()

    def _work(self) -> None:
        try:
            batches = engine_batches(
                self.prepared, self.options.sequences, strand=self.options.strand,
                mask=self.options.mask, partial_windows=self.options.partial_windows,
                threads=self.options.threads, on_scan=self.progress.start,
                client=self.client, block_size=self.options.dask_block_size, stop=self.stop,
                output_format=self.options.format, parts_dir=self.parts_dir)
            try:
                for batch in batches:
                    if self.stop.is_set():
                        break
                    self.write_failed = True
                    if isinstance(batch, bytes):  # lines formatted by cluster workers
                        self.writer.write_text(batch)
                    else:
                        self.writer.write(batch)
                    self.write_failed = False
                    self.progress.update()
            finally:
                batches.close()
            if not self.stop.is_set():
                self.write_failed = True
                self.writer.close()
                self.write_failed = False
        except BaseException as exc:  # carried to the main thread
            self.error = exc


_BAD_NAME_ERRNOS = {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.EACCES, errno.EPERM,
                    errno.ENAMETOOLONG, errno.ELOOP, errno.EROFS, None}


def _exit_status(exc: BaseException, write_failed: bool) -> int:
    if isinstance(exc, BrokenPipeError) and write_failed:
        return EXIT_PIPE
    if isinstance(exc, (UsageError, motif_module.MotifError, cutoff_module.CutoffError,
                        pvalue_module.BackgroundError)):
        return EXIT_USAGE
    if isinstance(exc, OSError):
        # A name that does not lead to a usable file is a bad argument; a
        # full disk or a failing device is not.
        return EXIT_USAGE if exc.errno in _BAD_NAME_ERRNOS and not write_failed \
            else EXIT_FAILURE
    if isinstance(exc, ValueError):  # the engine's InputError and bad motifs
        return EXIT_USAGE
    return EXIT_FAILURE


def _silence_stdout() -> None:
    """After a closed pipe, point standard output at /dev/null so that no
    later flush reports the same error again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


_received = [signal.SIGINT]  # the last stopping signal, for the exit status


def _interrupt(signum, frame):
    _received[0] = signum
    raise KeyboardInterrupt


def run(options) -> int:
    if not options.dask:
        return _run(options)
    from .cluster import ClientStart

    try:
        # Connects (or starts the local cluster) while the motifs are loaded.
        start = ClientStart(options.dask)
    except (ImportError, ValueError) as exc:
        _say(f"error: {_describe(exc)}")
        return EXIT_USAGE
    with start:
        return _run(options, start)


def _run(options, connecting=None) -> int:
    output = None
    progress = Progress(not options.quiet)
    worker = None
    try:
        try:
            prepared = _load(options)
            from . import _engine

            output = AtomicOutput(options.output)
            writer = _engine.HitWriter(output.target, format=options.format,
                                       motifs=prepared.engine_set, compress=output.compress,
                                       header=not options.no_header, pvalues=prepared.pvalues)
            client = connecting.client() if connecting is not None else None
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            _say(f"error: {_describe(exc)}")
            return _exit_status(exc, False)
        parts_dir = os.path.dirname(output.target) if output.target else None
        task = _Run(prepared, options, writer, progress, client, parts_dir)
        worker = threading.Thread(target=task, name="vok-scan", daemon=True)
        worker.start()
        # Waiting on an event, not on join(): a join cut short by Ctrl-C can
        # leave the thread marked as ended while it still runs.
        while not task.done.wait(0.1):
            pass
        progress.close()
        if task.error is not None:
            status = _exit_status(task.error, task.write_failed)
            if status == EXIT_PIPE:
                _silence_stdout()
            else:
                _say(f"error: {_describe(task.error)}")
            return status
        output.commit()
        return EXIT_OK
    except KeyboardInterrupt:
        if output is not None:
            output.discard()
        progress.enabled = False
        _say("interrupted")
        if worker is not None and not task.done.is_set():
            task.stop.set()
            if not task.done.wait(STOP_GRACE_SECONDS):
                # A long batch is still being scanned or written: end without
                # waiting for it (the unfinished file is already gone).
                sys.stderr.flush()
                os._exit(128 + _received[0])
        return 128 + _received[0]
    finally:
        if output is not None:
            output.discard()


def main(argv: Optional[List[str]] = None) -> int:
    # Installed explicitly: a job started in the background inherits SIGINT
    # ignored, and Python then leaves it so.
    signal.signal(signal.SIGINT, _interrupt)
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        arguments = sys.argv[1:] if argv is None else list(argv)
        if arguments[:1] == ["thresholds"]:
            from .thresholds_command import main as thresholds_main

            return thresholds_main(arguments[1:])
        try:
            options = parse_options(arguments)
        except UsageError as exc:
            _say(f"error: {exc}")
            return EXIT_USAGE
        except SystemExit as exc:  # --help, --version
            return exc.code if isinstance(exc.code, int) else EXIT_OK
        return run(options)
    except KeyboardInterrupt:
        return 128 + _received[0]
