"""Probes, and extractions: a handle on one session, the blocking call and the asyncio ones."""
from __future__ import annotations

import asyncio
import os
import threading
import time
from pathlib import Path
from typing import Any, Callable, Generator, Optional, Union, overload

from . import _header as h
from . import _module as m
from ._errors import (AudioExtractError, ExtractionCancelled, ExtractionClosed, ExtractionError, ProbeError,
                      error)
from ._module import State
from ._naming import default_output
from ._paths import PathArg, check_stream, encode, like, local_path, text
from ._reports import Probe, Progress, Result, parse, progress_of, result_of
from ._waiter import Watch, hub, settle

ProgressCallback = Callable[[Progress], None]
_PROGRESS_EVERY_S = 0.05  # how often a progress callback may be called while a copy runs
_FOREIGN_SLOT_RETRY_S = 0.01



def about_input(text_: str) -> bool:
    """Whether a failure text of the library is about the input (otherwise it is about the output)."""
    return any(text_ == t or text_.startswith(t + ": ") for t in h.INPUT_TEXTS)


def probe(path: PathArg) -> Probe:
    """Describe a media file. Raises ProbeError (also FileNotFoundError, IsADirectoryError or PermissionError
    where one of those is the reason) when it cannot be read."""
    raw = encode(path, "input")
    report = parse(m.module().probe(raw))
    if not report.get("ok"):
        raise error(ProbeError, report.get("error", "probe failed"), text(path))
    return Probe.from_report(report)


async def probe_async(path: PathArg) -> Probe:
    """probe() on a worker thread, so the event loop runs on while a slow source is read. A cancelled await
    leaves the probe to end on its own (within the library's 15 s limit)."""
    encode(path, "input")
    return await asyncio.get_running_loop().run_in_executor(None, probe, path)


def _no_stream(input: PathArg, p: Probe, stream: Optional[int], base: type[AudioExtractError]) -> AudioExtractError:
    """The error for a stream the input does not have, naming the ones it has."""
    have = ", ".join(str(a.index) for a in p.audio_streams) or "none"
    if stream is None or stream < 0:
        return error(base, h.TEXT_NO_AUDIO_STREAM, text(input))
    return error(base, h.TEXT_NO_AUDIO_STREAM, text(input), f"stream {stream} is not one; audio streams: {have}",
                 builtin=ValueError)


def _output_name(input: PathArg, p: Probe, stream: Optional[int], directory: PathArg) -> str:
    audio = p.audio(stream)
    if audio is None:
        raise _no_stream(input, p, stream, ProbeError)
    return default_output(text(input), p, audio, text(directory))


@overload
def output_for(input: str, stream: Optional[int] = None, directory: str = ".") -> str: ...
@overload
def output_for(input: PathArg, stream: Optional[int] = None, directory: PathArg = ".") -> Union[str, Path]: ...


def output_for(input: PathArg, stream: Optional[int] = None, directory: PathArg = ".") -> Union[str, Path]:
    """The output name the command-line host would choose for this input and stream: a Path when the input
    or the directory is a path object."""
    check_stream(stream)
    name = _output_name(input, probe(input), stream, directory)
    return like(directory if isinstance(directory, os.PathLike) else input, name)


class Extraction:
    """One extraction running on a library session.

    Creating it waits for a free session (at most four run at once in a process) and starts the copy. An
    existing output is replaced only with overwrite=True. Use it as a context manager, or call close():
    leaving always frees the session, cancelling it first if it is still running, so an extraction that did
    not finish leaves no file. `await extraction` waits for its Result without blocking the event loop.
    """

    def __init__(self, input: PathArg, output: PathArg, stream: Optional[int] = None, *,
                 overwrite: bool = False) -> None:
        self._prepare(input, output, stream, overwrite)
        self._slots.acquire()
        self._launch()

    @classmethod
    async def start_async(cls, input: PathArg, output: PathArg, stream: Optional[int] = None, *,
                          overwrite: bool = False) -> Extraction:
        """Create an Extraction, waiting for a free session without blocking the event loop."""
        x = cls.__new__(cls)
        x._prepare(input, output, stream, overwrite)
        await x._slots.acquire_async()
        x._launch()  # the library's start does not block
        return x

    def _prepare(self, input: PathArg, output: PathArg, stream: Optional[int], overwrite: bool) -> None:
        self._closed = True  # until a session is held
        self._src, self._dst, self._stream = encode(input, "input"), encode(output, "output"), check_stream(stream)
        self.input, self.output = text(input), text(output)
        local = local_path(output)
        if local is None:
            raise error(ExtractionError, "an output must be a local file", self.output, builtin=ValueError)
        if not overwrite and os.path.lexists(local):
            raise error(ExtractionError, "output exists", self.output, "pass overwrite=True to replace it")
        self._local = local
        self._lib = m.module()
        self._slots, self._watcher = hub(self._lib)
        self._lock = threading.Lock()

    def _launch(self) -> None:
        try:
            while True:
                sid = self._lib.start(self._src, self._dst, self._stream)
                if sid != h.ERR_NO_SLOT:
                    break
                time.sleep(_FOREIGN_SLOT_RETRY_S)  # a caller outside this package holds a slot: rare
            if sid == h.ERR_BAD_PATH:
                raise ExtractionError("path empty or too long", self.output)
            if sid < 0:
                raise ExtractionError("cannot create a worker thread", self.output)
        except BaseException:
            self._slots.release()
            raise
        self._id = sid
        self._watch: Watch = self._watcher.watch(sid)
        self._final: Optional[tuple[State, dict[str, Any]]] = None
        self._closed = False

    @property
    def state(self) -> State:
        """The session's state."""
        if self._final is not None:
            return self._final[0]
        return self._watch.state if self._watch.ended.is_set() else State(self._lib.status(self._id))

    @property
    def done(self) -> bool:
        """True once the extraction has ended (done, cancelled or failed)."""
        return self._watch.ended.is_set()

    def progress(self) -> Progress:
        """Where the copy has got to. Raises ExtractionClosed after close()."""
        with self._lock:
            if self._closed:
                raise ExtractionClosed("the extraction is closed", self.output)
            return progress_of(parse(self._lib.progress(self._id)))

    def cancel(self) -> None:
        """Ask the worker to stop; it ends cancelled at once, even inside a network read."""
        with self._lock:
            if not self._closed:
                self._lib.cancel(self._id)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until the extraction has ended; False if the timeout passed first."""
        return self._watch.ended.wait(timeout)

    async def wait_async(self, on_progress: Optional[ProgressCallback] = None) -> Result:
        """Wait without blocking the event loop, then give the result (or raise as result() does)."""
        loop = asyncio.get_running_loop()
        ended = loop.create_future()

        def wake() -> None:
            try:
                loop.call_soon_threadsafe(lambda: settle(ended))
            except RuntimeError:
                pass  # the loop has closed: nobody waits any more
        self._watcher.when_ended(self._watch, wake)
        last = None if on_progress is None else self._report_progress(on_progress, None)
        while not ended.done():
            if on_progress is None:
                await ended
                break
            await asyncio.wait([ended], timeout=_PROGRESS_EVERY_S)
            last = self._report_progress(on_progress, last)
        if on_progress is not None:
            on_progress(self.progress())
        if self._needs_probe_for_error():
            return await loop.run_in_executor(None, self.result)
        return self.result()

    def __await__(self) -> Generator[Any, None, Result]:
        return self.wait_async().__await__()

    def _report_progress(self, on_progress: ProgressCallback, last: Optional[Progress]) -> Progress:
        p = self.progress()
        if p != last:
            on_progress(p)
        return p

    def _final_report(self) -> tuple[State, dict[str, Any]]:
        with self._lock:
            if self._final is None:
                if not self._watch.ended.is_set():
                    raise AudioExtractError("the extraction has not ended", self.output)
                self._final = (self._watch.state, parse(self._lib.result(self._id)))
            return self._final

    def _needs_probe_for_error(self) -> bool:
        state, report = self._final_report()
        return state == State.FAILED and report.get("error") == h.TEXT_NO_AUDIO_STREAM and self._stream >= 0

    def result(self) -> Result:
        """The outcome of an ended extraction: a Result, or ExtractionError / ExtractionCancelled."""
        state, r = self._final_report()
        if state == State.CANCELLED:
            raise ExtractionCancelled("cancelled", self.output)
        if state == State.FAILED:
            raise self._failure(r.get("error", "failed"))
        return result_of(r)

    def _failure(self, text_: str) -> AudioExtractError:
        if text_ == h.TEXT_NO_AUDIO_STREAM and self._stream >= 0:
            try:
                return _no_stream(self.input, probe(self.input), self._stream, ExtractionError)
            except AudioExtractError:
                pass
        if about_input(text_):
            return error(ExtractionError, text_, self.input)
        if text_ == h.TEXT_OPEN_OUTPUT:  # say which of the usual reasons it is
            folder = os.path.dirname(self._local) or b"."
            if os.path.isdir(self._local):
                return error(ExtractionError, text_, self.output, "a directory", builtin=IsADirectoryError)
            if not os.path.isdir(folder):
                return error(ExtractionError, text_, self.output, "no such directory", builtin=FileNotFoundError)
            if not os.access(folder, os.W_OK | os.X_OK):
                return error(ExtractionError, text_, self.output, "permission denied", builtin=PermissionError)
        return error(ExtractionError, text_, self.output)

    def close(self) -> None:
        """Free the session (cancelling it first if it still runs, and waiting for it). Safe to call twice."""
        if self._closed:
            return
        if not self.done:
            self.cancel()
            self._watch.ended.wait()
        self._release()

    def close_soon(self) -> None:
        """close() without waiting: the session is cancelled now and freed once its worker has ended."""
        if self._closed:
            return
        if not self.done:
            self.cancel()
        self._watcher.let_go(self._watch, self._release)

    def _release(self) -> None:
        with self._lock:
            if self._closed:
                return
            if self._final is None:
                self._final = (self._watch.state, parse(self._lib.result(self._id)))
            self._lib.free(self._id)
            self._closed = True
        self._slots.release()

    def __enter__(self) -> Extraction:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A forgotten handle still gives its session back (a running copy is cancelled, and leaves no file).
        if not getattr(self, "_closed", True):
            try:
                self.close_soon()
            except Exception:
                pass  # at interpreter exit the module may already be gone


def _follow(x: Extraction, on_progress: Optional[ProgressCallback]) -> Result:
    if on_progress is None:
        x.wait()
    else:
        last = x._report_progress(on_progress, None)  # at once, so a caller sees the start of a short copy
        while not x.wait(_PROGRESS_EVERY_S):
            last = x._report_progress(on_progress, last)
        on_progress(x.progress())
    return x.result()


def extract(input: PathArg, output: Optional[PathArg] = None, stream: Optional[int] = None, *,
            overwrite: bool = False, on_progress: Optional[ProgressCallback] = None) -> Result:
    """Copy one audio stream of input into output and wait for it.

    output defaults to the input's name with the stream's suggested extension, in the current directory.
    An existing output is replaced only with overwrite=True. on_progress, if given, is called with each
    new Progress while the copy runs, and once more at the end. Ctrl-C (KeyboardInterrupt) cancels the
    extraction, which leaves no file, and is raised again.
    """
    check_stream(stream)
    out = output_for(input, stream) if output is None else output
    with Extraction(input, out, stream, overwrite=overwrite) as x:
        return _follow(x, on_progress)


async def extract_async(input: PathArg, output: Optional[PathArg] = None, stream: Optional[int] = None, *,
                        overwrite: bool = False, on_progress: Optional[ProgressCallback] = None) -> Result:
    """extract() for asyncio: waits for a session and for the copy without blocking the event loop.
    Cancelling the await at any point cancels the extraction, which leaves no file, and frees its session
    without waiting for it."""
    check_stream(stream)
    if output is None:
        p = await probe_async(input)
        output = _output_name(input, p, stream, ".")
    x = await Extraction.start_async(input, output, stream, overwrite=overwrite)
    try:
        result = await x.wait_async(on_progress)
    except BaseException:
        x.close_soon()
        raise
    x.close_soon()  # it has ended: freed at once
    return result
