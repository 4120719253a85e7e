"""python -m audioextract: the command-line host's commands, options, texts and exit codes, for those who
have only the wheel."""
from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
from typing import Any, Optional, Sequence

from . import _header as h
from . import _module as m
from ._batch import Job, Record, run_jobs
from ._errors import AudioExtractError
from ._extraction import about_input, output_for, probe
from ._paths import local_path
from ._reports import Probe

EXIT_FAILED, EXIT_USAGE, EXIT_CANCELLED = 1, 2, 130


def _fail(about: str, text: str) -> int:
    print(f"audioextract: {about}: {text}", file=sys.stderr)
    return EXIT_FAILED


def _kbps(bits: int) -> str:
    return f"{(bits + 500) // 1000} kb/s" if bits > 0 else "? kb/s"


def _show(path: str, p: Probe) -> None:
    print(f"{path}: {p.format}, {p.duration_ms / 1000:.3f} s, {len(p.streams)} streams")
    audio = {a.index: a for a in p.audio_streams}
    for s in p.streams:
        a = audio.get(s.index)
        if s.type == "audio" and a is not None:
            lang = f", {a.language}" if a.language else ""
            print(f"  #{a.index} audio {s.codec}, {a.channels} ch, {a.sample_rate} Hz, {_kbps(a.bitrate)}{lang}"
                  f" -> .{a.suggested_ext}")
        elif s.type == "video":
            print(f"  #{s.index} video {s.codec}, {s.width}x{s.height}, {s.fps:.3f} fps")
        else:
            print(f"  #{s.index} {s.type} {s.codec}")
    if p.truncated:
        print("  ... more streams than the report can list")


def _probe(args: argparse.Namespace) -> int:
    if args.json:
        text = m.module().probe(os.fsencode(args.file)).decode("utf-8", "surrogateescape")
        report = json.loads(text)
        print(json.dumps(report, indent=2, ensure_ascii=False) if args.pretty else text)
        return 0 if report.get("ok") else EXIT_FAILED
    report = json.loads(m.module().probe(os.fsencode(args.file)).decode("utf-8", "surrogateescape"))
    if not report.get("ok"):
        return _fail(args.file, report.get("error", "probe failed"))  # the library's text, as the host prints it
    _show(args.file, Probe.from_report(report))
    return 0


def _refused(jobs: Sequence[Job], force: bool) -> bool:
    """Outputs that must not be written: a non-local one, the input itself, and without --force one that
    exists."""
    refused = False
    for j in jobs:
        local = local_path(j.output)
        if local is None:
            refused = _fail(j.output, "an output must be a local file") > 0
        elif os.path.lexists(local) and _same(j.input, local):
            print(f"audioextract: {j.output} is the input file itself; writing it would destroy the input",
                  file=sys.stderr)
            refused = True
        elif os.path.lexists(local) and not force:
            print(f"audioextract: {j.output} exists (use --force to overwrite)", file=sys.stderr)
            refused = True
    return refused


def _same(input: str, local: bytes) -> bool:
    src = local_path(input)
    try:
        return src is not None and os.path.samefile(src, local)
    except OSError:
        return False


def _run(jobs: list[Job], args: argparse.Namespace) -> int:
    if _refused(jobs, args.force):
        return EXIT_FAILED
    plain = not args.quiet and args.progress == "plain"

    def each(r: Record) -> None:
        if plain:
            print(f"{os.path.basename(str(r.output))}: {'100.0%' if r.ok else 'ended'}", file=sys.stderr)
    try:
        records = run_jobs([j.input for j in jobs], jobs, ".", True, each)
    except KeyboardInterrupt:  # the sessions were cancelled and freed: nothing partial is left
        print("audioextract: cancelled", file=sys.stderr)
        return EXIT_CANCELLED
    return _summary(records, args)


def _summary(records: Sequence[Record], args: argparse.Namespace) -> int:
    failures = 0
    results = []
    for r in records:
        if r.ok and r.result is not None:
            x = r.result
            results.append(dataclasses.asdict(x) | {"state": 3, "ok": True})
            if not args.json:
                print(f"{r.output}: {x.codec}, {x.packets_written} packets, {x.out_size_bytes} bytes, "
                      f"{x.duration_ms / 1000:.3f} s")
        else:
            failures += 1
            results.append({"state": 5, "ok": False, "error": r.error})
            on_input = r.error is not None and about_input(r.error)
            _fail(str(r.input) if on_input or r.output is None else str(r.output), r.error or "failed")
    if args.json:
        # as the host prints the library's reports: keys sorted, no spaces
        print(json.dumps(results[0] if len(results) == 1 else results, ensure_ascii=False, sort_keys=True,
                         separators=(",", ":")))
    return EXIT_FAILED if failures else 0


def _extract(args: argparse.Namespace) -> int:
    output: Optional[str] = args.output
    if output is None:
        try:
            output = output_for(args.input, args.stream)
        except AudioExtractError as e:
            return _fail(args.input, e.text)
    return _run([Job(0, args.input, output, args.stream)], args)


def _extract_all(args: argparse.Namespace) -> int:
    try:
        p = probe(args.input)
    except AudioExtractError as e:
        return _fail(args.input, e.text)
    if not p.audio_streams:
        return _fail(args.input, h.TEXT_NO_AUDIO_STREAM)
    from ._naming import numbered_output
    try:
        os.makedirs(args.outdir, exist_ok=True)
    except OSError as e:
        return _fail(args.outdir, e.strerror or str(e))
    jobs = [Job(i, args.input, numbered_output(args.input, a, args.outdir), a.index)
            for i, a in enumerate(p.audio_streams)]
    code = _run(jobs, args)
    if p.truncated:
        print(f"audioextract: {args.input}: more streams than the probe report can list; only the "
              f"{len(jobs)} listed audio streams were extracted (use extract --stream N for the others)",
              file=sys.stderr)
        return code or EXIT_FAILED
    return code


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m audioextract",
                                 description="Probe media files and copy audio streams out of them without "
                                             "re-encoding.")
    ap.add_argument("--version", action="store_true", help="Print the library's version text")
    ap.add_argument("--verbose", action="store_true", help="Show FFmpeg's own log output")
    sub = ap.add_subparsers(dest="command")
    p = sub.add_parser("probe", help="Describe a media file and its streams")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="Print the library's JSON report")
    p.add_argument("--pretty", action="store_true", help="Indent the JSON report")
    e = sub.add_parser("extract", help="Copy one audio stream into a file of its own")
    e.add_argument("input", metavar="INPUT")
    e.add_argument("output", metavar="OUTPUT", nargs="?")
    e.add_argument("--stream", type=int, default=None, help="Index of the audio stream among all streams")
    a = sub.add_parser("extract-all", help="Copy every audio stream into files of their own")
    a.add_argument("input", metavar="INPUT")
    a.add_argument("outdir", metavar="OUTDIR", nargs="?", default=".")
    for cmd in (e, a):
        cmd.add_argument("--force", action="store_true", help="Overwrite existing output files")
        cmd.add_argument("-q", "--quiet", action="store_true", help="No progress output")
        cmd.add_argument("--progress", choices=["auto", "bar", "plain", "none"], default="auto")
        cmd.add_argument("--json", action="store_true", help="Print the library's JSON result report(s)")
    return ap


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = _parser()
    args = ap.parse_args(argv)
    try:
        m.module()
    except OSError as e:
        print(f"audioextract: {e}", file=sys.stderr)
        return EXIT_FAILED
    if args.verbose:
        m.set_log_level("info")
    if args.version:
        print(f"audioextract {m.module().version().decode()}")
        return 0
    commands: dict[str, Any] = {"probe": _probe, "extract": _extract, "extract-all": _extract_all}
    if args.command is None:
        ap.print_help(sys.stderr)
        return EXIT_USAGE
    return int(commands[args.command](args))


if __name__ == "__main__":
    sys.exit(main())
