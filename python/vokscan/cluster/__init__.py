"""Running a scan on a Dask cluster (the optional `dask` extra).

The input is cut into sequence blocks × motif groups; workers read their
blocks from the FASTA files themselves (plain with `.fai`, or bgzip with
`.gzi`) and send back hit columns, which the client writes in the local
run's order.
"""
from __future__ import annotations

import numpy as np

from .connect import INSTALL_HINT, DaskUnavailable, dask_client, parse_spec, require_distributed
from .driver import ClusterScan
from .fasta_index import IndexedFasta, UnindexableFasta
from .plan import DEFAULT_BLOCK_SIZE

__all__ = ["ClusterScan", "DaskUnavailable", "IndexedFasta", "UnindexableFasta", "INSTALL_HINT",
           "DEFAULT_BLOCK_SIZE", "cluster_batches", "dask_client", "parse_spec", "require_distributed"]


def cluster_batches(client, prepared, paths, *, on_scan=None, block_size=None, stop=None, **options):
    """Ordered engine batches of `paths` scanned with `prepared` motifs on the client's cluster."""
    motifs = {
        "ids": list(prepared.ids),
        "names": list(prepared.names),
        "matrices": [np.ascontiguousarray(record.matrix, dtype=np.float32) for record in prepared.records],
        "css": [float(value) for value in prepared.css],
        "mss": [float(value) for value in prepared.mss],
    }
    scan = ClusterScan(client, motifs, paths, options, block_size=block_size or DEFAULT_BLOCK_SIZE, stop=stop)
    if on_scan is not None:
        on_scan(scan)
    return iter(scan)
