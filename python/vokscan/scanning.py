"""The Python scanning API: hits in batches of columns, or one table."""

from __future__ import annotations

import os
from typing import Dict, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import cutoffs as cutoff_module
from . import motifs as motif_module
from . import pvalues as pvalue_module
from .indexed_fasta import IndexedFasta
from .motifs import Motif

#: Fixed thresholds of the command and the API: css alone when mss is given,
#: and the pair that the README's figures use (see the README for why). By
#: default both take thresholds for a rate instead (pvalues.DEFAULT_PVALUE).
DEFAULT_CSS = 0.95
"""The css threshold that goes with a fixed mss threshold when no ``css=``
(``--css``) is given.

Examples:
    >>> import vokscan
    >>> table = vokscan.scan_to_dataframe("examples/data/jaspar_core_vertebrates.transfac",
    ...                                   "examples/data/lambda_virus.fa", mss=0.9)
    >>> bool((table["css"] >= vokscan.DEFAULT_CSS).all())
    True
"""
DEFAULT_MSS = 0.90
"""The mss threshold of the API's fixed thresholds when neither ``mss=`` nor
``pvalue=`` is given (the command takes thresholds for p = 1e-4 instead).

Examples:
    >>> import vokscan
    >>> vokscan.DEFAULT_CSS, vokscan.DEFAULT_MSS
    (0.95, 0.9)
"""

STRANDS = ("both", "forward", "reversed")

# In-memory records are scanned in pieces of this many bases, so that a
# whole chromosome held as one string still comes back batch by batch.
TEXT_BLOCK = 1 << 20


def _engine():
    from . import _engine as engine  # the native module; imported late so formats work without it

    return engine


class PreparedMotifs:
    """Motif records with their thresholds and the engine's motif set."""

    def __init__(self, records: List[Motif], css: np.ndarray, mss: np.ndarray, searched=None):
        """`searched`: the MotifThresholds that chose css and mss, if any."""
        self.records = records  # the motifs in output order
        self.ids = [m.id for m in records]  # motif_id per motif
        self.names = [m.name for m in records]  # motif_name per motif
        self.css = css  # float32 css threshold per motif
        self.mss = mss  # float32 mss threshold per motif
        self.engine_set = _engine().MotifSet(
            ids=self.ids, names=self.names,
            matrices=[np.ascontiguousarray(m.matrix, dtype=np.float32) for m in records],
            css=[float(v) for v in css], mss=[float(v) for v in mss])
        self.searched = searched
        self.pvalues = None  # the engine's HitPValues when hits carry a pvalue column
        self.pvalue_background = None  # A, C, G, T frequencies those tables are for

    def add_pvalues(self, background, strand: str, threads: int = 0) -> None:
        """Per-hit p-value tables under `background`, for a pvalue column,
        built on `threads` workers (0: all cores, as the scan). Thresholds
        searched under the same background and strands lend their own
        p-values, which the tables would otherwise compute again."""
        self.pvalue_background = [float(value) for value in background]
        known = []
        searched = self.searched
        if searched is not None and searched.strand == strand and \
                searched.background == tuple(self.pvalue_background):
            known = [float(value) for value in np.ravel(searched.threshold_pvalues)]
        self.pvalues = _engine().HitPValues(self.engine_set, self.pvalue_background, strand, threads=threads,
                                            threshold_pvalues=known)

    def windows_scanned(self, record_lengths, strand: str) -> List[int]:
        """Per motif, the full windows a scan of records of these lengths
        reads, on every strand read: the m of the motif's q-values."""
        lengths = np.asarray(record_lengths, dtype=np.int64)
        strands = 2 if strand == "both" else 1
        counts = []
        for record in self.records:
            width = record.matrix.shape[0]
            counts.append(0 if width < 5 else
                          strands * int(np.maximum(lengths - width + 1, 0).sum()))
        return counts


def motif_records(motifs, motif_format: Optional[str] = None) -> List[Motif]:
    """Motif records from a path or from a sequence of matrix objects."""
    if isinstance(motifs, (str, os.PathLike)):
        return motif_module.load_motifs(motifs, motif_format)
    if not isinstance(motifs, (list, tuple)):
        motifs = [motifs]
    records = [motif_module.coerce(item, i) for i, item in enumerate(motifs)]
    if not records:
        raise motif_module.MotifError("no motifs given")
    for record in records:
        motif_module.validate(record)
    return records


def prepare_motifs(motifs, *, css: Optional[float] = None, mss: Optional[float] = None,
                   cutoffs=None, motif_format: Optional[str] = None, pvalue: Optional[float] = None,
                   background="uniform", strand: str = "both",
                   pvalues: bool = False, threads: int = 0) -> PreparedMotifs:
    """Read or convert the motifs and attach each one's thresholds, as the
    command chooses them: with ``mss``, that fixed mss threshold and css
    (default 0.95); otherwise the thresholds for the rate ``pvalue`` per
    window under ``background`` (default 1e-4): the mss threshold of that
    rate and css as given, or None for the highest costing no sensitivity.
    Cut-off lines override both. With ``pvalues``, hits carry a pvalue column.
    Thresholds and tables are computed on ``threads`` workers (0: all cores)."""
    if isinstance(motifs, PreparedMotifs):
        return motifs
    if pvalue is not None and mss is not None:
        raise ValueError("give either pvalue or mss, not both")
    if css is not None:
        cutoff_module.check_threshold(css, "the css threshold")
    records = motif_records(motifs, motif_format)
    if isinstance(cutoffs, (str, os.PathLike)):
        cutoffs = cutoff_module.load_cutoffs(cutoffs)
    background = pvalue_module.parse_background(background)
    if background == "auto":
        raise pvalue_module.BackgroundError(
            "background 'auto' needs sequences: pass "
            "vokscan.pvalues.background_from_sequences(paths) instead")
    chosen = None
    if mss is None:
        rate = pvalue_module.DEFAULT_PVALUE if pvalue is None else pvalue
        chosen = pvalue_module.MotifThresholds(records, rate, background, css=css,
                                               strand=strand, cutoffs=cutoffs, threads=threads)
        css_values, mss_values = chosen.css, chosen.mss
    else:
        css_values, mss_values = cutoff_module.thresholds(
            records, DEFAULT_CSS if css is None else css, mss, cutoffs)
    prepared = PreparedMotifs(records, css_values, mss_values, chosen)
    if pvalues:
        prepared.add_pvalues(background, strand, threads)
    return prepared


def _check_strand(strand: str) -> str:
    if strand not in STRANDS:
        raise ValueError(f"strand must be one of {', '.join(STRANDS)}, not {strand!r}")
    return strand


Record = Tuple[str, Union[str, bytes]]


def _split_sequences(sequences) -> Tuple[List[str], List[Record]]:
    """(paths, in-memory records): exactly one of them is non-empty."""
    if isinstance(sequences, (str, os.PathLike)):
        return [os.fspath(sequences)], []
    if isinstance(sequences, Mapping):
        return [], list(sequences.items())
    paths, records = [], []
    for item in sequences:
        if isinstance(item, (str, os.PathLike)):
            paths.append(os.fspath(item))
        elif isinstance(item, tuple) and len(item) == 2:
            records.append((str(item[0]), item[1]))
        elif hasattr(item, "name") and hasattr(item, "seq"):  # vok.Fasta, Bio SeqRecord
            seq = item.seq
            records.append((str(item.name if not hasattr(item, "id") else item.id),
                            seq if isinstance(seq, (str, bytes)) else str(seq)))
        else:
            raise TypeError(f"a sequence must be a FASTA path, a (name, sequence) pair "
                            f"or a record with name and seq, not {type(item).__name__}")
    if paths and records:
        raise TypeError("give either FASTA paths or in-memory records, not both")
    return paths, records


def _scan_records(prepared: PreparedMotifs, records: Sequence[Record], *, strand, mask,
                  partial_windows, site=False) -> Iterator:
    """Engine batches of in-memory records, one per block of each record."""
    engine = _engine()
    context = max(prepared.engine_set.max_length - 1, 0)
    for name, text in records:
        n = len(text)
        for owned_start in range(0, max(n, 1), TEXT_BLOCK):
            owned_end = min(owned_start + TEXT_BLOCK, n)
            lo, hi = max(owned_start - context, 0), min(owned_end + context, n)
            batch = engine.scan_text(
                prepared.engine_set, name, text[lo:hi], offset=lo,
                owned_start=owned_start, owned_end=owned_end,
                at_record_start=lo == 0, at_record_end=hi == n,
                strand=strand, mask=mask, partial_windows=partial_windows, site=site)
            if len(batch):
                yield batch


def engine_batches(prepared: PreparedMotifs, sequences, *, strand="both", mask=False,
                   partial_windows=False, threads=0, on_scan=None, client=None,
                   block_size=None, stop=None, output_format=None, parts_dir=None,
                   site=False) -> Iterator:
    """The engine's hit batches for FASTA paths or in-memory records.

    ``on_scan`` is called with the running FastaScan (for progress figures).
    With ``site`` the hits carry their window's letters. With a Dask
    ``client`` the FASTA files are scanned on its cluster in blocks of
    ``block_size`` bases. ``stop`` (an Event) ends a scan of FASTA files
    early (locally with KeyboardInterrupt). With
    ``output_format`` ('tsv', 'bed' or 'bed+') the lines are formatted where
    the hits are found, with a pvalue column when ``prepared`` has p-value
    tables: a local scan of FASTA files yields ``HitLines`` for
    ``HitWriter.write``, a cluster scan bytes for ``HitWriter.write_text``
    (left by the workers in ``parts_dir`` when they can reach it).
    """
    _check_strand(strand)
    paths, records = _split_sequences(sequences)
    if client is not None:
        if records:
            raise TypeError("a cluster scan reads FASTA files by path; give paths, not records")
        from .cluster import cluster_batches

        return cluster_batches(client, prepared, paths, on_scan=on_scan, block_size=block_size,
                               stop=stop, output_format=output_format, parts_dir=parts_dir,
                               strand=strand, mask=mask,
                               partial_windows=partial_windows, site=site)
    if records:
        return _scan_records(prepared, records, strand=strand, mask=mask,
                             partial_windows=partial_windows, site=site)
    if not paths:
        raise ValueError("no sequences given")
    return _scan_files(prepared, paths, strand=strand, mask=mask,
                       partial_windows=partial_windows, threads=threads, on_scan=on_scan,
                       site=site, output_format=output_format, stop=stop)


class RegionBatch(NamedTuple):
    batch: object         # the engine's HitBatch; hit.sequence indexes `regions`
    regions: List[str]    # names of the chunk's regions
    first: int            # index of the chunk's first region among all regions
    lengths: List[int]    # letters of each of the chunk's regions


def region_batches(prepared: PreparedMotifs, genome, regions, *, strand="both", mask=False,
                   partial_windows=False, threads=0, region_column=False, site=False,
                   stop=None) -> Iterator[RegionBatch]:
    """The hits of each region of `genome` (a FASTA path), region by region in
    the order given, in genome coordinates, one RegionBatch per chunk of
    regions. `regions`: a BED path, a DataFrame (chrom, start, end[, name])
    or loaded Regions. The hits' sequence is the chromosome; with
    `region_column` the batches carry the region names too, for a HitWriter's
    region column. `stop`, a callable, ends a scan early once it answers true."""
    from .records import region_chunks, scan_chunk
    from .regions import Regions, load_regions

    _check_strand(strand)
    if not isinstance(genome, (str, os.PathLike)):
        raise TypeError("with regions, the sequences are one genome FASTA file, given by its path")
    indexed = IndexedFasta(os.fspath(genome))
    if not isinstance(regions, Regions):
        regions = load_regions(regions, indexed)
    engine = _engine()
    for chunk in region_chunks(indexed, regions):
        batch = scan_chunk(engine, prepared, chunk, strand=strand, mask=mask,
                           partial_windows=partial_windows, threads=threads, site=site,
                           region_names=region_column, stop=stop)
        yield RegionBatch(batch, chunk.names, chunk.first, [len(text) for text in chunk.texts])


def _scan_files(prepared, paths, *, strand, mask, partial_windows, threads, on_scan, site,
                output_format, stop=None):
    lines = {} if output_format is None else {"format": output_format,
                                               "pvalues": prepared.pvalues}
    scan = _engine().FastaScan(prepared.engine_set, paths, strand=strand, mask=mask,
                               partial_windows=partial_windows, threads=threads, site=site,
                               stop=None if stop is None else stop.is_set, **lines)
    try:
        if on_scan is not None:
            on_scan(scan)
        for batch in scan:
            yield batch
    finally:
        scan.close()


def _record_lengths(sequences, options):
    """A function giving the lengths of the records `engine_batches` read
    (once they are read): in-memory records are measured; for FASTA files
    the scan reports them, caught through ``on_scan``."""
    paths, records = _split_sequences(sequences)
    if records:
        return lambda: [len(text) for _, text in records]
    scans = []
    given = options.get("on_scan")

    def on_scan(scan):
        scans.append(scan)
        if given is not None:
            given(scan)

    options["on_scan"] = on_scan
    return lambda: [length for scan in scans for length in scan.record_lengths]


def _have_pandas() -> bool:
    try:
        import pandas  # noqa: F401
    except ImportError:
        return False
    return True


class _Decoder:
    """Turns engine batches into named columns; text columns are decoded
    through small per-batch tables, never one Python object per hit."""

    def __init__(self, prepared: PreparedMotifs):
        self.motif_ids = np.array(prepared.ids, dtype=object)
        self.motif_names = np.array(prepared.names, dtype=object)
        self.strand_text = np.array(["-", "", "+"])  # indexed by strand + 1
        self.pvalues = prepared.pvalues  # HitPValues, or None: no pvalue column

    def arrays(self, batch, regions: Optional[List[str]] = None) -> Dict[str, np.ndarray]:
        raw = batch.columns()
        names = np.array(batch.sequence_names, dtype=object)
        motif = raw["motif"]
        return {
            "sequence": names[raw["sequence"]],
            **({} if regions is None else {"region": np.array(regions, dtype=object)[raw["sequence"]]}),
            "start": raw["start"],
            "end": raw["end"],
            "motif_id": self.motif_ids[motif],
            "motif_name": self.motif_names[motif],
            "strand": self.strand_text[raw["strand"].astype(np.int64) + 1],
            "css": raw["css"],
            "mss": raw["mss"],
            "core": raw["core"],
            **self.pvalue_column(batch),
            **_site_column(raw),
        }

    def pvalue_column(self, batch) -> Dict[str, np.ndarray]:
        return {} if self.pvalues is None else {"pvalue": self.pvalues.lookup(batch)}

    def frame(self, batch, regions: Optional[List[str]] = None):
        import pandas as pd

        raw = batch.columns()
        motif = raw["motif"]
        return pd.DataFrame({
            "sequence": _categorical(batch.sequence_names, raw["sequence"]),
            **({} if regions is None else {"region": _categorical(regions, raw["sequence"])}),
            "start": raw["start"],
            "end": raw["end"],
            "motif_id": _categorical(list(self.motif_ids), motif),
            "motif_name": _categorical(list(self.motif_names), motif),
            "strand": _categorical(["-", "+"], (raw["strand"] > 0).astype(np.int8)),
            "css": raw["css"],
            "mss": raw["mss"],
            "core": raw["core"],
            **self.pvalue_column(batch),
            **_site_column(raw, as_objects=True),
        })


def _site_column(raw, as_objects=False) -> Dict[str, np.ndarray]:
    """The site letters as text (numpy str, or Python str objects for pandas)."""
    if "site" not in raw:
        return {}
    sites = raw["site"].astype(str)
    return {"site": sites.astype(object) if as_objects else sites}


def _categorical(categories: List[str], codes: np.ndarray):
    """A pandas Categorical of categories[codes]; repeated labels share one code."""
    import pandas as pd

    unique: Dict[str, int] = {}
    remap = np.array([unique.setdefault(c, len(unique)) for c in categories], dtype=np.int64)
    if len(unique) < len(categories):
        codes = remap[codes]
    return pd.Categorical.from_codes(codes, categories=list(unique))


def scan(motifs, sequences, *, css: Optional[float] = None, mss: Optional[float] = None,
         cutoffs=None, strand: str = "both", mask: bool = False,
         partial_windows: bool = False, threads: int = 0,
         motif_format: Optional[str] = None, as_frame: Optional[bool] = None,
         pvalue: Optional[float] = None, background="uniform",
         pvalues: bool = False, client=None,
         block_size: Optional[int] = None, regions=None, site: bool = False) -> Iterator:
    """Scan sequences with motifs; yield the hits in batches.

    motifs: a motif file path, or a list of vok.PwmMatrix / Bio.motifs motifs.
    sequences: a FASTA path ("-" = standard input), a list of paths, or
      in-memory records: a dict name -> sequence, (name, sequence) pairs or
      objects with ``name`` and ``seq`` (vok.Fasta).
    Thresholds are chosen as the command chooses them. By default each
      motif gets the mss threshold for the rate ``pvalue`` (default 1e-4)
      per window and strand on random sequence of ``background``
      ("uniform" or A, C, G, T frequencies), and css as given, or None for
      the highest css that loses no window reaching that mss.
    mss: instead, one fixed mss threshold (css None: 0.95); not with pvalue.
    cutoffs: a cut-off file path or a dict id -> (css, mss), overriding both.
    pvalues: add a ``pvalue`` column, P(a random window's mss >= the hit's)
      under ``background``.
    strand: "both", "forward" or "reversed"; mask: skip lower-case letters;
      partial_windows: keep windows cut short by a segment end; threads: for
      FASTA files, 0 = the worker pool's default.
    site: add a ``site`` column, the window's letters on the hit's strand
      (reverse complement for "-" hits of "both", reversed for "reversed")
      in the input's case; a window cut short has the letters there are.
    client: a ``distributed.Client``: scan the FASTA files on its Dask cluster,
      in blocks of ``block_size`` bases (same hits, same order).
    regions: scan only these intervals of ``sequences``, then one genome FASTA
      path (plain or bgzip; indexed when needed): a BED path or a DataFrame
      with columns chrom, start, end and optionally name. Each region is
      scanned as a record of its own, in the order given, positions are
      genome positions, and a ``region`` column follows ``sequence``.
    Each batch is a pandas DataFrame (when pandas is installed, unless
    ``as_frame=False``) or a dict of numpy arrays, with the columns
    sequence, start, end, motif_id, motif_name, strand, css, mss, core
    (and pvalue, site).

    Examples:
        >>> import vokscan
        >>> batches = vokscan.scan("examples/data/jaspar_core_vertebrates.transfac",
        ...                        "examples/data/lambda_virus.fa", pvalue=1e-4, pvalues=True)
        >>> batch = next(batches)
        >>> list(batch.columns)
        ['sequence', 'start', 'end', 'motif_id', 'motif_name', 'strand', 'css', 'mss', 'core', 'pvalue']
        >>> bool((batch["pvalue"] <= 1e-4).all())
        True
    """
    # Motifs, cut-offs and options are checked here, before the first batch is asked for.
    _check_strand(strand)
    prepared = prepare_motifs(motifs, css=css, mss=mss, cutoffs=cutoffs,
                              motif_format=motif_format, pvalue=pvalue,
                              background=background, strand=strand, pvalues=pvalues, threads=threads)
    frames = _have_pandas() if as_frame is None else as_frame
    decoder = _Decoder(prepared)
    convert = decoder.frame if frames else decoder.arrays
    if regions is not None:
        if client is not None:
            raise TypeError("regions are scanned locally; leave out client")
        return (convert(item.batch, item.regions) for item in
                region_batches(prepared, sequences, regions, strand=strand, mask=mask,
                               partial_windows=partial_windows, threads=threads, site=site)
                if len(item.batch))
    batches = engine_batches(prepared, sequences, strand=strand, mask=mask,
                             partial_windows=partial_windows, threads=threads,
                             client=client, block_size=block_size, site=site)
    return (convert(batch) for batch in batches)


def scan_to_dataframe(motifs, sequences, **options):
    """All hits of `scan` as one table (a DataFrame, or a dict of numpy arrays
    when pandas is not installed or ``as_frame=False``). With
    ``qvalues=True`` (which implies ``pvalues``) a ``qvalue`` column follows
    ``pvalue``: per motif, Benjamini-Hochberg with m the full windows scanned
    for the motif on every strand read, the running minimum taken over the
    motif's hits (windows that are not hits are not kept: the conservative
    form). Not for a cluster scan.

    Examples:
        >>> import vokscan
        >>> table = vokscan.scan_to_dataframe(
        ...     "examples/data/jaspar_core_vertebrates.transfac",
        ...     {"chrA": "ACGTTGCAGATAAGGCCGCGCCCCTAAA", "chrB": "acgtNNNNtgcatataaaag"},
        ...     css=0.8, mss=0.75)
        >>> list(table.columns)
        ['sequence', 'start', 'end', 'motif_id', 'motif_name', 'strand', 'css', 'mss', 'core']
        >>> peaks = vokscan.scan_to_dataframe("examples/data/jaspar_core_vertebrates.transfac",
        ...                                   "examples/data/lambda_virus.fa",
        ...                                   regions="examples/data/lambda_peaks.bed", qvalues=True)
        >>> list(peaks.columns[:3]), list(peaks.columns[-2:])
        (['sequence', 'region', 'start'], ['pvalue', 'qvalue'])
    """
    as_frame = options.pop("as_frame", None)
    frames = _have_pandas() if as_frame is None else as_frame
    qvalues = options.pop("qvalues", False)
    if qvalues and options.get("client") is not None:
        raise ValueError("q-values need the lengths of the records scanned: not available "
                         "for a cluster scan")
    prepared = prepare_motifs(motifs, css=options.pop("css", None),
                              mss=options.pop("mss", None),
                              cutoffs=options.pop("cutoffs", None),
                              motif_format=options.pop("motif_format", None),
                              pvalue=options.pop("pvalue", None),
                              background=options.pop("background", "uniform"),
                              strand=options.get("strand", "both"),
                              pvalues=options.pop("pvalues", False) or qvalues,
                              threads=options.get("threads", 0) or 0)
    regions = options.pop("regions", None)
    region_lengths: List[int] = []
    if qvalues:
        record_lengths = (lambda: region_lengths) if regions is not None else _record_lengths(sequences, options)
    names: Dict[str, int] = {}
    site = options.get("site", False)
    parts: Dict[str, List[np.ndarray]] = {key: [] for key in
                                          ("sequence", "start", "end", "motif", "strand",
                                           "css", "mss", "core", "pvalue", "region", "site")}
    region_names: List[str] = []
    if regions is not None:
        if options.get("client") is not None:
            raise TypeError("regions are scanned locally; leave out client")
        def region_hits():
            for item in region_batches(prepared, sequences, regions, **{
                    key: options[key] for key in ("strand", "mask", "partial_windows", "threads", "site")
                    if key in options}):
                region_names.extend(item.regions)
                region_lengths.extend(item.lengths)
                parts["region"].append(item.first + item.batch.columns()["sequence"].astype(np.int64))
                yield item.batch
        batches = region_hits()
    else:
        batches = engine_batches(prepared, sequences, **options)
    for batch in batches:
        if prepared.pvalues is not None:
            parts["pvalue"].append(prepared.pvalues.lookup(batch))
        raw = batch.columns()
        local = np.array([names.setdefault(n, len(names)) for n in batch.sequence_names],
                         dtype=np.int64)
        parts["sequence"].append(local[raw["sequence"]] if len(local) else raw["sequence"])
        for key in ("start", "end", "motif", "strand", "css", "mss", "core"):
            parts[key].append(raw[key])
        if site:
            parts["site"].append(raw["site"].astype(str))
    dtypes = {"sequence": np.int64, "start": np.int64, "end": np.int64, "motif": np.int32,
              "strand": np.int8, "css": np.float32, "mss": np.float32, "core": np.int64,
              "pvalue": np.float32, "region": np.int64, "site": str}
    joined = {key: (np.concatenate(parts[key]) if parts[key] else np.empty(0, dtypes[key]))
              for key in parts}
    sequence_names = list(names)
    extra = {"pvalue": joined["pvalue"]} if prepared.pvalues is not None else {}
    if qvalues:
        windows = np.asarray(prepared.windows_scanned(record_lengths(), options.get("strand", "both")),
                             dtype=np.uint64)
        extra["qvalue"] = _engine().hit_qvalues(joined["motif"], joined["pvalue"], windows)
    if site:
        extra["site"] = joined["site"].astype(object) if frames else joined["site"]
    if frames:
        import pandas as pd

        region = {} if regions is None else {"region": _categorical(region_names, joined["region"])}
        return pd.DataFrame({
            "sequence": _categorical(sequence_names, joined["sequence"]),
            **region,
            "start": joined["start"],
            "end": joined["end"],
            "motif_id": _categorical(prepared.ids, joined["motif"]),
            "motif_name": _categorical(prepared.names, joined["motif"]),
            "strand": _categorical(["-", "+"], (joined["strand"] > 0).astype(np.int8)),
            "css": joined["css"],
            "mss": joined["mss"],
            "core": joined["core"],
            **extra,
        })
    region = ({} if regions is None else
              {"region": np.array(region_names, dtype=object)[joined["region"]]})
    return {
        "sequence": np.array(sequence_names, dtype=object)[joined["sequence"]],
        **region,
        "start": joined["start"],
        "end": joined["end"],
        "motif_id": np.array(prepared.ids, dtype=object)[joined["motif"]],
        "motif_name": np.array(prepared.names, dtype=object)[joined["motif"]],
        "strand": np.array(["-", "", "+"])[joined["strand"].astype(np.int64) + 1],
        "css": joined["css"],
        "mss": joined["mss"],
        "core": joined["core"],
        **extra,
    }
