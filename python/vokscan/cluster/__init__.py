"""Running a scan on a Dask cluster (the optional `dask` extra).

The input is cut into sequence blocks × motif groups; workers read their
blocks from the FASTA files themselves (plain with `.fai`, or bgzip with
`.gzi`) and send back hit columns (or, for a run writing a file, their lines already
formatted), which the client writes in the local run's order.
"""
from __future__ import annotations

import numpy as np

from .connect import INSTALL_HINT, ClientStart, DaskUnavailable, parse_spec, require_distributed
from .driver import ClusterScan
from ..indexed_fasta import IndexedFasta, UnindexableFasta
from .plan import DEFAULT_BLOCK_SIZE
from .tasks import TextOutput

__all__ = ["ClientStart", "ClusterScan", "DaskUnavailable", "IndexedFasta", "UnindexableFasta", "INSTALL_HINT",
           "DEFAULT_BLOCK_SIZE", "cluster_batches", "parse_spec", "require_distributed"]


def cluster_batches(client, prepared, paths, *, on_scan=None, block_size=None, stop=None, output_format=None,
                    parts_dir=None, **options):
    """Ordered engine batches of `paths` scanned with `prepared` motifs on the client's cluster.

    With `output_format` ('tsv', 'bed' or 'bed+') the workers format their
    hits and the batches are bytes of lines for `HitWriter.write_text`, with a
    pvalue column when `prepared` has p-value tables. `parts_dir`: a folder
    (beside the output) where workers that can reach it leave their lines
    instead of sending them through the cluster.
    """
    motifs = {
        "ids": list(prepared.ids),
        "names": list(prepared.names),
        "matrices": [np.ascontiguousarray(record.matrix, dtype=np.float32) for record in prepared.records],
        "css": [float(value) for value in prepared.css],
        "mss": [float(value) for value in prepared.mss],
    }
    output = None
    if output_format is not None:
        output = TextOutput(output_format, prepared.pvalue_background, parts_dir=parts_dir)
    scan = ClusterScan(client, motifs, paths, options, block_size=block_size or DEFAULT_BLOCK_SIZE, stop=stop,
                       output=output)
    if on_scan is not None:
        on_scan(scan)
    return iter(scan)
