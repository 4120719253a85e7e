"""The library's JSON reports as typed objects.

Reports copy file names and tags byte for byte, and those bytes need not be UTF-8: they are decoded with
surrogate escapes, so nothing is lost and os.fsencode gives a path back its original bytes.
"""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Optional

from ._module import State


def parse(text: bytes) -> dict[str, Any]:
    report: dict[str, Any] = json.loads(text.decode("utf-8", "surrogateescape"))
    return report


@dataclass(frozen=True)
class Stream:
    """One stream of a file, of any type."""
    index: int
    type: str
    codec: str
    width: int = 0
    height: int = 0
    fps: float = 0.0


@dataclass(frozen=True)
class AudioStream:
    """An audio stream: what extraction needs to know of it."""
    index: int
    codec: str
    channels: int
    sample_rate: int
    bitrate: int
    language: str
    suggested_ext: str


@dataclass(frozen=True)
class Probe:
    """What the library reports of a media file."""
    format: str
    duration_ms: int
    streams: list[Stream] = field(default_factory=list)
    audio_streams: list[AudioStream] = field(default_factory=list)
    truncated: bool = False  # the file has more streams than the report could list

    @classmethod
    def from_report(cls, r: dict[str, Any]) -> Probe:
        return cls(format=r["format"], duration_ms=r["duration_ms"],
                   streams=[Stream(**s) for s in r["streams"]],
                   audio_streams=[AudioStream(**a) for a in r["audio_streams"]],
                   truncated=bool(r.get("truncated", False)))

    def audio(self, index: Optional[int] = None, *, language: Optional[str] = None,
              codec: Optional[str] = None) -> Optional[AudioStream]:
        """The first audio stream that has this index (any when None or negative), this language tag and
        this codec name (any when None); None when no audio stream has them all."""
        for a in self.audio_streams:
            if ((index is None or index < 0 or a.index == index) and (language is None or a.language == language)
                    and (codec is None or a.codec == codec)):
                return a
        return None


@dataclass(frozen=True)
class Progress:
    """Where a running extraction has got to."""
    state: State
    percent: float
    processed_ms: int
    total_ms: int
    packets: int


@dataclass(frozen=True)
class Result:
    """A finished extraction."""
    out_path: str
    out_size_bytes: int
    codec: str
    duration_ms: int
    packets_written: int
    elapsed_ms: int


def progress_of(r: dict[str, Any]) -> Progress:
    return Progress(state=State(r["state"]), percent=r["percent"], processed_ms=r["processed_ms"],
                    total_ms=r["total_ms"], packets=r["packets"])


def result_of(r: dict[str, Any]) -> Result:
    return Result(out_path=r["out_path"], out_size_bytes=r["out_size_bytes"], codec=r["codec"],
                  duration_ms=r["duration_ms"], packets_written=r["packets_written"], elapsed_ms=r["elapsed_ms"])
