"""Look inside media files and copy one audio stream into a file of its own, without re-encoding.

A Python face of the belmarun-audioextract library:

    >>> import audioextract
    >>> audioextract.probe("movie.mkv").audio_streams
    >>> audioextract.extract("movie.mkv", "movie.m4a", stream=1)
    >>> audioextract.extract_many(paths, "out/")            # four at a time in this process
    >>> audioextract.extract_many(paths, "out/", client=c)  # spread over a Dask cluster

Calls may come from any number of threads: the package serialises them, as the library requires, and
queues extractions beyond the library's four sessions until one is free.
"""
from ._batch import Record, extract_many
from ._extraction import Extraction, extract, extract_async, output_for, probe
from ._module import (STATE_CANCELLED, STATE_DONE, STATE_FAILED, STATE_PENDING, STATE_RUNNING, set_max_alloc)
from ._reports import (AudioExtractError, AudioStream, ExtractionCancelled, ExtractionError, Probe, ProbeError,
                       Progress, Result, Stream)


def version() -> str:
    """The library's version text, with the libavformat it was built against."""
    from ._module import module
    return module().version().decode()


__all__ = [
    "AudioExtractError", "AudioStream", "Extraction", "ExtractionCancelled", "ExtractionError", "Probe",
    "ProbeError", "Progress", "Record", "Result", "Stream", "STATE_CANCELLED", "STATE_DONE", "STATE_FAILED",
    "STATE_PENDING", "STATE_RUNNING", "extract", "extract_async", "extract_many", "output_for", "probe",
    "set_max_alloc", "version",
]
