"""Per-record site counts: a records (or regions) x motifs matrix, kept
sparse so that memory follows the (record, motif) pairs with a site, and
written as a wide TSV, NPZ, Matrix Market or H5AD file."""

from __future__ import annotations

import gzip
import os
import shutil
import tempfile
import warnings
from typing import Iterator, List, Optional, Tuple

import numpy as np

from .indexed_fasta import IndexedFasta
from .output import AtomicOutput, is_own_stdout, writes_in_place
from .quoting import has_control_characters, written_name
from .records import RecordChunk, chunks_of, fasta_records, region_chunks, scan_chunk
from .regions import load_regions
from .scanning import PreparedMotifs, _engine, _split_sequences, prepare_motifs

VALUES = ("count", "presence", "max_score")
FORMATS = ("tsv", "npz", "mtx", "h5ad")


class CountError(ValueError):
    """A request that gives no count matrix."""


def format_of(path: Optional[str]) -> str:
    """The output format told by the file name (standard output, and a
    device, FIFO or socket whose name tells none: TSV)."""
    if path in (None, "-"):
        return "tsv"
    name = os.fspath(path).lower()
    for suffix, fmt in ((".tsv", "tsv"), (".tsv.gz", "tsv"), (".txt", "tsv"), (".npz", "npz"),
                        (".mtx", "mtx"), (".h5ad", "h5ad")):
        if name.endswith(suffix):
            return fmt
    if is_own_stdout(os.fspath(path)) or writes_in_place(os.fspath(path)):
        return "tsv"
    raise CountError(f"{path}: cannot tell the format from the name; end it in .tsv, .tsv.gz, .npz, "
                     ".mtx or .h5ad")


def _write_h5ad(table, target: str) -> None:
    """HDF5 seeks as it writes: a FIFO or a device gets the bytes of a file
    written first in a temporary folder."""
    if not writes_in_place(target):
        table.write_h5ad(target)
        return
    with tempfile.TemporaryDirectory(prefix="vokscan-") as folder:
        staged = os.path.join(folder, "counts.h5ad")
        table.write_h5ad(staged)
        with open(staged, "rb") as source, open(target, "wb") as out:
            shutil.copyfileobj(source, out, 1 << 20)


def record_chunks(sequences, regions=None) -> Iterator[RecordChunk]:
    """The records to count: regions of a genome (sequences = its FASTA path),
    the records of FASTA files, or records in memory."""
    if regions is not None:
        if not isinstance(sequences, (str, os.PathLike)):
            raise TypeError("with regions, the sequences are one genome FASTA file, given by its path")
        genome = IndexedFasta(os.fspath(sequences))
        return region_chunks(genome, load_regions(regions, genome))
    paths, records = _split_sequences(sequences)
    if records:
        return chunks_of(records)
    if not paths:
        raise ValueError("no sequences given")
    return chunks_of(fasta_records(paths))


class CountScan:
    """Scans chunks of records into a SiteTally that keeps the pairs."""

    def __init__(self, prepared: PreparedMotifs, value: str, *, strand="both", mask=False,
                 partial_windows=False, threads=0, stop=None):
        if value not in VALUES:
            raise CountError(f"value must be one of {', '.join(VALUES)}, not {value!r}")
        self.engine = _engine()
        self.prepared = prepared
        self.value = value
        self.options = {"strand": strand, "mask": mask, "partial_windows": partial_windows,
                        "threads": threads, "stop": stop}
        self.tally = self.engine.SiteTally(len(prepared.records), keep_pairs=True,
                                           keep_max_mss=value == "max_score")

    def add(self, chunk: RecordChunk) -> None:
        self.tally.add(scan_chunk(self.engine, self.prepared, chunk, **self.options), len(chunk))

    def values_of(self, rows):
        """The values of the taken rows' pairs: this scan's kind."""
        if self.value == "max_score":
            return rows.max_mss
        if self.value == "presence":
            return np.ones(len(rows.indices), dtype=np.uint8)
        return rows.counts

    def csr(self, rows):
        """A scipy CSR matrix of the taken rows, with this scan's values."""
        from scipy import sparse

        return sparse.csr_matrix((self.values_of(rows), rows.indices, rows.indptr),
                                 shape=(len(rows), len(self.prepared.records)), copy=False)


class NpzColumns:
    """The CSR arrays of a count matrix, gathered chunk by chunk in unnamed
    files and written as the members of an .npz archive (scipy's layout, as
    numpy.savez_compressed writes it)."""

    CHUNK_BYTES = 1 << 22

    def __init__(self, folder: str):
        self.files = {"data": tempfile.TemporaryFile(dir=folder), "indices": tempfile.TemporaryFile(dir=folder)}
        self.data_dtype = None
        self.pairs = 0
        self.row_ends: List[np.ndarray] = []  # indptr[1:] of each chunk, in pairs from the start

    def add(self, rows, values) -> None:
        if self.data_dtype is None:
            self.data_dtype = np.asarray(values).dtype
        self.files["data"].write(np.ascontiguousarray(values, dtype=self.data_dtype).tobytes())
        self.files["indices"].write(np.ascontiguousarray(rows.indices, dtype=np.int32).tobytes())
        self.row_ends.append(np.asarray(rows.indptr[1:], dtype=np.int64) + self.pairs)
        self.pairs += len(rows.indices)

    def write(self, handle, **small_arrays) -> None:
        import zipfile

        # scipy keeps 32-bit row offsets while the pairs fit them.
        offsets = np.concatenate([np.zeros(1, np.int64)] + self.row_ends)
        if self.pairs < 2**31:
            offsets = offsets.astype(np.int32)
        data_dtype = self.data_dtype if self.data_dtype is not None else np.dtype(np.uint32)
        with zipfile.ZipFile(handle, "w", compression=zipfile.ZIP_DEFLATED, allowZip64=True) as archive:
            for name, dtype in (("data", data_dtype), ("indices", np.dtype(np.int32))):
                source = self.files[name]
                source.flush()
                source.seek(0)
                with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
                              "shape": (self.pairs,)}
                    np.lib.format.write_array_header_1_0(member, header)
                    shutil.copyfileobj(source, member, self.CHUNK_BYTES)
            for name, array in [("indptr", offsets)] + list(small_arrays.items()):
                with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                    np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=False)

    def close(self) -> None:
        for handle in self.files.values():
            handle.close()


def count_matrix(prepared: PreparedMotifs, chunks: Iterator[RecordChunk], value: str = "count",
                 **options) -> Tuple[object, List[str]]:
    """(scipy CSR matrix, row names) of the records of `chunks`."""
    scan = CountScan(prepared, value, **options)
    names: List[str] = []
    for chunk in chunks:
        scan.add(chunk)
        names.extend(chunk.names)
    return scan.csr(scan.tally.take_rows()), names


def count_sites(motifs, sequences, *, regions=None, presence: bool = False, max_score: bool = False,
                sparse: bool = False, css: Optional[float] = None, mss: Optional[float] = None,
                cutoffs=None, pvalue: Optional[float] = None, background="uniform", strand: str = "both",
                mask: bool = False, partial_windows: bool = False, threads: int = 0,
                motif_format: Optional[str] = None):
    """Sites per record (or region) and motif, both strands.

    motifs, sequences and the threshold options are those of scan();
    regions: count in these intervals of the genome ``sequences`` (a BED path
    or a DataFrame chrom, start, end[, name]), one row per region.
    presence: 1 where a record has a site of the motif, else 0; max_score:
    the best mss of the pair instead (0 where none).
    Returns a DataFrame with sparse columns (rows: record names, columns:
    motif ids), or with ``sparse=True`` (scipy CSR matrix, row names, motif ids).

    Examples:
        >>> import vokscan
        >>> counts = vokscan.count_sites("examples/data/jaspar_core_vertebrates.transfac",
        ...                              "examples/data/lambda_virus.fa",
        ...                              regions="examples/data/lambda_peaks.bed", presence=True)
        >>> counts.shape                      # 40 peaks x 8 motifs
        (40, 8)
        >>> matrix, rows, motif_ids = vokscan.count_sites(
        ...     "examples/data/jaspar_core_vertebrates.transfac", "examples/data/lambda_virus.fa", sparse=True)
        >>> matrix.shape == (len(rows), len(motif_ids))
        True
    """
    if presence and max_score:
        raise CountError("give presence or max_score, not both")
    value = "presence" if presence else "max_score" if max_score else "count"
    prepared = prepare_motifs(motifs, css=css, mss=mss, cutoffs=cutoffs, motif_format=motif_format,
                              pvalue=pvalue, background=background, strand=strand, threads=threads)
    matrix, names = count_matrix(prepared, record_chunks(sequences, regions), value, strand=strand,
                                 mask=mask, partial_windows=partial_windows, threads=threads)
    if sparse:
        return matrix, names, list(prepared.ids)
    import pandas as pd

    return pd.DataFrame.sparse.from_spmatrix(matrix, index=names, columns=list(prepared.ids))


# --- writing ----------------------------------------------------------------

class CountWriter:
    """Writes a count matrix to `path` in the format its name tells, atomically:
    nothing appears under the final names unless every row was written. TSV,
    Matrix Market and NPZ are written chunk by chunk (the pairs of the last
    two through unnamed files, since their headers need the totals); H5AD,
    whose library takes the whole matrix, at the end.
    Names are written with control characters as '_', so that none adds
    fields or lines to the text formats.

    `main`, an AtomicOutput of `path` made already, and `add_output`, which
    makes the others, hand the files to a caller that names them itself
    (the command); by default finish() names them and discard() removes them."""

    def __init__(self, path: Optional[str], scan: CountScan, row_title: str = "sequence", *,
                 main: Optional[AtomicOutput] = None, add_output=None):
        self.format = format_of(path)
        if self.format == "h5ad":
            try:
                import anndata  # noqa: F401
            except ImportError:
                raise CountError("writing .h5ad needs the anndata extra: "
                                 "python -m pip install 'vok[anndata]'") from None
        self.scan = scan
        self.motif_ids = list(scan.prepared.ids)
        self.names_cleaned = any(map(has_control_characters, self.motif_ids + list(scan.prepared.names)))
        self.outputs: List[AtomicOutput] = []
        self.own_outputs = add_output is None  # named by finish(), not by the caller
        self.add_output = add_output or AtomicOutput
        self.main = self._output(path) if main is None else main
        self.names: List[str] = []        # row names kept for the formats written at the end
        self.rows_written = 0
        self.pairs_written = 0
        self.handle = None
        if self.format == "tsv":
            self.handle = self._open(self.main)
            self.handle.write(("\t".join([row_title] + [written_name(i) for i in self.motif_ids]) + "\n")
                              .encode("utf-8", "surrogateescape"))
        elif self.format == "mtx":
            base = os.fspath(path)[:-4]
            self.rows_output = self._output(base + ".rows.tsv")
            self.cols_output = self._output(base + ".cols.tsv")
            self.rows_handle = open(self.rows_output.target, "wb")
            # The entries go to an unnamed file until their count, which the
            # header states first, is known.
            self.handle = tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(path)))
        elif self.format == "npz":
            # The pairs go to unnamed files chunk by chunk and are copied into
            # the archive at the end, so memory does not grow with them.
            self.npz_columns = NpzColumns(os.path.dirname(os.path.abspath(path)))

    def _output(self, path) -> AtomicOutput:
        output = self.add_output(path)
        self.outputs.append(output)
        return output

    def _row_names(self, names: List[str]) -> List[str]:
        if any(map(has_control_characters, names)):
            self.names_cleaned = True
            return [written_name(name) for name in names]
        return names

    @staticmethod
    def _open(output: AtomicOutput):
        if output.target is None:
            import sys

            return sys.stdout.buffer
        return gzip.open(output.target, "wb") if output.compress else open(output.target, "wb")

    def add(self, chunk: RecordChunk) -> None:
        self.scan.add(chunk)
        if self.format in ("npz", "h5ad"):
            self.names.extend(chunk.names)
            if self.format == "npz":
                rows = self.scan.tally.take_rows()
                self.npz_columns.add(rows, self.scan.values_of(rows))
            return
        rows = self.scan.tally.take_rows()
        names = self._row_names(chunk.names)
        if self.format == "tsv":
            self.handle.write(rows.wide_text(names, len(self.motif_ids), self.scan.value))
        else:
            self.handle.write(rows.matrix_market_text(self.rows_written, self.scan.value))
            self.rows_handle.write("".join(f"{name}\n" for name in names).encode("utf-8",
                                                                              "surrogateescape"))
            self.pairs_written += len(rows.indices)
        self.rows_written += len(chunk)

    def finish(self) -> None:
        """Completes every file and gives it its name."""
        if self.format == "npz":
            with open(self.main.target, "wb") as handle:
                self.npz_columns.write(handle, shape=np.array([len(self.names), len(self.motif_ids)]),
                                       format=np.array("csr"), row_names=np.array(self.names, dtype=str),
                                       col_names=np.array(self.motif_ids, dtype=str),
                                       col_motif_names=np.array(self.scan.prepared.names, dtype=str))
            self.npz_columns.close()
        elif self.format == "h5ad":
            import anndata
            import pandas as pd

            matrix = self.scan.csr(self.scan.tally.take_rows())
            with warnings.catch_warnings():
                # Records of one name are rows of their own, as in the other formats.
                warnings.filterwarnings("ignore", message=".*names are not unique")
                table = anndata.AnnData(X=matrix, obs=pd.DataFrame(index=pd.Index(self.names, dtype=str)),
                                        var=pd.DataFrame({"motif_name": list(self.scan.prepared.names)},
                                                         index=pd.Index(self.motif_ids, dtype=str)))
                _write_h5ad(table, self.main.target)
        elif self.format == "mtx":
            self.rows_handle.close()
            field = "real" if self.scan.value == "max_score" else "integer"
            self.handle.seek(0)
            with open(self.main.target, "wb") as out:
                out.write(f"%%MatrixMarket matrix coordinate {field} general\n"
                          f"{self.rows_written} {len(self.motif_ids)} {self.pairs_written}\n".encode())
                shutil.copyfileobj(self.handle, out, 1 << 20)
            self.handle.close()
            with open(self.cols_output.target, "wb") as cols:
                cols.write("".join(f"{written_name(i)}\t{written_name(n)}\n"
                                   for i, n in zip(self.motif_ids, self.scan.prepared.names))
                           .encode("utf-8", "surrogateescape"))
        else:
            if self.main.target is None:
                self.handle.flush()
            else:
                self.handle.close()
        if self.own_outputs:
            for output in self.outputs:
                output.commit()

    def close(self) -> None:
        """Closes the files still open (standard output stays open)."""
        if self.format == "npz":
            self.npz_columns.close()
        for handle in (self.handle, getattr(self, "rows_handle", None)):
            if handle is not None and self.main.target is not None:
                try:
                    handle.close()
                except OSError:
                    pass

    def discard(self) -> None:
        """Removes every unfinished file; safe to call more than once."""
        self.close()
        for output in self.outputs:
            output.discard()
