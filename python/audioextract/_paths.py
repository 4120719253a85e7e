"""Arguments as the library takes them, checked before they reach it, and the local file a path names."""
from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Optional, Union

from ._header import MAX_PATH_BYTES

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_SCHEME = re.compile(rb"^([A-Za-z0-9+.-]{2,}):")


def encode(path: PathArg, role: str) -> bytes:
    """The path's bytes for the library; TypeError or ValueError for what it would refuse or misread."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{role} must be a str, bytes or path object, not {type(path).__name__}")
    raw = os.fsencode(path)
    if not raw:
        raise ValueError(f"{role} path is empty")
    if b"\0" in raw:
        raise ValueError(f"{role} path holds a NUL byte")
    if len(raw) > MAX_PATH_BYTES:
        raise ValueError(f"{role} path is longer than {MAX_PATH_BYTES} bytes")
    return raw


def text(path: PathArg) -> str:
    return os.fsdecode(path)


def check_stream(stream: Optional[int]) -> int:
    """The stream index for the library: -1 for the first audio stream."""
    if stream is None:
        return -1
    if isinstance(stream, bool) or not isinstance(stream, int):
        raise TypeError(f"stream must be an int index or None, not {type(stream).__name__}")
    if not -(1 << 31) <= stream < (1 << 31):
        raise ValueError(f"stream index {stream} is out of range")
    return stream


def local_path(path: PathArg) -> Optional[bytes]:
    """The local file a path names, as the library reads it: the path behind a "file:" prefix, the path itself
    when it has no scheme, None for any other address (which the library refuses as an output)."""
    raw = os.fsencode(path)
    scheme = _SCHEME.match(raw)
    if scheme is None:
        return raw
    return raw[scheme.end():] if scheme.group(1).lower() == b"file" else None


def like(template: PathArg, path: str) -> Union[str, Path]:
    """A path of the kind the caller gave: a Path for a path object, otherwise a str."""
    return Path(path) if isinstance(template, os.PathLike) else path
