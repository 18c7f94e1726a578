"""Connecting to a Dask scheduler, or starting a local cluster for one run."""
from __future__ import annotations

import importlib.util
import logging
import re
import threading

from .local_workers import fork_server_available, launch_fork_server, worker_environment

INSTALL_HINT = "python -m pip install dask distributed (or pip install '.[dask]' in vok's source folder)"

# How long closing waits for a local cluster still starting (seconds).
LOCAL_START_WAIT = 10

# A local cluster lives for one run on the machine's own cores, which its
# scheduler shares with the workers. Its housekeeping (a 20 ms tick in every
# process, the workers' stack sampling every 10 ms, memory and system
# monitors, work stealing) served nobody and took CPU from them: 65 ms a
# second with two workers, 11 ms with these settings.
LOCAL_CLUSTER_SETTINGS = {
    "distributed.admin.tick.interval": "1s",
    "distributed.worker.profile.enabled": False,
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.admin.system-monitor.interval": "5s",
    "distributed.scheduler.work-stealing": False,
}


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


class ClientStart:
    """A Dask client being made on a thread of its own, so that the caller can
    load its motifs meanwhile. A local cluster started here lives until
    `close`; its workers are forked from a server started at once.
    """

    def __init__(self, spec: str):
        self._kind, self._value = parse_spec(spec)
        if importlib.util.find_spec("distributed") is None:
            require_distributed()  # says how to install it
        self._config = None
        forked = False
        if self._kind == "local":
            import dask

            settings = dict(LOCAL_CLUSTER_SETTINGS)
            if fork_server_available():
                environment = worker_environment()
                try:
                    # Before importing distributed here: the server's imports and ours overlap.
                    launch_fork_server(environment)
                except OSError:
                    pass  # no socket for it (a read-only temporary folder): workers start as Dask starts them
                else:
                    forked = True
                    # Restarted workers (after one dies) come from the same server.
                    settings.update({"distributed.worker.multiprocessing-method": "forkserver",
                                     "distributed.nanny.pre-spawn-environ": environment})
            self._config = dask.config.set(settings)
        distributed = require_distributed()
        if forked:
            import distributed.utils

            # Dask would otherwise import every package it knows of here, for
            # a preload list that the running server no longer reads.
            if hasattr(distributed.utils, "_forkserver_preload_set"):
                distributed.utils._forkserver_preload_set = True
        self._distributed = distributed
        self._cluster = None
        self._client = None
        self._error = None
        self._closed = False
        self._lock = threading.Lock()
        self._ready = threading.Event()
        threading.Thread(target=self._connect, name="vok-scan-dask", daemon=True).start()

    def _connect(self) -> None:
        distributed = self._distributed
        try:
            if self._kind == "local":
                # One thread per worker process: each task scans on one core.
                # No dashboard: nobody would be told its port, and without
                # bokeh two clusters starting at once could fail in Dask's
                # attempt to import it.
                cluster = distributed.LocalCluster(n_workers=self._value, threads_per_worker=1, processes=True,
                                                   dashboard_address=":0", scheduler_kwargs={"dashboard": False},
                                                   silence_logs=logging.CRITICAL)
                self._cluster = cluster
                client = distributed.Client(cluster)
            else:
                try:
                    client = distributed.Client(self._value, timeout="20s")
                except OSError as error:
                    raise OSError(f"--dask {self._value}: cannot reach the scheduler: {error}") from None
            self._client = client
        except BaseException as error:  # carried to the caller of client()
            self._error = error
        finally:
            with self._lock:
                abandoned = self._closed
                if not abandoned:
                    self._ready.set()
            if abandoned:  # the run ended while this was starting
                self._shut()
                self._ready.set()

    def client(self):
        """The connected client; raises what connecting raised."""
        while not self._ready.wait(0.1):  # in steps, so that Ctrl-C is seen at once
            pass
        if self._error is not None:
            raise self._error
        return self._client

    @property
    def cluster(self):
        """The local cluster started here (None for a scheduler address, or once closed)."""
        return self._cluster

    @property
    def starting(self) -> bool:
        return not self._ready.is_set()

    def _shut(self) -> None:
        for part in (self._client, self._cluster):
            if part is not None:
                try:
                    part.close()
                except Exception:  # already closing, or its workers gone
                    pass
        self._client = self._cluster = None

    def close(self) -> None:
        """Closes the client and a local cluster; one still starting is
        closed by its thread once it has started."""
        if self._kind == "local":
            # Closing a local cluster halfway through its start stalls Dask
            # (its exit hook then waits 10 s); it is up in well under a second.
            self._ready.wait(LOCAL_START_WAIT)
        with self._lock:
            self._closed = True
            ready = self._ready.is_set()
        if ready:
            self._shut()
        if self._config is not None:
            self._config.__exit__(None, None, None)
            self._config = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

