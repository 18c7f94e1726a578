"""Regions of a genome: intervals from a BED file or a DataFrame, checked
against the chromosomes of an indexed FASTA file.

BED3 to BED6+ are read: chrom, start, end (0-based, end exclusive) and, in
the 4th column, the region's name (``chrom:start-end`` when there is none or
it is '.'). Blank, '#', 'track' and 'browser' lines are skipped. Every
problem is a RegionError naming the file and line (or the row).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional

import numpy as np

from .indexed_fasta import IndexedFasta

_SKIPPED_PREFIXES = ("#", "track ", "track\t", "browser ", "browser\t")


class RegionError(ValueError):
    """A region that cannot be read or does not lie in the genome."""


@dataclass
class Regions:
    """Intervals of a genome, in the order given (overlaps kept)."""

    chrom_names: List[str]                 # chromosome of each region, by index into this list
    chrom: np.ndarray                      # int32 index into chrom_names, per region
    start: np.ndarray                      # int64, 0-based
    end: np.ndarray                        # int64, exclusive
    names: List[str] = field(default_factory=list)  # each region's name

    def __len__(self) -> int:
        return len(self.names)

    def label(self, i: int) -> str:
        """The region's coordinates as chrom:start-end."""
        return f"{self.chrom_names[self.chrom[i]]}:{self.start[i]}-{self.end[i]}"

    def chrom_of(self, i: int) -> str:
        return self.chrom_names[self.chrom[i]]


def _whole_number(text: str, what: str, where: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise RegionError(f"{where}: {what} '{text}' is not a whole number") from None
    if value < 0:
        raise RegionError(f"{where}: {what} {value} is negative")
    return value


class _Builder:
    """Collects checked regions against the genome's chromosome lengths."""

    def __init__(self, lengths: Mapping[str, int], genome_name: str):
        self.lengths = lengths
        self.genome_name = genome_name
        self.index: Dict[str, int] = {}
        self.chrom: List[int] = []
        self.start: List[int] = []
        self.end: List[int] = []
        self.names: List[str] = []

    def add(self, chrom: str, start_text, end_text, name: Optional[str], where: str) -> None:
        start = _whole_number(str(start_text), "start", where)
        end = _whole_number(str(end_text), "end", where)
        length = self.lengths.get(chrom)
        if length is None:
            raise RegionError(f"{where}: unknown chromosome '{chrom}' (not in {self.genome_name})")
        if start > end:
            raise RegionError(f"{where}: start {start} lies after end {end}")
        if end > length:
            raise RegionError(f"{where}: {chrom}:{start}-{end} runs past the end of {chrom} "
                              f"({length} bases)")
        self.chrom.append(self.index.setdefault(chrom, len(self.index)))
        self.start.append(start)
        self.end.append(end)
        self.names.append(name if name not in (None, "", ".") else f"{chrom}:{start}-{end}")

    def regions(self) -> Regions:
        return Regions(list(self.index), np.array(self.chrom, dtype=np.int32),
                       np.array(self.start, dtype=np.int64), np.array(self.end, dtype=np.int64),
                       self.names)


def read_bed(path, lengths: Mapping[str, int], genome_name: str = "the genome") -> Regions:
    """The regions of a BED file, checked against chromosome `lengths`."""
    builder = _Builder(lengths, genome_name)
    display = os.fspath(path)
    with open(path, "rb") as handle:
        for number, raw in enumerate(handle, 1):
            where = f"{display}: line {number}"
            try:
                line = raw.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError:
                raise RegionError(f"{where}: not UTF-8 text") from None
            if not line.strip() or line.startswith(_SKIPPED_PREFIXES) or line in ("track", "browser"):
                continue
            fields = line.split("\t") if "\t" in line else line.split()
            if len(fields) < 3:
                raise RegionError(f"{where}: a BED line needs chrom, start and end")
            builder.add(fields[0], fields[1], fields[2], fields[3] if len(fields) > 3 else None, where)
    return builder.regions()


def regions_from_frame(frame, lengths: Mapping[str, int], genome_name: str = "the genome") -> Regions:
    """The regions of a DataFrame with columns chrom, start, end and optionally name."""
    missing = [column for column in ("chrom", "start", "end") if column not in frame.columns]
    if missing:
        raise RegionError(f"regions: the table lacks the column(s) {', '.join(missing)}")
    builder = _Builder(lengths, genome_name)
    names = frame["name"].tolist() if "name" in frame.columns else [None] * len(frame)
    for row, (chrom, start, end, name) in enumerate(zip(frame["chrom"].tolist(), frame["start"].tolist(),
                                                        frame["end"].tolist(), names)):
        builder.add(str(chrom), start, end, None if name is None else str(name), f"regions: row {row}")
    return builder.regions()


def genome_lengths(genome: IndexedFasta) -> Dict[str, int]:
    return {record.name: record.length for record in genome.records}


def load_regions(source, genome: IndexedFasta) -> Regions:
    """Regions from a BED path or a DataFrame, checked against `genome`."""
    lengths = genome_lengths(genome)
    if isinstance(source, (str, os.PathLike)):
        return read_bed(source, lengths, genome.display)
    if hasattr(source, "columns"):
        return regions_from_frame(source, lengths, genome.display)
    raise TypeError(f"regions must be a BED path or a DataFrame, not {type(source).__name__}")
