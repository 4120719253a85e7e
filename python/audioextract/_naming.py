"""Output names, by the same rules as the command-line host, and names made unique across a batch."""
from __future__ import annotations

import os
import re
from typing import Iterable, Optional

from ._paths import local_path
from ._reports import AudioStream, Probe


def _stem(input: str) -> str:
    local = local_path(input)
    name = os.path.basename(os.fsdecode(local) if local is not None else input)
    stem = name[: name.rfind(".")] if name.rfind(".") > 0 else name
    return stem or "audio"


def _in(directory: str, name: str) -> str:
    return name if directory in ("", ".") else os.path.join(directory, name)


def _same_file(a: str, b: Optional[bytes]) -> bool:
    try:
        return b is not None and os.path.samefile(a, b)
    except OSError:
        return False


def default_output(input: str, probe: Probe, audio: AudioStream, directory: str = ".") -> str:
    """The input's name with the stream's suggested extension, in directory; the stream index is added when
    another audio stream of the file would get the same name, or when the name would be the input itself."""
    same_ext = sum(1 for a in probe.audio_streams if a.suggested_ext == audio.suggested_ext)
    plain = _in(directory, f"{_stem(input)}.{audio.suggested_ext}")
    if same_ext > 1 or _same_file(plain, local_path(input)):
        plain = _in(directory, f"{_stem(input)}.{audio.index}.{audio.suggested_ext}")
    return plain


def numbered_output(input: str, audio: AudioStream, directory: str = ".") -> str:
    """The name of one of every audio stream: the input's name, the stream index and its language."""
    language = re.sub(r"[^A-Za-z0-9_-]", "", audio.language)[:32]
    name = f"{_stem(input)}.{audio.index}" + (f".{language}" if language else "")
    return _in(directory, f"{name}.{audio.suggested_ext}")


def fixed_ext_output(input: str, ext: str, directory: str) -> str:
    """The input's name with one extension chosen for the whole batch (given with or without its dot)."""
    return _in(directory, f"{_stem(input)}.{ext.lstrip('.')}")


def unique(names: Iterable[Optional[str]]) -> list[Optional[str]]:
    """The names with every repeat renamed, in order: the second of a name gets its position in the batch
    added ("a.4.m4a"), and a renamed one that is still taken (by an input named so, earlier or later) gets a
    further count. None (no name) stays None. Names are compared as the file system of a batch would
    compare them at worst: without case."""
    names = list(names)
    taken = {os.path.normcase(n).casefold() for n in names if n is not None}
    seen: set[str] = set()
    out: list[Optional[str]] = []
    for position, name in enumerate(names):
        if name is None:
            out.append(None)
            continue
        key = os.path.normcase(name).casefold()
        if key in seen:
            base, dot_ext = os.path.splitext(name)
            candidate, count = f"{base}.{position}{dot_ext}", 1
            while os.path.normcase(candidate).casefold() in taken:
                candidate, count = f"{base}.{position}.{count}{dot_ext}", count + 1
            name, key = candidate, os.path.normcase(candidate).casefold()
            taken.add(key)
        seen.add(key)
        out.append(name)
    return out
