"""Cutting a scan into tasks: sequence blocks × motif groups."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Iterator, Optional, Sequence

DEFAULT_BLOCK_SIZE = 4_000_000      # bases owned by one block
# Bases × matrix positions that one task scans: about two seconds of one core
# (the scan does some 50 G per CPU second at p = 1e-4 thresholds), so the
# scheduler's millisecond per task stays small. A block is split into motif
# groups only beyond that: each group scans the block's positions again.
TARGET_TASK_WORK = 120_000_000_000


@dataclass(frozen=True)
class Block:
    number: int        # position of the block in output order
    source: int        # index of the FASTA file among the inputs
    record: int        # index of the record in that file's index
    text_start: int    # first base read (owned range minus context), 0-based
    text_end: int      # one past the last base read
    owned_start: int   # first base whose sites this block reports
    owned_end: int     # one past the last such base
    at_record_start: bool  # the text begins at the record's first base
    at_record_end: bool    # the text ends at the record's last base


def plan_blocks(record_lengths: Sequence[Sequence[int]], block_size: int, context: int) -> Iterator[Block]:
    """Blocks in output order: files, records, positions; a record's blocks
    of equal size, at most `block_size` bases.

    Each block reads `context` bases (the longest motif minus one) beyond its
    owned range on both sides, so every window starting in the owned range is
    whole in the text and each site is reported by exactly one block.
    """
    if block_size < 1:
        raise ValueError("block size must be at least 1 base")
    number = 0
    for source, lengths in enumerate(record_lengths):
        for record, length in enumerate(lengths):
            # Blocks of a record are of equal size (at most block_size), so
            # that no short last block makes a task of its own.
            pieces = math.ceil(length / block_size)
            for piece in range(pieces):
                owned_start, owned_end = piece * length // pieces, (piece + 1) * length // pieces
                text_start = max(0, owned_start - context)
                text_end = min(length, owned_end + context)
                yield Block(number, source, record, text_start, text_end, owned_start, owned_end,
                            text_start == 0, text_end == length)
                number += 1


def count_blocks(record_lengths: Sequence[Sequence[int]], block_size: int) -> int:
    return sum(math.ceil(length / block_size) for lengths in record_lengths for length in lengths)


def group_count(motif_lengths: Sequence[int], block_size: int, blocks: int, slots: int,
                target_work: Optional[int] = None) -> int:
    """How many motif groups: tasks of about `target_work`, but at least two tasks per worker slot."""
    target_work = target_work or TARGET_TASK_WORK
    positions = sum(motif_lengths)
    groups = max(1, round(min(block_size, 1 << 62) * positions / target_work))
    if blocks * groups < 2 * slots:
        groups = max(groups, math.ceil(2 * slots / max(blocks, 1)))
    return max(1, min(groups, len(motif_lengths)))


def split_motifs(motif_lengths: Sequence[int], groups: int) -> list[range]:
    """Contiguous motif ranges of about equal total length (equal scan work)."""
    total = sum(motif_lengths)
    ranges, first, done = [], 0, 0
    for index, length in enumerate(motif_lengths):
        done += length
        remaining_groups = groups - len(ranges) - 1
        remaining_motifs = len(motif_lengths) - index - 1
        if remaining_groups > 0 and (done * groups >= total * (len(ranges) + 1)
                                     or remaining_motifs <= remaining_groups):
            ranges.append(range(first, index + 1))
            first = index + 1
    if first < len(motif_lengths):
        ranges.append(range(first, len(motif_lengths)))
    return ranges
