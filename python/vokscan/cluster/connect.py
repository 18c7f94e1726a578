"""Connecting to a Dask scheduler, or starting a local cluster for one run."""
from __future__ import annotations

import logging
import re
from contextlib import contextmanager

INSTALL_HINT = "pip install 'vok[dask]'"


class DaskUnavailable(ImportError):
    """Dask is not installed."""


def require_distributed():
    try:
        import distributed
    except ImportError:
        raise DaskUnavailable(f"running on a Dask cluster needs dask and distributed: {INSTALL_HINT}") from None
    return distributed


def parse_spec(spec: str):
    """('local', N) for 'local:N', else ('address', spec)."""
    match = re.fullmatch(r"local:(\d+)", spec)
    if match:
        workers = int(match.group(1))
        if workers < 1:
            raise ValueError(f"--dask {spec}: a local cluster needs at least one worker")
        return "local", workers
    if spec.startswith("local"):
        raise ValueError(f"--dask {spec}: expected local:N (N worker processes) or a scheduler address")
    return "address", spec


@contextmanager
def dask_client(spec: str):
    """A `distributed.Client` for `spec`; a local cluster started here is closed on exit."""
    kind, value = parse_spec(spec)
    distributed = require_distributed()
    cluster = None
    if kind == "local":
        # One thread per worker process: each task scans on one core.
        cluster = distributed.LocalCluster(n_workers=value, threads_per_worker=1, processes=True,
                                           dashboard_address=":0", silence_logs=logging.CRITICAL)
        client = distributed.Client(cluster)
    else:
        try:
            client = distributed.Client(value, timeout="20s")
        except OSError as error:
            raise OSError(f"--dask {value}: cannot reach the scheduler: {error}") from None
    try:
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
