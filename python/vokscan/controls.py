"""Control sequences for enrichment: shuffles of the targets that keep their
k-mer counts, and random regions of the genome matching the targets in
length and G+C content. Every random choice comes from the seed."""

from __future__ import annotations

from collections import defaultdict
from typing import Dict, Iterator, List

import numpy as np

from .enrichment_stats import GC_BINS, gc_bins, take_by_bin
from .indexed_fasta import IndexedFasta
from .records import RecordChunk
from .regions import Regions

DEFAULT_SEED = 1
#: A genomic control region may hold at most this share of N (or other non-A/C/G/T letters).
MAX_N_FRACTION = 0.10
#: Letters read from the genome at a time while its composition is built.
_READ_LETTERS = 1 << 23
#: Random streams: one per kind of draw, so that the two never share numbers.
_GENOME_STREAM = 0x67656E6F6D65


class ControlError(ValueError):
    """No control of the kind asked for can be made from this input."""


def shuffled_chunk(engine, chunk: RecordChunk, k: int, times: int, seed: int, first: int) -> RecordChunk:
    """`times` shuffles of every record of `chunk`, named NAME_shuffle1 ...;
    `first`: index of the chunk's first control among all controls."""
    texts = engine.shuffle_records(chunk.texts, k, times, seed, chunk.first)
    names = [f"{name}_shuffle{copy}" for name in chunk.names for copy in range(1, times + 1)]
    offsets = np.repeat(chunk.offsets, times)
    labels = [label for label in chunk.labels for _ in range(times)]
    return RecordChunk(first, names, texts, offsets, labels)


def genome_composition(engine, genome: IndexedFasta):
    """The genome's G+C and A/C/G/T content, two bits per base."""
    composition = engine.GenomeComposition()
    for record in genome.records:
        composition.add_chromosome()
        for start in range(0, record.length, _READ_LETTERS):
            composition.append(genome.read(record, start, min(record.length, start + _READ_LETTERS)))
    return composition


def region_gc(composition, chrom_index: List[int], regions: Regions):
    """(G+C, A/C/G/T) letters of every region."""
    gc = np.empty(len(regions), dtype=np.int64)
    acgt = np.empty(len(regions), dtype=np.int64)
    for i in range(len(regions)):
        c, s, e = chrom_index[regions.chrom[i]], int(regions.start[i]), int(regions.end[i])
        gc[i] = composition.gc_count(c, s, e)
        acgt[i] = composition.acgt_count(c, s, e)
    return gc, acgt


def genomic_control(engine, genome: IndexedFasta, targets: Regions, times: int, seed: int,
                    composition=None) -> Regions:
    """`times` random regions per target, each of the target's length and G+C
    bin, overlapping no target and at most 10 % N; the controls of target 0
    first, in draw order. Draws are made per target length from the stream
    (seed, genome stream, length) and go to the first targets still short of
    controls in their bin."""
    if composition is None:
        composition = genome_composition(engine, genome)
    order = {record.name: i for i, record in enumerate(genome.records)}
    chrom_index = [order[name] for name in targets.chrom_names]
    for i in range(len(targets)):
        composition.exclude(chrom_index[targets.chrom[i]], int(targets.start[i]), int(targets.end[i]))
    gc, acgt = region_gc(composition, chrom_index, targets)
    target_bins = gc_bins(gc, acgt)
    lengths = (targets.end - targets.start).astype(np.int64)

    chosen_chrom = np.full((len(targets), times), -1, dtype=np.int64)
    chosen_start = np.zeros((len(targets), times), dtype=np.int64)
    for length in sorted(set(lengths.tolist())):
        members = np.flatnonzero((lengths == length) & (target_bins >= 0))
        if length == 0 or len(members) == 0:
            continue
        # Per bin, the (target, copy) slots to fill, in target order.
        slots: Dict[int, List[tuple]] = defaultdict(list)
        for target in members:
            slots[int(target_bins[target])].extend((target, copy) for copy in range(times))
        filled = {bin_: 0 for bin_ in slots}
        random = engine.RandomStream(seed, _GENOME_STREAM, length)
        wanted = sum(len(s) for s in slots.values())
        draws, limit = 0, max(200_000, 500 * wanted)
        while any(filled[b] < len(slots[b]) for b in slots):
            if draws >= limit:
                _fail(slots, filled, length, draws)
            batch = min(max(4 * wanted, 4096), 1 << 20)
            drawn = composition.draw(length, batch, random)
            draws += batch
            if len(drawn["start"]) == 0:
                raise ControlError(f"--control genome: no chromosome holds a region of {length} bases")
            too_many_n = (length - drawn["acgt"].astype(np.int64)) > MAX_N_FRACTION * length
            bins = np.where(drawn["excluded"].astype(bool) | too_many_n, -2,
                            gc_bins(drawn["gc"], drawn["acgt"]))
            need = {b: len(slots[b]) - filled[b] for b in slots}
            for bin_, picks in take_by_bin(need, bins).items():
                for pick in picks:
                    target, copy = slots[bin_][filled[bin_]]
                    chosen_chrom[target, copy] = drawn["chromosome"][pick]
                    chosen_start[target, copy] = drawn["start"][pick]
                    filled[bin_] += 1
    keep = chosen_chrom.reshape(-1) >= 0
    chrom = chosen_chrom.reshape(-1)[keep]
    start = chosen_start.reshape(-1)[keep]
    end = start + np.repeat(lengths, times)[keep]
    names = [genome.records[c].name for c in range(len(genome.records))]
    used = sorted(set(chrom.tolist()))
    remap = {c: i for i, c in enumerate(used)}
    regions = Regions([names[c] for c in used], np.array([remap[c] for c in chrom], dtype=np.int32),
                      start.astype(np.int64), end.astype(np.int64), [])
    regions.names = [f"{names[c]}:{s}-{e}" for c, s, e in zip(chrom.tolist(), start.tolist(), end.tolist())]
    return regions


def _fail(slots, filled, length, draws) -> None:
    short = [(b, len(slots[b]) - filled[b]) for b in sorted(slots) if filled[b] < len(slots[b])]
    bin_, missing = short[0]
    width = 100 // GC_BINS
    raise ControlError(f"--control genome: {missing} control region(s) of {length} bases with "
                       f"{bin_ * width}-{bin_ * width + width} % G+C not found in {draws} random draws "
                       "(the genome has too few such regions outside the targets); "
                       "give a control file instead")


def fasta_lines(chunk: RecordChunk, width: int = 60) -> Iterator[bytes]:
    """The chunk's records as FASTA text."""
    for name, text in zip(chunk.names, chunk.texts):
        yield b">" + name.encode("utf-8", "surrogateescape") + b"\n"
        for at in range(0, len(text), width):
            yield text[at:at + width] + b"\n"
