"""What a cluster worker runs: scan one block of one record with one motif group.

The motif groups and the scan context are scattered to every worker once;
a task carries only its block's coordinates and reads the bases itself from
the FASTA path. It returns compact columns, positions relative to the block.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .fasta_index import IndexedFasta, UnindexableFasta
from .plan import Block

# Positions travel as offsets from the block's first base; the client adds it back.
_POSITION_COLUMNS = ("start", "end", "core")


@dataclass
class MotifGroup:
    """A contiguous range of the motif set, as the arguments of `_engine.MotifSet`."""
    first: int                  # index of the group's first motif in the whole set
    ids: list                   # motif identifiers
    names: list                 # factor names
    matrices: list              # float32 arrays of shape (length, 4)
    css: list                   # core-score thresholds
    mss: list                   # matrix-score thresholds
    _motif_set: Any = field(default=None, repr=False, compare=False)  # built on first use, per process

    def motif_set(self):
        # Built once per worker process: the scattered group is one object there.
        if self._motif_set is None:
            from .. import _engine
            self._motif_set = _engine.MotifSet(ids=self.ids, names=self.names, matrices=self.matrices,
                                               css=self.css, mss=self.mss)
        return self._motif_set

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_motif_set"] = None
        return state


@dataclass
class ScanContext:
    """Inputs and options shared by every task of a run."""
    fastas: list          # IndexedFasta per input file, in input order
    options: dict         # keyword options of `_engine.scan_text` (strand, mask, ...)


@dataclass(frozen=True)
class TaskInputError:
    """Bad input met by a task, to be restated by the client with path and line."""
    record: str           # record name
    offset: int           # 0-based position of the offending letter in the record
    message: str          # the engine's message (record and offset form)


def scan_block(context: ScanContext, group: MotifGroup, block: Block):
    """Hits of `group` whose window starts in the block's owned range, as columns."""
    from .. import _engine

    fasta: IndexedFasta = context.fastas[block.source]
    record = fasta.records[block.record]
    try:
        text = fasta.read(record, block.text_start, block.text_end)
    except UnindexableFasta as error:
        return error  # raised by the client in block order, without a worker traceback
    try:
        batch = _engine.scan_text(group.motif_set(), record.name, text, offset=block.text_start,
                                  owned_start=block.owned_start, owned_end=block.owned_end,
                                  at_record_start=block.at_record_start, at_record_end=block.at_record_end,
                                  threads=1, **context.options)  # parallel across tasks, not within one
    except _engine.InputError as error:
        offset = getattr(error, "offset", None)
        if offset is None:
            raise
        return TaskInputError(getattr(error, "record", record.name), int(offset), str(error))
    columns = batch.columns()
    columns.pop("sequence", None)
    columns["motif"] = (columns["motif"] + group.first).astype(np.int32)
    for name in _POSITION_COLUMNS:
        if name in columns:
            columns[name] = (columns[name] - block.text_start).astype(np.uint32)
    return columns


def restore_positions(columns: dict, block: Block) -> dict:
    for name in _POSITION_COLUMNS:
        if name in columns:
            columns[name] = columns[name].astype(np.int64) + block.text_start
    return columns
