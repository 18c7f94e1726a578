"""How the worker processes of a local cluster start.

They are forked from one server process that imports Dask and the scan
once, as soon as the run begins, rather than each starting a fresh
interpreter: the cluster is then up while the client loads its motifs.
"""
from __future__ import annotations

import multiprocessing
import os
import signal

# What the worker processes of a local cluster import before they are forked,
# so that each starts in milliseconds with the scan already loaded.
WORKER_PRELOAD = ["distributed", "numpy", "vokscan._engine", "vokscan.cluster.tasks"]
# A task's buffers (bases, hits, lines) are megabytes each. Dask's default
# trim setting also fixes glibc's mmap threshold at 128 KiB, so every such
# buffer would be mapped and faulted in afresh for every task (some 10 % of a
# worker's time); these keep them in the heap for the next task.
WORKER_MALLOC = {"MALLOC_MMAP_THRESHOLD_": str(64 << 20), "MALLOC_TRIM_THRESHOLD_": str(128 << 20)}


def fork_server_available() -> bool:
    return "forkserver" in multiprocessing.get_all_start_methods()


def worker_environment() -> dict:
    """What Dask sets before starting a worker process, and WORKER_MALLOC."""
    import dask

    environment = {name: str(value) for name, value in
                   (dask.config.get("distributed.nanny.pre-spawn-environ", default={}) or {}).items()}
    environment.update(WORKER_MALLOC)
    return environment


def launch_fork_server(environment: dict) -> None:
    """Starts the process that local workers are forked from, with the
    workers' environment; it imports WORKER_PRELOAD while the caller goes on.

    The server and its workers start with SIGINT blocked: a terminal's
    Ctrl-C reaches every process of its group, and would end them midway
    through their imports, with a traceback each; the client answers it and
    closes the cluster.
    """
    from multiprocessing import forkserver, resource_tracker

    multiprocessing.get_context("forkserver").set_forkserver_preload(WORKER_PRELOAD)
    # Started first: starting it unblocks SIGINT in the calling thread.
    resource_tracker.ensure_running()
    saved = {name: os.environ.get(name) for name in environment}
    os.environ.update(environment)
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        forkserver.ensure_running()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        for name, value in saved.items():
            if value is None:
                del os.environ[name]
            else:
                os.environ[name] = value
