"""Look inside media files and copy one audio stream into a file of its own, without re-encoding.

A Python face of the belmarun-audioextract library:

    >>> import audioextract
    >>> audioextract.probe("movie.mkv").audio_streams
    >>> audioextract.extract("movie.mkv", "movie.m4a", stream=1)
    >>> audioextract.extract_all("movie.mkv", "out/")        # every audio stream
    >>> audioextract.extract_many(paths, "out/")            # four at a time in this process
    >>> audioextract.extract_many(paths, "out/", client=c)  # spread over a Dask cluster

Calls may come from any number of threads and event loops: extractions beyond the library's four sessions
wait for a free one, and a slow probe holds up no extraction. FFmpeg's own log is silent unless
set_log_level() asks for it.
"""
from ._batch import Record, extract_all, extract_many
from ._errors import (AudioExtractError, ExtractionCancelled, ExtractionClosed, ExtractionError, ProbeError)
from ._extraction import Extraction, extract, extract_async, output_for, probe, probe_async
from ._module import State, set_log_level, set_max_alloc
from ._reports import AudioStream, Probe, Progress, Result, Stream

# The state codes by their older names.
STATE_PENDING, STATE_RUNNING, STATE_DONE, STATE_CANCELLED, STATE_FAILED = (
    State.PENDING, State.RUNNING, State.DONE, State.CANCELLED, State.FAILED)


def version() -> str:
    """The library's version text, with the libavformat it was built against."""
    from ._module import module
    return module().version().decode()


__all__ = [
    "AudioExtractError", "AudioStream", "Extraction", "ExtractionCancelled", "ExtractionClosed",
    "ExtractionError", "Probe", "ProbeError", "Progress", "Record", "Result", "State", "Stream",
    "STATE_CANCELLED", "STATE_DONE", "STATE_FAILED", "STATE_PENDING", "STATE_RUNNING", "extract",
    "extract_all", "extract_async", "extract_many", "output_for", "probe", "probe_async", "set_log_level",
    "set_max_alloc", "version",
]
