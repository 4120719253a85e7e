"""Batch extraction: a whole list of files through the four sessions of one process, or spread over the
workers of a Dask cluster, each worker process running its own four."""
from __future__ import annotations

import os
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Sequence

from . import _module as m
from ._extraction import Extraction, PathArg, probe
from ._naming import default_output
from ._reports import AudioExtractError, Result

_POLL_S = 0.005
CHUNK = 8  # files per Dask task: enough to keep a worker's four sessions busy


@dataclass(frozen=True)
class Record:
    """What became of one input of a batch."""
    input: str
    output: Optional[str]
    ok: bool
    error: Optional[str] = None
    result: Optional[Result] = None


def _plan(inputs: Sequence[str], outdir: str, stream: Optional[int], ext: Optional[str]) -> list[Any]:
    """The output name of each input (or the error that keeps it from having one). Names are unique in the
    batch: a second input with the same name gets its position added."""
    taken: set[str] = set()
    plan = []
    for i, src in enumerate(inputs):
        try:
            if ext:
                out = os.path.join(outdir, f"{os.path.splitext(os.path.basename(src))[0] or 'audio'}.{ext}")
            else:
                p = probe(src)
                audio = p.audio(stream)
                if audio is None:
                    raise AudioExtractError("no audio stream", src)
                out = default_output(src, p, audio, outdir)
        except AudioExtractError as e:
            plan.append(Record(src, None, False, e.text))
            continue
        if out in taken:
            base, dot_ext = os.path.splitext(out)
            out = f"{base}.{i}{dot_ext}"
        taken.add(out)
        plan.append(out)
    return plan


def run_local(inputs: Sequence[str], outdir: str, stream: Optional[int] = None, overwrite: bool = False,
              ext: Optional[str] = None, progress: Any = None) -> list[Record]:
    """Every input through this process's four sessions; one record per input, in order."""
    os.makedirs(outdir, exist_ok=True)
    plan = _plan(inputs, outdir, stream, ext)
    records: list[Optional[Record]] = [p if isinstance(p, Record) else None for p in plan]
    pending = deque(i for i, p in enumerate(plan) if not isinstance(p, Record))
    running: dict[int, Extraction] = {}
    if progress is not None:
        progress.update(sum(r is not None for r in records))
    try:
        while pending or running:
            while pending and len(running) < m.MAX_SESSIONS:
                i = pending.popleft()
                out = plan[i]
                if not overwrite and os.path.lexists(out):
                    records[i] = Record(inputs[i], out, False, "output exists")
                    continue
                try:
                    running[i] = Extraction(inputs[i], out, stream)
                except AudioExtractError as e:
                    records[i] = Record(inputs[i], out, False, e.text)
            for i in [i for i, x in running.items() if x.done]:
                x = running.pop(i)
                try:
                    records[i] = Record(inputs[i], plan[i], True, result=x.result())
                except AudioExtractError as e:
                    records[i] = Record(inputs[i], plan[i], False, e.text)
                finally:
                    x.close()
                if progress is not None:
                    progress.update(1)
            time.sleep(_POLL_S)
    finally:
        for x in running.values():  # an interrupted batch leaves no partial file
            x.close()
    return [r for r in records if r is not None]


def _chunk_task(chunk: list[str], outdir: str, stream: Optional[int], overwrite: bool,
                ext: Optional[str]) -> list[Record]:
    """Runs on a Dask worker: the library is loaded once per worker process and reused by every task."""
    return run_local(chunk, outdir, stream, overwrite, ext)


def run_dask(client: Any, inputs: Sequence[str], outdir: str, stream: Optional[int] = None,
             overwrite: bool = False, ext: Optional[str] = None, progress: Any = None,
             chunk: int = CHUNK) -> list[Record]:
    """The inputs in chunks of files, as tasks on the cluster behind client. A task that fails or whose
    worker is lost (Dask reruns it elsewhere first) gives failed records, never missing ones."""
    from distributed import as_completed  # only a Dask batch needs Dask

    chunks = [list(inputs[i:i + chunk]) for i in range(0, len(inputs), chunk)]
    futures = {client.submit(_chunk_task, c, outdir, stream, overwrite, ext, pure=False, retries=1): n
               for n, c in enumerate(chunks)}
    results: list[Optional[list[Record]]] = [None] * len(chunks)
    for future in as_completed(list(futures)):
        n = futures[future]
        try:
            results[n] = future.result()
        except Exception as e:  # the task failed, or its worker died more often than Dask allows
            results[n] = [Record(src, None, False, f"task lost: {type(e).__name__}: {e}") for src in chunks[n]]
        if progress is not None:
            progress.update(len(chunks[n]))
    return [r for chunk_records in results for r in (chunk_records or [])]


def extract_many(inputs: Iterable[PathArg], outdir: PathArg, stream: Optional[int] = None, *,
                 overwrite: bool = False, ext: Optional[str] = None, client: Any = None,
                 progress: bool = True) -> list[Record]:
    """Extract one audio stream of every input into outdir; one Record per input, in input order.

    Output names follow the command-line host (the input's name and the stream's suggested extension), or
    use ext for every file without probing first. One bad file never stops the batch: its record carries
    the library's error text. With client (a distributed.Client) the files are spread over the cluster's
    workers, which must see the same paths (a shared file system, or http(s) addresses). progress shows a
    tqdm bar when tqdm is installed.
    """
    srcs = [os.fsdecode(p) for p in inputs]
    out = os.fsdecode(outdir)
    bar = None
    if progress:
        try:
            from tqdm import tqdm
            bar = tqdm(total=len(srcs), unit="file", desc="audioextract")
        except ImportError:
            bar = None
    try:
        if client is not None:
            return run_dask(client, srcs, out, stream, overwrite, ext, bar)
        return run_local(srcs, out, stream, overwrite, ext, bar)
    finally:
        if bar is not None:
            bar.close()
