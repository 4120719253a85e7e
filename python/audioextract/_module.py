"""The loaded library module and the rules for calling it.

The library takes calls from one thread at a time and holds at most four sessions. Both rules are kept
here: every call goes through one lock, and a start first takes one of four slot permits, so a fifth
extraction waits for a free slot instead of failing.
"""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import Optional

MODULE_NAME = "belmarun-audioextract.so" if os.name != "nt" else "belmarun-audioextract.dll"
MAX_SESSIONS = 4
# The largest single allocation FFmpeg may make in this process, set when the library loads: inputs are
# untrusted, and a forged size in a tiny file would otherwise reserve gigabytes. Process-wide (FFmpeg has
# no narrower handle): set_max_alloc changes it for a program that needs FFmpeg's allocations larger.
MAX_ALLOC = 64 << 20

# Session states, as the library's header names them.
STATE_PENDING = 0
STATE_RUNNING = 2
STATE_DONE = 3
STATE_CANCELLED = 4
STATE_FAILED = 5

# What audioextract_start returns when it starts nothing.
ERR_BAD_PATH = -1
ERR_NO_SLOT = -2
ERR_THREAD = -3


def _candidates() -> list[str]:
    found = []
    env = os.environ.get("AUDIOEXTRACT_MODULE")
    if env:
        found.append(env)
    found.append(str(Path(__file__).resolve().parent / MODULE_NAME))
    found.append(MODULE_NAME)  # the loader's own search path
    return found


class Module:
    """One loaded copy of the library, with its calls declared for ctypes."""

    def __init__(self, path: Optional[str] = None) -> None:
        errors = []
        self.lib = None
        for candidate in [path] if path else _candidates():
            if os.sep in candidate and not os.path.exists(candidate):
                errors.append(f"{candidate}: not found")
                continue
            try:
                self.lib = ctypes.CDLL(candidate)
                self.path = candidate
                break
            except OSError as e:
                errors.append(f"{candidate}: {e}")
        if self.lib is None:
            raise OSError("cannot load the audioextract library: " + "; ".join(errors))
        lib = self.lib
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
        self._max_alloc = getattr(lib, "av_max_alloc", None)
        if self._max_alloc is not None:
            self._max_alloc.argtypes = [ctypes.c_size_t]
            self._max_alloc.restype = None
            self._max_alloc(MAX_ALLOC)
        self.lock = threading.Lock()
        self.slots = threading.BoundedSemaphore(MAX_SESSIONS)

    # Each call copies the library's text before the lock is released: the buffers are reused.
    def probe(self, path: bytes) -> bytes:
        with self.lock:
            return bytes(self.lib.audioextract_probe(path))

    def version(self) -> bytes:
        with self.lock:
            return bytes(self.lib.audioextract_version())

    def start(self, src: bytes, dst: bytes, stream: int) -> int:
        with self.lock:
            return int(self.lib.audioextract_start(src, dst, stream))

    def status(self, sid: int) -> int:
        with self.lock:
            return int(self.lib.audioextract_status(sid))

    def progress(self, sid: int) -> bytes:
        with self.lock:
            return bytes(self.lib.audioextract_progress(sid))

    def result(self, sid: int) -> bytes:
        with self.lock:
            return bytes(self.lib.audioextract_result(sid))

    def cancel(self, sid: int) -> None:
        with self.lock:
            self.lib.audioextract_cancel(sid)

    def free(self, sid: int) -> None:
        # free waits for the worker; holding the lock meanwhile keeps other callers out, as the rule asks.
        with self.lock:
            self.lib.audioextract_free(sid)


_loaded: Optional[Module] = None
_load_lock = threading.Lock()


def set_max_alloc(nbytes: int) -> None:
    """Set the largest single allocation FFmpeg may make in this process (64 MiB when the library loads)."""
    m = module()
    if m._max_alloc is not None:
        m._max_alloc(nbytes)


def module() -> Module:
    """The library, loaded once per process on first use."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = Module()
        return _loaded
