"""Random access to the bases of an indexed FASTA file (plain or bgzip).

Regions of a genome, variant contexts and cluster tasks read only the bases
they need, by record and offset. The layout comes from
the usual `.fai` index (name, length, offset of the first base, bases per
line, bytes per line) and, for bgzip input, the `.gzi` index mapping
uncompressed offsets to compressed blocks. Missing or stale indexes are
built with pyfaidx.
"""
from __future__ import annotations

import bisect
import gzip
import os
import struct
from dataclasses import dataclass

GZIP_MAGIC = b"\x1f\x8b"
_NEWLINES = b"\r\n"


class UnindexableFasta(ValueError):
    """The file cannot be read in blocks (plain gzip, irregular lines, ...)."""


@dataclass(frozen=True)
class FaiRecord:
    name: str          # record name (header up to the first blank)
    length: int        # bases in the record
    offset: int        # byte offset of the first base in the (uncompressed) file
    line_bases: int    # bases per full line
    line_bytes: int    # bytes per full line, line end included

    def byte_of(self, position: int) -> int:
        """Uncompressed byte offset of base `position` (0-based) of the record."""
        if self.line_bases == 0:
            return self.offset
        line, column = divmod(position, self.line_bases)
        return self.offset + line * self.line_bytes + column


def compression_of(path: str) -> str:
    """'plain', 'bgzip' or 'gzip', from the content."""
    with open(path, "rb") as handle:
        head = handle.read(18)
    if head[:2] != GZIP_MAGIC:
        return "plain"
    # BGZF: a gzip member with FEXTRA whose extra field holds the 'BC' subfield.
    if len(head) >= 16 and head[3] & 4 and head[12:14] == b"BC":
        return "bgzip"
    return "gzip"


def _index_is_current(index_path: str, path: str) -> bool:
    return os.path.exists(index_path) and os.path.getmtime(index_path) >= os.path.getmtime(path)


def _build_indexes(path: str, compression: str, display: str) -> None:
    try:
        import pyfaidx
    except ImportError as error:  # pragma: no cover - a dependency of the package
        raise UnindexableFasta(f"{display}: building a FASTA index needs pyfaidx: "
                               f"python -m pip install pyfaidx") from error
    if compression == "bgzip" and not path.lower().endswith((".gz", ".bgz")):
        raise UnindexableFasta(f"{display}: a bgzip-compressed FASTA must be named *.gz or *.bgz to be indexed")
    try:
        faidx = pyfaidx.Faidx(path, rebuild=True, duplicate_action="first")
        faidx.close()
    except pyfaidx.FastaIndexingError as error:
        raise UnindexableFasta(f"{display}: cannot index it: {error}") from None
    except UnicodeDecodeError:
        # A byte that is not text: the caller lets the local reader name it.
        raise
    except OSError as error:
        raise UnindexableFasta(f"{display}: cannot write the FASTA index: {error}") from None


def read_fai(index_path: str) -> list[FaiRecord]:
    records = []
    with open(index_path, "rb") as handle:
        for number, line in enumerate(handle, 1):
            fields = line.rstrip(b"\r\n").split(b"\t")
            if len(fields) < 5:
                raise UnindexableFasta(f"{index_path}: line {number}: not a FASTA index line")
            name = fields[0].decode("utf-8", "surrogateescape")
            records.append(FaiRecord(name, *(int(field) for field in fields[1:5])))
    return records


def read_gzi(index_path: str) -> tuple[list[int], list[int]]:
    """(uncompressed offsets, compressed offsets) of the block starts, first block included."""
    with open(index_path, "rb") as handle:
        data = handle.read()
    (count,) = struct.unpack_from("<Q", data, 0)
    pairs = struct.unpack_from(f"<{2 * count}Q", data, 8)
    compressed = [0] + list(pairs[0::2])
    uncompressed = [0] + list(pairs[1::2])
    return uncompressed, compressed


class IndexedFasta:
    """The index of one FASTA file: record layout and, for bgzip, block starts.

    Picklable and small (one entry per record and per 64 KiB block), so the
    client builds it once and ships it to the workers with the motifs.
    """

    def __init__(self, path: str):
        self.display = path                  # the path as given, for messages
        self.path = os.path.abspath(path)    # workers may run elsewhere in the tree
        self.compression = compression_of(path)  # opened by the name given, for its error messages
        if self.compression == "gzip":
            error = UnindexableFasta(
                f"{path}: plain gzip cannot be read in blocks; recompress it with bgzip "
                "(gunzip FILE.gz && bgzip FILE) or give the plain FASTA")
            error.compression = "gzip"
            raise error
        fai = self.path + ".fai"
        gzi = self.path + ".gzi"
        stale = not _index_is_current(fai, self.path)
        if self.compression == "bgzip":
            stale = stale or not _index_is_current(gzi, self.path)
        if stale:
            _build_indexes(self.path, self.compression, self.display)
        self.records = read_fai(fai)         # FaiRecord per record, in file order
        self._gzi = read_gzi(gzi) if self.compression == "bgzip" else None  # bgzip block starts

    def starts_with_header(self) -> bool:
        """Whether the first byte is '>' (the index skips what comes before)."""
        opener = gzip.open if self._gzi is not None else open
        with opener(self.path, "rb") as handle:
            return handle.read(1) == b">"

    def read(self, record: FaiRecord, start: int, end: int) -> bytes:
        """Bases [start, end) of `record` as bytes, line ends removed."""
        if end <= start:
            return b""
        first = record.byte_of(start)
        last = record.byte_of(end - 1) + 1
        if self._gzi is None:
            with open(self.path, "rb") as handle:
                handle.seek(first)
                raw = handle.read(last - first)
        else:
            raw = self._read_bgzip(first, last - first)
        return self._letters(raw, record)

    def _letters(self, raw: bytes, record: FaiRecord) -> bytes:
        text = raw.translate(None, _NEWLINES)
        if b" " in text or b"\t" in text:
            # The FASTA reader skips blanks, but the index counts them as bases.
            raise UnindexableFasta(f"{self.display}: record '{record.name}': blanks inside sequence lines "
                                   "cannot be read by position; remove them")
        return text

    def read_many(self, requests) -> list[bytes]:
        """Bases [start, end) of many (record, start, end) requests, in the order
        given, through one open file: read in file order, and for bgzip input
        decompressed on from the last request when the next one lies close
        after it."""
        requests = list(requests)
        spans = [(record.byte_of(start), record.byte_of(end - 1) + 1) if end > start else None
                 for record, start, end in requests]
        order = sorted((i for i, span in enumerate(spans) if span is not None), key=lambda i: spans[i][0])
        results = [b""] * len(requests)
        with open(self.path, "rb") as handle:
            reader = _BgzipCursor(handle, self._gzi) if self._gzi is not None else None
            for i in order:
                first, last = spans[i]
                if reader is None:
                    handle.seek(first)
                    raw = handle.read(last - first)
                else:
                    raw = reader.read(first, last - first)
                results[i] = self._letters(raw, requests[i][0])
        return results

    def _read_bgzip(self, offset: int, size: int) -> bytes:
        uncompressed, compressed = self._gzi
        block = bisect.bisect_right(uncompressed, offset) - 1
        with open(self.path, "rb") as handle:
            handle.seek(compressed[block])
            # GzipFile reads on across the gzip members that BGZF blocks are.
            with gzip.GzipFile(fileobj=handle) as stream:
                skip = offset - uncompressed[block]
                while skip > 0:
                    skipped = len(stream.read(min(skip, 1 << 20)))
                    if skipped == 0:
                        break
                    skip -= skipped
                return stream.read(size)

    def line_of(self, record: FaiRecord, position: int) -> int:
        """1-based line number of base `position` of `record`, counting every line of the file.

        Counts the line ends before the record's first base, so it is meant
        for error messages only.
        """
        newlines = 0
        remaining = record.offset
        opener = gzip.open if self._gzi is not None else open
        with opener(self.path, "rb") as handle:
            while remaining > 0:
                chunk = handle.read(min(remaining, 1 << 22))
                if not chunk:
                    break
                newlines += chunk.count(b"\n")
                remaining -= len(chunk)
        line_in_record = position // record.line_bases if record.line_bases else 0
        return newlines + 1 + line_in_record


class _BgzipCursor:
    """Reads uncompressed byte ranges of a bgzip file in rising order, going on
    decompressing from the last position while the next range lies within
    `SKIP_LIMIT`, else starting afresh at the block that holds it."""

    SKIP_LIMIT = 1 << 22

    def __init__(self, handle, gzi):
        self._handle = handle
        self._uncompressed, self._compressed = gzi
        self._stream = None     # decompressor at uncompressed offset self._position
        self._position = 0

    def read(self, offset: int, size: int) -> bytes:
        if self._stream is None or not 0 <= offset - self._position <= self.SKIP_LIMIT:
            block = bisect.bisect_right(self._uncompressed, offset) - 1
            self._handle.seek(self._compressed[block])
            self._stream = gzip.GzipFile(fileobj=self._handle)
            self._position = self._uncompressed[block]
        skip = offset - self._position
        while skip > 0:
            skipped = len(self._stream.read(min(skip, 1 << 20)))
            if skipped == 0:
                break
            skip -= skipped
        data = self._stream.read(size)
        self._position = offset + len(data)
        return data
