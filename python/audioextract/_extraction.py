"""Extractions: a handle on one running session, the blocking call, and the asyncio helper."""
from __future__ import annotations

import asyncio
import os
import re
import threading
import time
from typing import Callable, Optional, Union

from . import _module as m
from ._naming import default_output
from ._reports import (AudioExtractError, ExtractionCancelled, ExtractionError, Probe, ProbeError, Progress,
                       Result, parse)

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_POLL_S = 0.01


def _text(path: PathArg) -> str:
    return os.fsdecode(path)


def probe(path: PathArg) -> Probe:
    """Describe a media file. Raises ProbeError with the library's text when it cannot be read."""
    report = parse(m.module().probe(os.fsencode(path)))
    if not report.get("ok"):
        raise ProbeError(report.get("error", "probe failed"), _text(path))
    return Probe.from_report(report)


class Extraction:
    """One extraction running on a library session.

    Creating it waits for a free session (at most four run at once in a process) and starts the copy. Use
    it as a context manager, or call close(): leaving always frees the session, cancelling it first if it
    is still running, so an extraction that did not finish leaves no file.
    """

    def __init__(self, input: PathArg, output: PathArg, stream: Optional[int] = None) -> None:
        self.input = _text(input)
        self.output = _text(output)
        self._lib = m.module()
        self._id = -1
        self._lib.slots.acquire()
        try:
            while True:
                sid = self._lib.start(os.fsencode(input), os.fsencode(output), -1 if stream is None else stream)
                if sid != m.ERR_NO_SLOT:
                    break
                time.sleep(_POLL_S)  # a session outside this package holds a slot
            if sid == m.ERR_BAD_PATH:
                raise ExtractionError("path empty or too long", self.output)
            if sid < 0:
                raise ExtractionError("cannot create a worker thread", self.output)
            self._id = sid
        except BaseException:
            self._lib.slots.release()
            raise
        self._closed = False
        self._close_lock = threading.Lock()

    @property
    def state(self) -> int:
        """The session's state code: 0 pending, 2 running, 3 done, 4 cancelled, 5 failed."""
        return self._lib.status(self._id) if not self._closed else self._final_state

    @property
    def done(self) -> bool:
        return self.state >= m.STATE_DONE

    def progress(self) -> Progress:
        return Progress(**parse(self._lib.progress(self._id)))

    def cancel(self) -> None:
        """Ask the worker to stop; it ends cancelled at once, even inside a network read."""
        if not self._closed:
            self._lib.cancel(self._id)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until the extraction has ended; False if the timeout passed first."""
        until = None if timeout is None else time.monotonic() + timeout
        while not self.done:
            if until is not None and time.monotonic() >= until:
                return False
            time.sleep(_POLL_S)
        return True

    async def wait_async(self, poll: float = _POLL_S) -> Result:
        """Wait without blocking the event loop, then give the result (or raise as result() does)."""
        while not self.done:
            await asyncio.sleep(poll)
        return self.result()

    def __await__(self):
        return self.wait_async().__await__()

    def result(self) -> Result:
        """The outcome of an ended extraction: a Result, or ExtractionError / ExtractionCancelled."""
        if not self._closed:
            self._final_state = self.state
            self._final_report = parse(self._lib.result(self._id))
        if self._final_state < m.STATE_DONE:
            raise AudioExtractError("the extraction has not ended", self.output)
        r = self._final_report
        if self._final_state == m.STATE_FAILED:
            about_input = r["error"] in _INPUT_TEXTS or r["error"].startswith(_INPUT_PREFIXES)
            about = self.input if about_input else self.output
            raise ExtractionError(r["error"], about)
        if self._final_state == m.STATE_CANCELLED:
            raise ExtractionCancelled("cancelled", self.output)
        return Result(out_path=r["out_path"], out_size_bytes=r["out_size_bytes"], codec=r["codec"],
                      duration_ms=r["duration_ms"], packets_written=r["packets_written"],
                      elapsed_ms=r["elapsed_ms"])

    def close(self) -> None:
        """Free the session (cancelling it first if it still runs). Safe to call twice."""
        with self._close_lock:
            if self._closed:
                return
            if not self.done:
                self._lib.cancel(self._id)
                self.wait()
            self._final_state = self._lib.status(self._id)
            self._final_report = parse(self._lib.result(self._id))
            self._lib.free(self._id)
            self._closed = True
            self._lib.slots.release()

    def __enter__(self) -> "Extraction":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A forgotten handle still gives its session back (and a running copy is cancelled).
        if getattr(self, "_id", -1) >= 0 and not getattr(self, "_closed", True):
            try:
                self.close()
            except Exception:
                pass  # at interpreter exit the module may already be gone


_SCHEME = re.compile(rb"^([A-Za-z0-9+.-]{2,}):")


def _local_path(path: PathArg) -> Optional[bytes]:
    """The local file a path names, as the library reads it: the path behind a "file:" prefix, the path itself
    when it has no scheme, None for any other address (which the library refuses as an output)."""
    raw = os.fsencode(path)
    scheme = _SCHEME.match(raw)
    if scheme is None:
        return raw
    return raw[scheme.end():] if scheme.group(1).lower() == b"file" else None


_INPUT_TEXTS = {"no stream info", "no audio stream", "read failed", "audio format changes mid-stream"}
_INPUT_PREFIXES = ("cannot open input",)  # followed by the system's reason


def output_for(input: PathArg, stream: Optional[int], directory: str = ".") -> str:
    """The output name the command-line host would choose for this input and stream."""
    p = probe(input)
    audio = p.audio(stream)
    if audio is None:
        raise ExtractionError("no audio stream", _text(input))
    return default_output(_text(input), p, audio, directory)


def extract(input: PathArg, output: Optional[PathArg] = None, stream: Optional[int] = None, *,
            overwrite: bool = False, on_progress: Optional[Callable[[Progress], None]] = None) -> Result:
    """Copy one audio stream of input into output and wait for it.

    output defaults to the input's name with the stream's suggested extension, in the current directory.
    An existing output is replaced only with overwrite=True. on_progress, if given, is called with each
    new Progress while the copy runs, and once more at the end. Ctrl-C (KeyboardInterrupt) cancels the
    extraction, which leaves no file, and is raised again.
    """
    out = output_for(input, stream) if output is None else output
    local = _local_path(out)
    if not overwrite and local is not None and os.path.lexists(local):
        raise ExtractionError("output exists (pass overwrite=True to replace it)", _text(out))
    with Extraction(input, out, stream) as x:
        last = None
        while not x.done:
            if on_progress is not None:
                p = x.progress()
                if p != last:
                    on_progress(p)
                    last = p
            time.sleep(_POLL_S)
        if on_progress is not None:
            on_progress(x.progress())
        return x.result()


async def extract_async(input: PathArg, output: PathArg, stream: Optional[int] = None) -> Result:
    """extract() for asyncio: waits for a slot and for the copy without blocking the event loop."""
    lib = m.module()
    while not lib.slots.acquire(blocking=False):
        await asyncio.sleep(_POLL_S)
    lib.slots.release()  # Extraction takes it again at once; a thread may still win it, then it waits briefly
    x = await asyncio.get_running_loop().run_in_executor(None, Extraction, input, output, stream)
    try:
        return await x.wait_async()
    finally:
        x.close()
