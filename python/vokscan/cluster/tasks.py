"""What a cluster worker runs: scan one block of one record with one motif group.

The motif groups and the scan context reach every worker once, as results of
tasks (`shared`) rather than scattered data, so the scheduler can compute
them again if every worker holding them is lost; a task carries only its
block's coordinates and reads the bases itself from the FASTA path. It
returns compact columns, positions relative to the block, or, for a run that
writes a file, the block's output lines already formatted, so that the client
only puts blocks in order and writes.
"""
from __future__ import annotations

import os
import struct
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from ..indexed_fasta import IndexedFasta, UnindexableFasta
from .plan import Block

# Positions travel as offsets from the block's first base; the client adds it back.
_POSITION_COLUMNS = ("start", "end", "core")


def shared(value):
    """A task's result that other tasks depend on: `value` itself."""
    return value


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
    _pvalues: Any = field(default=None, repr=False, compare=False)    # HitPValues, built on first use

    def motif_set(self):
        # Built once per worker process: the shared group is one object there.
        if self._motif_set is None:
            from .. import _engine
            self._motif_set = _engine.MotifSet(ids=self.ids, names=self.names, matrices=self.matrices,
                                               css=self.css, mss=self.mss)
        return self._motif_set

    def hit_pvalues(self, background, strand):
        if self._pvalues is None:
            from .. import _engine
            self._pvalues = _engine.HitPValues(self.motif_set(), list(background), strand)
        return self._pvalues

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_motif_set"] = state["_pvalues"] = None
        return state


@dataclass(frozen=True)
class TextOutput:
    """How a run that writes a file wants its lines: HitWriter's settings."""
    format: str                  # 'tsv', 'bed' or 'bed+'
    pvalue_background: Any = None  # A, C, G, T frequencies of a pvalue column; None: no such column
    keyed: bool = False          # a block has several motif groups: send keys to interleave their lines
    # A folder beside the output that the client made. A worker that sees it
    # (a shared file system, as for the input) leaves its lines there, in a
    # file named for its block and group; one that does not sends the lines.
    parts_dir: Optional[str] = None


@dataclass
class ScanContext:
    """Inputs and options shared by every task of a run."""
    fastas: list          # IndexedFasta per input file, in input order
    options: dict         # keyword options of `_engine.scan_text` (strand, mask, ...)
    output: Any = None    # TextOutput: tasks return formatted lines; None: hit columns


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
    if context.output is not None:
        return _formatted(batch, context, group, block)
    columns = batch.columns()
    columns.pop("sequence", None)
    columns["motif"] = (columns["motif"] + group.first).astype(np.int32)
    for name in _POSITION_COLUMNS:
        if name in columns:
            columns[name] = (columns[name] - block.text_start).astype(np.uint32)
    return columns


def _formatted(batch, context: ScanContext, group: MotifGroup, block: Block) -> dict:
    """The block's lines for this group and, to interleave the groups of one
    block, a key per line ordering them as the local run does: start, then
    motif, then "+" before "-"."""
    from .. import _engine

    output = context.output
    pvalues = None
    if output.pvalue_background is not None:
        pvalues = group.hit_pvalues(output.pvalue_background, context.options.get("strand", "both"))
    text = _engine.format_hits(batch, output.format, motifs=group.motif_set(), pvalues=pvalues,
                               site=context.options.get("site", False))
    keys = None
    if output.keyed:
        columns = batch.columns()
        keys = ((columns["start"].astype(np.uint64) - np.uint64(block.text_start)) << np.uint64(32)) \
            | ((columns["motif"].astype(np.uint64) + np.uint64(group.first)) << np.uint64(1)) \
            | (columns["strand"] < 0).astype(np.uint64)
    if output.parts_dir is not None and os.path.isdir(output.parts_dir):
        path = part_path(output.parts_dir, block, group)
        write_part(path, len(batch), keys, text)
        return in_part_file(path)
    return {"text": text, "path": None, "key": keys, "hits": len(batch)}


# A part file: hit count and key count (little-endian 64-bit), the keys, the lines.
_PART_HEADER = struct.Struct("<QQ")


def part_path(parts_dir: str, block: Block, group: MotifGroup) -> str:
    """Where a task leaves its lines: known to the client beforehand, so that
    it can take them without fetching the task's result."""
    return os.path.join(parts_dir, f"{block.number}-{group.first}")


def in_part_file(path: str) -> dict:
    """A task's lines left in a part file: hits, keys and lines are read from it."""
    return {"text": None, "path": path, "key": None, "hits": None}


def write_part(path: str, hits: int, keys: Optional[np.ndarray], text: bytes) -> None:
    partial = f"{path}.{os.getpid()}"  # a rerun elsewhere never meets half a file
    with open(partial, "wb") as handle:
        handle.write(_PART_HEADER.pack(hits, 0 if keys is None else len(keys)))
        if keys is not None:
            handle.write(keys.astype("<u8", copy=False).tobytes())
        handle.write(text)
    os.replace(partial, path)


def read_part(path: str) -> tuple[int, Optional[np.ndarray], bytes]:
    """(hits, keys or None, lines) of a part file."""
    with open(path, "rb", buffering=0) as handle:
        size = os.fstat(handle.fileno()).st_size
        hits, key_count = _PART_HEADER.unpack(handle.read(_PART_HEADER.size))
        keys = np.frombuffer(handle.read(8 * key_count), dtype="<u8").astype(np.uint64) if key_count else None
        # One read of known size: reading "the rest" of a file grows its buffer step by step.
        text = handle.read(size - _PART_HEADER.size - 8 * key_count)
        return hits, keys, text


def restore_positions(columns: dict, block: Block) -> dict:
    for name in _POSITION_COLUMNS:
        if name in columns:
            columns[name] = columns[name].astype(np.int64) + block.text_start
    return columns
