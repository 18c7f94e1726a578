"""Sequence records held in memory a chunk at a time, for the scans that
work record by record (regions, per-record counts, enrichment): the records
of FASTA files, the regions of an indexed genome, or records given in
memory. Each chunk is scanned in one engine call."""

from __future__ import annotations

import gzip
import os
from dataclasses import dataclass
from typing import Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from .indexed_fasta import IndexedFasta
from .regions import Regions

#: Letters of sequence per chunk: enough to keep the workers busy, small
#: enough that a chunk's letters and hits stay a few MiB.
CHUNK_LETTERS = 1 << 21

_GZIP_MAGIC = b"\x1f\x8b"
_BLANKS = b" \t\r\n"


class SequenceError(ValueError):
    """A FASTA file that cannot be read as records."""


@dataclass
class RecordChunk:
    """Consecutive records: names, letters and where their positions start."""

    first: int                 # index of the first record among all records read
    names: List[str]           # record (or region) names
    texts: List[bytes]         # letters
    offsets: np.ndarray        # uint64: position of each record's first letter (genome start of a region)
    labels: List[str]          # the name hits carry as their sequence (the chromosome for a region)

    def __len__(self) -> int:
        return len(self.names)

    @property
    def ends(self) -> np.ndarray:
        return self.offsets + np.array([len(t) for t in self.texts], dtype=np.uint64)


def _chunk(first: int, names: List[str], texts: List[bytes], offsets=None, labels=None) -> RecordChunk:
    offsets = np.zeros(len(names), dtype=np.uint64) if offsets is None else np.asarray(offsets, np.uint64)
    return RecordChunk(first, names, texts, offsets, names if labels is None else labels)


def _open_fasta(path: str):
    if path == "-":
        raise SequenceError("standard input (-) cannot be read here; give a FASTA file")
    with open(path, "rb") as handle:
        compressed = handle.read(2) == _GZIP_MAGIC
    return gzip.open(path, "rb") if compressed else open(path, "rb")


def fasta_records(paths: Sequence[str]) -> Iterator[Tuple[str, bytes]]:
    """(name, letters) of every record of the FASTA files, in order; the name
    is the header up to the first blank, blanks in sequence lines are dropped."""
    for path in paths:
        path = os.fspath(path)
        name: Optional[str] = None
        lines: List[bytes] = []
        with _open_fasta(path) as handle:
            for number, line in enumerate(handle, 1):
                if line.startswith(b">"):
                    if name is not None:
                        yield name, b"".join(lines).translate(None, _BLANKS)
                    header = line[1:].decode("utf-8", "surrogateescape").strip()
                    name = header.split(None, 1)[0] if header else ""
                    lines = []
                elif name is None:
                    if line.strip() and not line.startswith(b";"):
                        raise SequenceError(f"{path}: line {number}: sequence before the first '>' header "
                                            "(not a FASTA file?)")
                else:
                    lines.append(line)
        if name is not None:
            yield name, b"".join(lines).translate(None, _BLANKS)


def chunks_of(records: Iterable[Tuple[str, bytes]], chunk_letters: Optional[int] = None) -> Iterator[RecordChunk]:
    """In-memory (name, letters) records in chunks of about `chunk_letters` letters."""
    chunk_letters = chunk_letters or CHUNK_LETTERS
    first, names, texts, size = 0, [], [], 0
    for name, text in records:
        if isinstance(text, str):
            text = text.encode("utf-8", "surrogateescape")
        names.append(str(name))
        texts.append(bytes(text))
        size += len(text)
        if size >= chunk_letters:
            yield _chunk(first, names, texts)
            first += len(names)
            names, texts, size = [], [], 0
    if names:
        yield _chunk(first, names, texts)


def region_chunks(genome: IndexedFasta, regions: Regions,
                  chunk_letters: Optional[int] = None) -> Iterator[RecordChunk]:
    """The regions' letters read from the genome, in the order given; hits
    carry the chromosome as their sequence and genome positions."""
    chunk_letters = chunk_letters or CHUNK_LETTERS
    records = {record.name: record for record in genome.records}
    fai = [records[name] for name in regions.chrom_names]
    lengths = regions.end - regions.start
    first = 0
    while first < len(regions):
        last = first
        size = 0
        while last < len(regions) and (size < chunk_letters or last == first):
            size += int(lengths[last])
            last += 1
        chrom = regions.chrom[first:last]
        starts = regions.start[first:last]
        ends = regions.end[first:last]
        texts = genome.read_many((fai[c], int(s), int(e)) for c, s, e in zip(chrom, starts, ends))
        labels = [regions.chrom_names[c] for c in chrom]
        yield _chunk(first, regions.names[first:last], texts, starts, labels)
        first = last


def scan_chunk(engine, prepared, chunk: RecordChunk, *, strand="both", mask=False, partial_windows=False,
               threads=0, site=False, region_names=False, stop=None):
    """The engine's HitBatch of one chunk; hit.sequence is the record's index
    in it. With `region_names` the batch keeps the records' names as its
    region names (the hits' sequence is the chromosome); `stop`, a callable,
    ends the scan early (KeyboardInterrupt) once it answers true."""
    return engine.scan_records(prepared.engine_set, chunk.names, chunk.texts, chunk.offsets,
                               labels=chunk.labels, region_names=region_names, strand=strand,
                               mask=mask, partial_windows=partial_windows, threads=threads,
                               site=site, stop=stop)
