"""Batch extraction: a whole list of files through the four sessions of one process, or spread over the
workers of a Dask cluster, each worker process running its own four.

A batch is planned once, before anything is extracted: every input gets its output name, and the names are
unique across the whole batch (a probe names each output; on a cluster those probes run on the workers).
Only then are (input, output) pairs handed out, so no two inputs can meet at one name however the work is
split, and a task that Dask runs again after losing a worker finds nothing it does not expect.
"""
from __future__ import annotations

import functools
import importlib
import os
import queue
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from . import _header as h
from . import _module as m
from ._errors import AudioExtractError
from ._extraction import Extraction, _output_name, probe
from ._naming import fixed_ext_output, numbered_output, unique
from ._paths import PathArg, check_stream, like, local_path, text
from ._reports import Result
from ._waiter import hub

CHUNK = 8  # files per Dask task: enough to keep a worker's four sessions busy


@dataclass(frozen=True)
class Record:
    """What became of one input of a batch: its output (a Path when the output directory was given as one)
    and its Result, or the error text that kept it from one."""
    input: PathArg
    output: Optional[Union[str, Path]]
    ok: bool
    error: Optional[str] = None
    result: Optional[Result] = None


@dataclass(frozen=True)
class Job:
    """One planned extraction; index is the input's place in the batch."""
    index: int
    input: str
    output: str
    stream: Optional[int]


Progress = Union[None, bool, Callable[[Record], Any], Any]  # False, a callable, or a tqdm-like bar


def _name(src: str, outdir: str, stream: Optional[int], ext: Optional[str]) -> Union[str, AudioExtractError]:
    """The output name for one input, or the error that keeps it from having one."""
    if ext:
        return fixed_ext_output(src, ext, outdir)
    try:
        return _output_name(src, probe(src), stream, outdir)
    except AudioExtractError as e:
        return e


def _name_all(srcs: Sequence[str], outdir: str, stream: Optional[int], ext: Optional[str]) -> list[str]:
    """Names (or, prefixed with a NUL, error texts) for a list of inputs: what a Dask naming task returns."""
    named = [_name(s, outdir, stream, ext) for s in srcs]
    return [n if isinstance(n, str) else "\0" + _text_of(n) for n in named]


def _text_of(e: AudioExtractError) -> str:
    return e.text


def _existing(names: Sequence[str]) -> list[bool]:
    return [os.path.lexists(local_path(n) or n) for n in names]


class _Run:
    """The jobs of a batch through this process's sessions, four at a time, records in input order."""

    def __init__(self, inputs: Sequence[PathArg], outdir: PathArg, overwrite: bool,
                 report: Callable[[Record], None]) -> None:
        self.inputs, self.outdir, self.overwrite, self.report = inputs, outdir, overwrite, report
        self.records: dict[int, Record] = {}

    def record(self, job: Job, ok: bool, error: Optional[str] = None, result: Optional[Result] = None) -> None:
        r = Record(self.inputs[job.index], like(self.outdir, job.output), ok, error, result)
        self.records[job.index] = r
        self.report(r)

    def run(self, jobs: Sequence[Job]) -> None:
        ended: queue.SimpleQueue[int] = queue.SimpleQueue()
        running: dict[int, tuple[Job, Extraction]] = {}
        slots, watcher = hub(m.module())

        def finish(index: int) -> None:
            job, x = running.pop(index)
            try:
                self.record(job, True, result=x.result())
            except AudioExtractError as e:
                self.record(job, False, _text_of(e))
            finally:
                x.close()
        try:
            for job in jobs:
                while len(running) >= h.MAX_SESSIONS:
                    finish(ended.get())
                while not ended.empty():
                    finish(ended.get())
                try:
                    x = Extraction(job.input, job.output, job.stream, overwrite=self.overwrite)
                except AudioExtractError as e:
                    self.record(job, False, _text_of(e))
                    continue
                running[job.index] = (job, x)
                watcher.when_ended(x._watch, functools.partial(ended.put, job.index))
            while running:
                finish(ended.get())
        finally:
            for _, x in running.values():  # an interrupted batch leaves no partial file
                x.close()


def run_jobs(inputs: Sequence[PathArg], jobs: Sequence[Job], outdir: PathArg, overwrite: bool,
             report: Callable[[Record], None] = lambda r: None) -> list[Record]:
    """Run planned jobs in this process; records for the jobs, by input index."""
    run = _Run(inputs, outdir, overwrite, report)
    run.run(jobs)
    return [run.records[j.index] for j in jobs]


def _task(inputs: Sequence[PathArg], jobs: Sequence[Job], outdir: PathArg) -> list[Record]:
    """Runs on a Dask worker (the library is loaded once per worker process and reused by every task). The
    outputs were absent when the batch was planned, so one found now was written by an earlier attempt of
    this task (outputs appear only whole): it is extracted again onto its name and reported with its result."""
    m.tune_malloc(override=True)  # over Dask's own setting for its workers
    return run_jobs(inputs, jobs, outdir, overwrite=True)


def _plan(srcs: Sequence[str], outdir: str, stream: Optional[int], ext: Optional[str],
          client: Any) -> list[Union[str, AudioExtractError]]:
    """Each input's output name, unique in the batch, or the error that keeps it from having one."""
    if client is None or ext:
        named: list[Union[str, AudioExtractError]] = [_name(s, outdir, stream, ext) for s in srcs]
    else:  # the probes run where the files are read: on the workers
        chunks = [list(srcs[i:i + CHUNK]) for i in range(0, len(srcs), CHUNK)]
        futures = client.map(_name_all, chunks, outdir=outdir, stream=stream, ext=ext, pure=False)
        named = [AudioExtractError(n[1:]) if n.startswith("\0") else n
                 for part in client.gather(futures) for n in part]
    names = unique(n if isinstance(n, str) else None for n in named)
    return [n if n is not None else e for n, e in zip(names, named)]


def _nothing(*_: object) -> None:
    pass


def _bar(progress: Progress, total: int) -> tuple[Callable[[Record], None], Callable[[], None]]:
    """What to call for each finished input, and what to call at the end, for the progress= argument."""
    if progress is None or progress is False:
        return _nothing, _nothing
    if progress is True:
        try:  # tqdm is optional, and has no type information of its own
            tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            return _nothing, _nothing
        bar: Any = tqdm(total=total, unit="file", desc="audioextract")
    elif hasattr(progress, "update"):  # a bar the caller owns (and closes)
        bar = progress
    elif callable(progress):
        call: Callable[[Record], Any] = progress

        def each(r: Record) -> None:
            call(r)
        return each, _nothing
    else:
        raise TypeError("progress must be True, False, a callable taking a Record, or a tqdm bar")

    def advance(r: Record) -> None:
        bar.update(1)
    return advance, (bar.close if progress is True else _nothing)


def extract_many(inputs: Iterable[PathArg], outdir: PathArg, stream: Optional[int] = None, *,
                 overwrite: bool = False, ext: Optional[str] = None, client: Any = None,
                 progress: Progress = True) -> list[Record]:
    """Extract one audio stream of every input into outdir; one Record per input, in input order.

    Output names follow the command-line host (the input's name and the stream's suggested extension), or
    use ext (with or without its dot) for every file without probing first; names are unique across the
    batch. An existing output fails its record unless overwrite=True. One bad file never stops the batch: its
    record carries the error text. With client (a distributed.Client) the files are spread over the
    cluster's workers, which must see the same paths (a shared file system, or http(s) addresses).
    progress: True shows a tqdm bar when tqdm is installed; False nothing; a callable is called with each
    Record as it is made; a tqdm bar of the caller's own is advanced.
    """
    if isinstance(inputs, (str, bytes, os.PathLike)):
        raise TypeError("inputs must be a list of paths, not one path: extract_many([path], ...)")
    given = list(inputs)
    srcs = [text(p) for p in given]
    check_stream(stream)
    out = text(outdir)
    each, end = _bar(progress, len(srcs))
    try:
        os.makedirs(local_path(out) or out, exist_ok=True)
        plan = _plan(srcs, out, stream, ext, client)
        records: list[Optional[Record]] = [None] * len(srcs)
        jobs = []
        for i, p in enumerate(plan):
            if isinstance(p, str):
                jobs.append(Job(i, srcs[i], p, stream))
            else:
                records[i] = Record(given[i], None, False, _text_of(p))
                each(records[i])  # type: ignore[arg-type]
        if client is None:
            for r, j in zip(run_jobs(given, jobs, outdir, overwrite, each), jobs):
                records[j.index] = r
        else:
            for j, r in _run_dask(client, given, jobs, outdir, overwrite, each):
                records[j.index] = r
        return [r for r in records if r is not None]
    finally:
        end()


def _run_dask(client: Any, given: Sequence[PathArg], jobs: list[Job], outdir: PathArg, overwrite: bool,
              each: Callable[[Record], None]) -> list[tuple[Job, Record]]:
    import distributed  # only a Dask batch needs Dask

    done: list[tuple[Job, Record]] = []
    if not overwrite:  # checked once, where the files are, before any task runs
        found = client.submit(_existing, [j.output for j in jobs], pure=False).result()
        for j, exists in zip(jobs, found):
            if exists:
                r = Record(given[j.index], like(outdir, j.output), False, "output exists")
                done.append((j, r))
                each(r)
        jobs = [j for j, exists in zip(jobs, found) if not exists]
    chunks = [jobs[i:i + CHUNK] for i in range(0, len(jobs), CHUNK)]
    futures = {client.submit(_task, given, c, outdir, pure=False, retries=1): c for c in chunks}
    for future in distributed.as_completed(list(futures)):  # type: ignore[no-untyped-call]
        chunk = futures[future]
        try:
            records = future.result()
        except Exception as e:  # the task failed, or its worker died more often than Dask allows
            records = [Record(given[j.index], like(outdir, j.output), False,
                              f"task lost: {type(e).__name__}: {e}") for j in chunk]
            for r in records:
                each(r)
        else:
            for r in records:
                each(r)
        done.extend(zip(chunk, records))
    return done


def extract_all(input: PathArg, outdir: PathArg = ".", *, overwrite: bool = False,
                progress: Progress = False) -> list[Record]:
    """Extract every audio stream of input into outdir, named as the command-line host names them (the
    input's name, the stream index and its language). One Record per audio stream; a file with more streams
    than the probe report can list gets a failed last record saying so."""
    p = probe(input)
    out = text(outdir)
    os.makedirs(local_path(out) or out, exist_ok=True)
    names = unique(numbered_output(text(input), a, out) for a in p.audio_streams)
    jobs = [Job(i, text(input), n or "", a.index) for i, (a, n) in enumerate(zip(p.audio_streams, names))]
    each, end = _bar(progress, len(jobs))
    try:
        records = run_jobs([input] * len(jobs), jobs, outdir, overwrite, each)
    finally:
        end()
    if p.truncated:
        records.append(Record(input, None, False, "more streams than the probe report can list"))
    if not p.audio_streams:
        records.append(Record(input, None, False, h.TEXT_NO_AUDIO_STREAM))
    return records
