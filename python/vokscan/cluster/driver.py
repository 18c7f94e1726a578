"""The client side of a cluster scan: submit tasks, put results back in order.

Tasks are submitted a bounded window of blocks ahead of the next block to be
written, so the client never holds more than `window` blocks of results.
A block's motif groups are merged into output order (start, then motif, then
strand); blocks come out in input order as soon as the next one is complete.
"""
from __future__ import annotations

import dataclasses
import math
import os
import queue
import re
import shutil
import tempfile
import time
import uuid
import warnings
from typing import Iterator, Optional, Sequence

import numpy as np

from ..indexed_fasta import IndexedFasta, UnindexableFasta
from .plan import DEFAULT_BLOCK_SIZE, Block, count_blocks, group_count, plan_blocks, split_motifs
from .tasks import (MotifGroup, ScanContext, TaskInputError, TextOutput, in_part_file, part_path, read_part,
                    restore_positions, scan_block, shared)

STDIN = "-"


def worker_slots(client) -> int:
    """Threads over all workers the client sees now (at least 1)."""
    return max(1, sum(client.nthreads().values()))


def default_window(slots: int, groups: int) -> int:
    """Blocks in flight: enough tasks to keep every slot busy twice over, at least 2 blocks."""
    return max(2, math.ceil(2 * slots / groups) + 1)


def merge_groups(parts: Sequence[dict]) -> dict:
    """One block's columns from its motif groups, in output order.

    Within a block all hits belong to one record; each group is already in
    (start, motif, strand) order, and groups hold disjoint motif ranges.
    """
    parts = [part for part in parts if len(part["start"])] or parts[:1]
    if len(parts) == 1:
        return dict(parts[0])
    merged = {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}
    # lexsort: last key is the primary one; "+" (1) before "-" (-1).
    order = np.lexsort((-merged["strand"].astype(np.int16), merged["motif"], merged["start"]))
    return {name: column[order] for name, column in merged.items()}


def merge_texts(parts: Sequence[dict]) -> tuple[bytes, int, int]:
    """One block's formatted lines from its motif groups, in output order;
    how many of their bytes the workers left in files, and how many hits."""
    from .. import _engine

    texts, keys, from_files, hits = [], [], 0, 0
    for part in parts:
        if part["path"] is not None:  # left beside the output by the worker
            count, key, text = read_part(part["path"])
            os.unlink(part["path"])
            from_files += len(text)
        else:
            count, key, text = part["hits"], part["key"], part["text"]
        if not count:
            continue
        hits += count
        texts.append(text)
        keys.append(key)
    if len(texts) <= 1:
        return (texts[0] if texts else b""), from_files, hits
    return _engine.merge_lines(texts, keys), from_files, hits


def _payload_bytes(result: dict) -> int:
    """Bytes a task sent back: hit columns, or lines and their keys."""
    if "text" in result:
        return len(result["text"] or b"") + (0 if result["key"] is None else result["key"].nbytes)
    return sum(column.nbytes for column in result.values())


def restate_input_error(fasta: IndexedFasta, record_index: int, error: TaskInputError) -> str:
    """The engine's record/offset message in the local run's form: path, record, line."""
    record = fasta.records[record_index]
    line = fasta.line_of(record, error.offset)
    message, count = re.subn(rf", offset {error.offset}: ", f", line {line}: ", error.message, count=1)
    if not count:  # an unexpected shape: keep the engine's words, add where it happened
        message = f"record '{error.record}', line {line}: {error.message}"
    return f"{fasta.display}: {message}"


class ClusterScan:
    """Ordered batches of a scan run as Dask tasks.

    motifs: the arguments of `_engine.MotifSet` as a dict (ids, names,
    matrices, css, mss); options: the keyword options of `_engine.scan_text`.
    Iterate for `_engine.HitBatch` objects in the local run's order, or, with
    `output` (a TextOutput), for bytes of lines formatted by the workers, for
    `HitWriter.write_text`; read `bases_scanned` / `bases_total` for progress.
    """

    def __init__(self, client, motifs: dict, sources: Sequence[str], options: dict, *,
                 block_size: int = DEFAULT_BLOCK_SIZE, groups: Optional[int] = None,
                 window: Optional[int] = None, stop=None, output: Optional[TextOutput] = None):
        if any(source == STDIN for source in sources):
            raise ValueError("a cluster scan reads its input by path; standard input ('-') cannot be used")
        self.client = client
        self.fastas = [index_fasta(source, motifs, options) for source in sources]
        lengths = [[record.length for record in fasta.records] for fasta in self.fastas]
        self.bases_total = sum(map(sum, lengths))
        self.bases_scanned = 0
        # Input bytes for the progress bar, as the local scan reports them:
        # the share of the files' sizes whose bases are done.
        self.bytes_total = sum(os.path.getsize(fasta.path) for fasta in self.fastas)
        self.hits_total = 0
        motif_lengths = [len(matrix) for matrix in motifs["matrices"]]
        context = max(motif_lengths, default=1) - 1
        blocks = count_blocks(lengths, block_size)
        slots = worker_slots(client)
        if groups is None:
            groups = group_count(motif_lengths, block_size, blocks, slots)
        self.motif_groups = [
            MotifGroup(part.start, *([motifs[key][i] for i in part] for key in ("ids", "names", "matrices", "css", "mss")))
            for part in split_motifs(motif_lengths, groups)]
        self._parts_dir = None  # made at the start of the run, removed at its end
        if output is not None:
            output = dataclasses.replace(output, keyed=len(self.motif_groups) > 1)
        self._output = output
        self._fixed_window = window
        self.window = window or default_window(slots, len(self.motif_groups))  # blocks in flight, at most
        self._blocks = plan_blocks(lengths, block_size, context)
        self._options = dict(options)
        self._stop = stop
        self.bytes_received = 0   # bytes of hit columns (or lines and keys) sent back by the workers
        self.bytes_by_file = 0    # bytes of lines the workers left in files beside the output
        self.client_seconds = 0.0  # time spent fetching and merging results here, seconds
        self.fetch_seconds = 0.0   # the part of it spent waiting for results to arrive
        self.fetches = 0           # round trips to fetch results
        self._futures = {}
        self._shared = []  # futures of the context and motif groups
        self._token = uuid.uuid4().hex
        self._done = queue.SimpleQueue()   # futures whose tasks have finished

    def __iter__(self) -> Iterator:
        from .. import _engine

        client = self.client
        output = self._output
        if output is not None and output.parts_dir is not None:
            self._parts_dir = tempfile.mkdtemp(prefix=".vokscan-parts-", dir=output.parts_dir)
            output = dataclasses.replace(output, parts_dir=self._parts_dir)
        # Sent once, not once per task; as task results rather than scattered
        # data, since the scheduler reruns a task whose every copy was lost
        # with its workers but cannot restore scattered data.
        context = self._share(ScanContext(self.fastas, self._options, output), "context")
        groups = [self._share(group, f"group-{index}") for index, group in enumerate(self.motif_groups)]
        pending: dict[int, list] = {}     # block number -> results by group (None until done)
        blocks: dict[int, Block] = {}
        next_block = 0

        def submit_next() -> bool:
            block = next(self._blocks, None)
            if block is None:
                return False
            blocks[block.number] = block
            pending[block.number] = [None] * len(groups)
            for index, group in enumerate(groups):
                future = client.submit(scan_block, context, group, block, pure=False, priority=-block.number,
                                       key=f"vokscan-{self._token}-{block.number}-{index}")
                self._futures[future.key] = (future, block.number, index)
                # Called from the client's threads; a rerun after a lost worker calls it once, when done.
                future.add_done_callback(self._done.put)
            return True

        def fill() -> None:
            # Workers may join during the run (a job queue starting them): the window follows.
            if not self._fixed_window:
                self.window = max(self.window, default_window(worker_slots(client), len(groups)))
            while len(pending) < self.window and submit_next():
                pass

        try:
            fill()
            while pending:
                finished = self._finished()
                if finished is None:
                    return
                started = time.perf_counter()
                results = self._results(finished, blocks)
                for future, result in zip(finished, results):
                    _, number, index = self._futures.pop(future.key)
                    pending[number][index] = result
                    if isinstance(result, (TaskInputError, Exception)):
                        continue
                    self.bytes_received += _payload_bytes(result)
                    if all(part is not None for part in pending[number]):
                        block = blocks[number]
                        self.bases_scanned += block.owned_end - block.owned_start
                while next_block in pending and all(part is not None for part in pending[next_block]):
                    parts = pending.pop(next_block)
                    block = blocks.pop(next_block)
                    for part in parts:
                        if isinstance(part, TaskInputError):
                            raise _engine.InputError(restate_input_error(self.fastas[block.source], block.record, part))
                        if isinstance(part, Exception):
                            raise part
                    next_block += 1
                    fill()
                    if self._output is not None:
                        batch, from_files, hits = merge_texts(parts)
                        self.bytes_by_file += from_files
                        self.hits_total += hits
                    else:
                        columns = restore_positions(merge_groups(parts), block)
                        columns["sequence"] = np.zeros(len(columns["start"]), dtype=np.int32)
                        name = self.fastas[block.source].records[block.record].name
                        self.hits_total += len(columns["start"])
                        batch = _engine.HitBatch.from_columns(columns, [name])
                    self.client_seconds += time.perf_counter() - started
                    yield batch
                    started = time.perf_counter()
                self.client_seconds += time.perf_counter() - started
        finally:
            self.close()

    def _results(self, finished: list, blocks: dict) -> list:
        """The finished tasks' results. Lines a worker left in its part file
        are taken from there; only the other results are fetched, in one
        round trip (a task's own error is raised here)."""
        results = [None] * len(finished)
        if self._parts_dir is not None:
            for place, future in enumerate(finished):
                _, number, index = self._futures[future.key]
                path = part_path(self._parts_dir, blocks[number], self.motif_groups[index])
                if future.status == "finished" and os.path.exists(path):
                    results[place] = in_part_file(path)
        fetch = [future for future, result in zip(finished, results) if result is None]
        if fetch:
            started = time.perf_counter()
            fetched = iter(self.client.gather(fetch))
            self.fetch_seconds += time.perf_counter() - started
            self.fetches += 1
            results = [next(fetched) if result is None else result for result in results]
        return results

    def _share(self, value, name: str):
        with warnings.catch_warnings():  # a large FASTA index is expected here, once per run
            warnings.filterwarnings("ignore", message=".*[Ll]arge object", category=UserWarning)
            future = self.client.submit(shared, value, pure=False, key=f"vokscan-{self._token}-{name}")
        self._shared.append(future)
        return future

    def record_names(self) -> Iterator[str]:
        """The names of the input's records, in input order."""
        return (record.name for fasta in self.fastas for record in fasta.records)

    @property
    def bytes_read(self) -> int:
        if not self.bases_total:
            return self.bytes_total if self.bases_scanned else 0
        return self.bytes_total * self.bases_scanned // self.bases_total

    def _finished(self):
        """Tasks that have finished (at least one), or None once `stop` is set."""
        finished = []
        while not finished:
            if self._stop is not None and self._stop.is_set():
                return None
            try:
                finished.append(self._done.get(timeout=0.1))
            except queue.Empty:
                continue
        while True:
            try:
                finished.append(self._done.get_nowait())
            except queue.Empty:
                return [future for future in finished if future.key in self._futures]

    def close(self) -> None:
        futures = [entry[0] for entry in self._futures.values()] + self._shared
        self._futures.clear()
        self._shared = []
        if futures:
            try:
                self.client.cancel(futures)
            except Exception:  # the client may be closing already
                pass
        if self._parts_dir is not None:
            # A task still running when the run stopped may add a file while
            # the folder is being removed; a second pass takes it too.
            for _ in range(3):
                shutil.rmtree(self._parts_dir, ignore_errors=True)
                if not os.path.exists(self._parts_dir):
                    break
                time.sleep(0.02)
            self._parts_dir = None


def index_fasta(source: str, motifs: dict, options: dict) -> IndexedFasta:
    try:
        fasta = IndexedFasta(source)
    except (UnicodeDecodeError, UnindexableFasta) as error:
        # Bad input (a byte that is not text, text before the first header)
        # gets the local reader's message; only valid input that cannot be
        # read in blocks gets ours.
        if getattr(error, "compression", None) != "gzip":
            raise_reader_error(source, motifs, options)
        if isinstance(error, UnicodeDecodeError):
            raise UnindexableFasta(f"{source}: cannot index for cluster runs: a byte that is not text") from None
        raise
    if not fasta.starts_with_header():
        raise_reader_error(source, motifs, options)
    return fasta


def raise_reader_error(source: str, motifs: dict, options: dict) -> None:
    """Read `source` with the local reader (one motif) and let it raise its error."""
    from .. import _engine

    first = {key: values[:1] for key, values in motifs.items()}
    scan = _engine.FastaScan(_engine.MotifSet(**first), [source], threads=1, **options)
    try:
        for _ in scan:
            pass
    finally:
        scan.close()
