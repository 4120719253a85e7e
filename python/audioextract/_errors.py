"""The package's exceptions. Each failure is also the built-in exception a Python program already catches
for that fault (a missing input is a FileNotFoundError, a stream that is not there a ValueError), and a
fault reads the same whether probe or an extraction met it."""
from __future__ import annotations

import errno
from typing import Any, Optional

from ._header import TEXT_OPEN_INPUT


class AudioExtractError(Exception):
    """A failure of the library or of this package; `text` is the library's own error text."""

    def __init__(self, text: str, path: Optional[str] = None, detail: str = "") -> None:
        message = f"{path}: {text}" if path else text
        super().__init__(message + (f" ({detail})" if detail else ""))
        self.text = text
        self.path = path
        self.detail = detail

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else self.text

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.text, self.path, self.detail))


class ProbeError(AudioExtractError):
    """The probe failed ("cannot open input: <reason>", "no stream info", ...)."""


class ExtractionError(AudioExtractError):
    """The extraction failed; `text` is one of the texts the library's header lists, or the package's own
    refusal before starting ("output exists", "an output must be a local file", ...)."""


class ExtractionCancelled(AudioExtractError):
    """The extraction was cancelled; it left no file."""


class ExtractionClosed(AudioExtractError, ValueError):
    """The Extraction was closed: its session is gone (and its slot may be another extraction's now)."""


# Reasons the system gives for an input it cannot open, and the built-in exception each one is.
_REASONS: dict[str, tuple[type[OSError], int]] = {
    "No such file or directory": (FileNotFoundError, errno.ENOENT),
    "Is a directory": (IsADirectoryError, errno.EISDIR),
    "Permission denied": (PermissionError, errno.EACCES),
    "output exists": (FileExistsError, errno.EEXIST),
}
_mixed: dict[tuple[type[AudioExtractError], type[Exception]], type[AudioExtractError]] = {}


def _kind(base: type[AudioExtractError], builtin: type[Exception]) -> type[AudioExtractError]:
    """The class that is both the package's error and the built-in one, e.g. a ProbeError that is a
    FileNotFoundError. Made once per pair; it keeps the package's class name."""
    kind = _mixed.get((base, builtin))
    if kind is None:
        kind = type(base.__name__, (base, builtin), {"__module__": base.__module__,
                                                     "__qualname__": base.__qualname__})
        _mixed[(base, builtin)] = kind
    return kind


def normalize(text: str) -> str:
    """The probe says "open: <reason>" where an extraction says "cannot open input: <reason>": one text."""
    return f"{TEXT_OPEN_INPUT}: {text[len('open: '):]}" if text.startswith("open: ") else text


def error(base: type[AudioExtractError], text: str, path: Optional[str] = None, detail: str = "",
          builtin: Optional[type[Exception]] = None) -> AudioExtractError:
    """The exception for a failure text: of class base, and of the matching built-in class, if any."""
    text = normalize(text)
    code = 0
    if builtin is None:
        for reason, (cls, number) in _REASONS.items():
            if text.endswith(reason) or text.startswith(reason):
                builtin, code = cls, number
                break
    if builtin is None:
        return base(text, path, detail)
    e = _kind(base, builtin)(text, path, detail)
    if isinstance(e, OSError):
        e.errno, e.strerror, e.filename = code, text, path
    return e
