"""Output names, by the same rule as the command-line host."""
from __future__ import annotations

import os

from ._reports import AudioStream, Probe


def _stem(path: str) -> str:
    name = os.path.basename(path)
    stem = name[: name.rfind(".")] if name.rfind(".") > 0 else name
    return stem or "audio"


def default_output(input: str, probe: Probe, audio: AudioStream, directory: str = ".") -> str:
    """The input's name with the stream's suggested extension, in directory; the stream index is added when
    another audio stream of the file would get the same name, or when the name would be the input itself."""
    same_ext = sum(1 for a in probe.audio_streams if a.suggested_ext == audio.suggested_ext)
    plain = os.path.join(directory, f"{_stem(input)}.{audio.suggested_ext}")
    try:
        is_input = os.path.samefile(plain, input)
    except OSError:
        is_input = False
    if same_ext > 1 or is_input:
        plain = os.path.join(directory, f"{_stem(input)}.{audio.index}.{audio.suggested_ext}")
    return plain
