"""The loaded library module and the rules for calling it.

The library takes its session calls from one thread at a time, and its probe from one thread at a time, and
lets a probe run beside the session calls: each group has its own lock here, so a slow probe (a silent
server, up to its 15 s limit) never holds up the threads and event loops that start and watch extractions.
"""
from __future__ import annotations

import ctypes
import enum
import os
import threading
from pathlib import Path
from typing import Optional, Union

from . import _header as h

MODULE_NAME = "belmarun-audioextract.so" if os.name != "nt" else "belmarun-audioextract.dll"
# The largest single allocation FFmpeg may make in this process, set when the library loads: inputs are
# untrusted, and a forged size in a tiny file would otherwise reserve gigabytes. Process-wide (FFmpeg has
# no narrower handle): set_max_alloc changes it for a program that needs FFmpeg's allocations larger.
MAX_ALLOC = 64 << 20


class State(enum.IntEnum):
    """A session's state, as the library's header numbers them."""
    PENDING = h.STATE_PENDING
    RUNNING = h.STATE_RUNNING
    DONE = h.STATE_DONE
    CANCELLED = h.STATE_CANCELLED
    FAILED = h.STATE_FAILED

# FFmpeg's log levels, by the names its command-line tools take. The package starts "quiet", as the
# command-line host does: FFmpeg's complaints about a damaged file are the library's error texts already.
LOG_LEVELS = {"quiet": -8, "panic": 0, "fatal": 8, "error": 16, "warning": 24, "info": 32, "verbose": 40,
              "debug": 48, "trace": 56}


# glibc's malloc hands FFmpeg's larger blocks (its decoder contexts: a few hundred KiB) straight back to the
# system when they are freed, so each extraction's new worker thread page-faults them in afresh: with one
# small file after another that was two thirds of a batch's time. Blocks up to 1 MiB come from the heap
# instead, and up to 8 MiB of freed heap is kept for the next extraction. Set when the library loads; each
# is left alone when the environment sets glibc's own variable for it, except on a Dask worker: Dask sets
# MALLOC_TRIM_THRESHOLD_ for all its workers, which would take back two thirds of the gain.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
MALLOC_SETTINGS = {_M_MMAP_THRESHOLD: ("MALLOC_MMAP_THRESHOLD_", 1 << 20),
                   _M_TRIM_THRESHOLD: ("MALLOC_TRIM_THRESHOLD_", 8 << 20)}


def tune_malloc(override: bool = False) -> None:
    if os.name == "nt":
        return
    mallopt = getattr(ctypes.CDLL(None), "mallopt", None)  # glibc's; other C libraries may not have it
    if mallopt is None:
        return
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    mallopt.restype = ctypes.c_int
    for param, (variable, value) in MALLOC_SETTINGS.items():
        if override or variable not in os.environ:
            mallopt(param, value)


def _candidates() -> list[str]:
    found = []
    env = os.environ.get("AUDIOEXTRACT_MODULE")
    if env:
        found.append(env)
    found.append(str(Path(__file__).resolve().parent / MODULE_NAME))
    found.append(MODULE_NAME)  # the loader's own search path
    return found


class Module:
    """One loaded copy of the library, with its calls declared for ctypes and the locks its rules need."""

    def __init__(self, path: Optional[str] = None) -> None:
        errors = []
        lib: Optional[ctypes.CDLL] = None
        for candidate in [path] if path else _candidates():
            if os.sep in candidate and not os.path.exists(candidate):
                errors.append(f"{candidate}: not found")
                continue
            try:
                lib = ctypes.CDLL(candidate)
                self.path = candidate
                break
            except OSError as e:
                errors.append(f"{candidate}: {e}")
        if lib is None:
            raise OSError("cannot load the audioextract library: " + "; ".join(errors))
        self.lib = lib
        for name in ("audioextract_probe", "audioextract_progress", "audioextract_result",
                     "audioextract_version"):
            getattr(lib, name).restype = ctypes.c_char_p
        lib.audioextract_probe.argtypes = [ctypes.c_char_p]
        lib.audioextract_version.argtypes = []
        lib.audioextract_start.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32]
        lib.audioextract_start.restype = ctypes.c_int32
        for name in ("audioextract_status", "audioextract_progress", "audioextract_result",
                     "audioextract_cancel", "audioextract_free"):
            getattr(lib, name).argtypes = [ctypes.c_int32]
        lib.audioextract_status.restype = ctypes.c_int32
        lib.audioextract_cancel.restype = None
        lib.audioextract_free.restype = None
        # FFmpeg's libavutil is a dependency of the module, so its symbols are found through the module.
        self._max_alloc = self._avutil("av_max_alloc", [ctypes.c_size_t])
        self._log_level = self._avutil("av_log_set_level", [ctypes.c_int])
        if self._max_alloc is not None:
            self._max_alloc(MAX_ALLOC)
        if self._log_level is not None:
            self._log_level(LOG_LEVELS["quiet"])
        tune_malloc()
        self.probe_lock = threading.Lock()
        # Re-entrant: a forgotten Extraction cancels its session from __del__, which the garbage collector
        # may run on a thread between this lock's acquire and its library call.
        self.session_lock = threading.RLock()
        self.version_lock = threading.Lock()

    def _avutil(self, name: str, argtypes: list[type]) -> Optional["ctypes._NamedFuncPointer"]:
        fn: Optional["ctypes._NamedFuncPointer"] = getattr(self.lib, name, None)
        if fn is not None:
            fn.argtypes = argtypes
            fn.restype = None
        return fn

    # Each call copies the library's text before its lock is released: the buffers are reused.
    def probe(self, path: bytes) -> bytes:
        with self.probe_lock:
            return bytes(self.lib.audioextract_probe(path))

    def version(self) -> bytes:
        with self.version_lock:
            return bytes(self.lib.audioextract_version())

    def start(self, src: bytes, dst: bytes, stream: int) -> int:
        with self.session_lock:
            return int(self.lib.audioextract_start(src, dst, stream))

    def status(self, sid: int) -> int:
        with self.session_lock:
            return int(self.lib.audioextract_status(sid))

    def progress(self, sid: int) -> bytes:
        with self.session_lock:
            return bytes(self.lib.audioextract_progress(sid))

    def result(self, sid: int) -> bytes:
        with self.session_lock:
            return bytes(self.lib.audioextract_result(sid))

    def cancel(self, sid: int) -> None:
        with self.session_lock:
            self.lib.audioextract_cancel(sid)

    def free(self, sid: int) -> None:
        # The package frees only ended sessions, whose workers have returned: the join is immediate.
        with self.session_lock:
            self.lib.audioextract_free(sid)


_loaded: Optional[Module] = None
_load_lock = threading.Lock()


def module() -> Module:
    """The library, loaded once per process on first use."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = Module()
        return _loaded


def set_max_alloc(nbytes: int) -> None:
    """Set the largest single allocation FFmpeg may make in this process (64 MiB when the library loads)."""
    m = module()
    if m._max_alloc is not None:
        m._max_alloc(nbytes)


def set_log_level(level: Union[str, int]) -> None:
    """Let FFmpeg's own log lines reach stderr from this level up ("error", "warning", "info", ... or
    FFmpeg's number); "quiet", the default, silences them. Process-wide, as FFmpeg's log is."""
    if isinstance(level, str):
        if level not in LOG_LEVELS:
            raise ValueError(f"unknown log level {level!r}: one of {', '.join(LOG_LEVELS)}")
        level = LOG_LEVELS[level]
    m = module()
    if m._log_level is not None:
        m._log_level(int(level))
