"""The Python package against the built library: reports, extractions, errors, and the rules it keeps for its
callers (threads, event loops, slots, overwriting)."""
import asyncio
import json
import os
import shutil
import socket
import tempfile
import threading
import time
from pathlib import Path

import pytest

import audioextract as ae
from python_media import media, packets

STAGE = os.path.dirname(os.path.dirname(os.path.abspath(ae.__file__)))


@pytest.mark.parametrize("name,stream,codec,ext", [
    ("mp4_two.mp4", 2, "ac3", "ac3"),
    ("three_audio.mkv", 1, "aac", "m4a"),
    ("flac.flac", None, "flac", "flac"),
])
def test_probe_and_extract_agree_with_ffprobe(tmp_path, name, stream, codec, ext):
    p = ae.probe(media(name))
    audio = p.audio(stream)
    assert (audio.codec, audio.suggested_ext) == (codec, ext)
    assert [s.index for s in p.streams] == list(range(len(p.streams)))
    out = tmp_path / f"o.{ext}"
    r = ae.extract(media(name), out, stream)
    assert r.codec == codec and r.out_size_bytes == out.stat().st_size
    assert r.packets_written == packets(str(out), 0) == packets(media(name), audio.index)


def test_default_output_follows_the_host(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ae.extract(media("mp4_two.mp4"))
    ae.extract(media("three_audio.mkv"), stream=2)
    assert sorted(os.listdir(tmp_path)) == ["mp4_two.m4a", "three_audio.ac3"]



def silent_server():
    """A loopback server that accepts connections and never answers: a probe of it stalls to its limit."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    return server, f"http://127.0.0.1:{server.getsockname()[1]}/clip.mp4"


def unprivileged(fn):
    """fn's result in a child process that has given up root (errors as texts), or skip when that is impossible."""
    if os.getuid() != 0:
        return fn()
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            os.setgid(65534)
            os.setuid(65534)
            out = repr(fn())
        except BaseException as e:  # a child must never return into pytest
            out = f"{type(e).__name__}|{getattr(e, 'text', '')}|{isinstance(e, PermissionError)}"
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        out = f.read()
    os.waitpid(pid, 0)
    return out


# One fault reads the same from probe and from an extraction, and is the built-in exception Python programs
# already catch for it.
@pytest.mark.parametrize("make,builtin,text", [
    (lambda d: d / "missing.mp4", FileNotFoundError, "cannot open input: No such file or directory"),
    (lambda d: d, IsADirectoryError, "cannot open input: Is a directory"),
])
def test_an_input_fault_is_one_error_everywhere(tmp_path, make, builtin, text):
    src = make(tmp_path)
    calls = {"probe": lambda: ae.probe(src), "extract": lambda: ae.extract(src, tmp_path / "o.mka"),
             "async": lambda: asyncio.run(ae.extract_async(src, tmp_path / "o.mka"))}
    messages = set()
    for name, call in calls.items():
        with pytest.raises(builtin) as e:
            call()
        assert isinstance(e.value, ae.AudioExtractError) and e.value.text == text, name
        assert e.value.filename == str(src) and e.value.errno
        messages.add(str(e.value))
    assert messages == {f"{src}: {text}"}
    assert os.listdir(tmp_path) == [] or src == tmp_path


def test_an_unreadable_input_is_a_permission_error(tmp_path):
    folder = Path(tempfile.mkdtemp())
    try:
        folder.chmod(0o755)
        shutil.copy(media("wav.wav"), folder / "in.wav")
        (folder / "in.wav").chmod(0o600)
        got = unprivileged(lambda: ae.probe(folder / "in.wav"))
        assert got == "ProbeError|cannot open input: Permission denied|True"
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize("call,kind,builtin,text", [
    (lambda d: ae.extract(media("video_only.mp4"), d / "o.m4a"), ae.ExtractionError, None, "no audio stream"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), d / "o.nope"), ae.ExtractionError, None,
     "cannot create output (bad extension?)"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), d / "o.ac3"), ae.ExtractionError, None,
     "write header failed (codec/container mismatch?)"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), d / "no" / "o.m4a"), ae.ExtractionError, FileNotFoundError,
     "cannot open output file"),
    (lambda d: (d / "x.m4a").mkdir() or ae.extract(media("mp4_aac.mp4"), d / "x.m4a", overwrite=True),
     ae.ExtractionError, IsADirectoryError,
     "cannot open output file"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), "http://127.0.0.1:9/o.m4a"), ae.ExtractionError, ValueError,
     "an output must be a local file"),
    # a stream the file does not have names those it has, whichever way the output is named
    (lambda d: ae.extract(media("mp4_two.mp4"), d / "o.m4a", 0), ae.ExtractionError, ValueError,
     "no audio stream"),
    (lambda d: ae.extract(media("mp4_two.mp4"), stream=7), ae.ProbeError, ValueError, "no audio stream"),
    (lambda d: asyncio.run(ae.extract_async(media("mp4_two.mp4"), d / "o.m4a", 0)), ae.ExtractionError,
     ValueError, "no audio stream"),
])
def test_failures_raise_with_the_library_text(tmp_path, call, kind, builtin, text):
    with pytest.raises(kind) as e:
        call(tmp_path)
    assert e.value.text == text
    if builtin is not None:
        assert isinstance(e.value, builtin)
    if builtin is ValueError and text == "no audio stream":
        assert "audio streams: 1, 2" in str(e.value)
    assert [f for f in tmp_path.iterdir() if not f.is_dir()] == []


# Arguments the library would refuse or misread are refused first, naming the argument at fault.
@pytest.mark.parametrize("args,kind,words", [
    (("", "o.mka"), ValueError, "input path is empty"),
    (("in.mka", ""), ValueError, "output path is empty"),
    (("in.mka", "o.mka", 1.0), TypeError, "stream must be an int"),
    (("in.mka", "o.mka", True), TypeError, "stream must be an int"),
    ((3, "o.mka"), TypeError, "input must be a str, bytes or path object"),
    (("x" * 1199, "o.mka"), ValueError, "input path is longer than 1198 bytes"),
])
def test_bad_arguments_are_refused_before_the_library(tmp_path, args, kind, words):
    for call in (ae.extract, ae.Extraction):
        with pytest.raises(kind, match=words):
            call(*args)
    assert os.listdir(tmp_path) == []


# One overwrite rule at every entry point: an existing output is kept unless overwrite=True, and "file:" is
# the file behind it.
ENTRY_POINTS = {
    "extract": lambda src, out, **kw: ae.extract(src, out, **kw),
    "Extraction": lambda src, out, **kw: ae.Extraction(src, out, **kw).__enter__().wait() and None,
    "extract_async": lambda src, out, **kw: asyncio.run(ae.extract_async(src, out, **kw)),
    "extract_many": lambda src, out, **kw: many_one(src, out, **kw),
}


def many_one(src, out, **kw):
    record, = ae.extract_many([src], os.path.dirname(str(out).removeprefix("file:").removeprefix("FILE:")),
                              ext="mka", progress=False, **kw)
    if not record.ok:
        raise ae.ExtractionError(record.error)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("prefix", ["", "file:", "FILE:"])
def test_existing_output_is_kept_without_overwrite(tmp_path, entry, prefix):
    src = tmp_path / "wav.wav"
    shutil.copy(media("wav.wav"), src)
    out = tmp_path / "wav.mka"
    out.write_bytes(b"mine")
    with pytest.raises(ae.ExtractionError, match="output exists"):
        ENTRY_POINTS[entry](src, prefix + str(out))
    assert out.read_bytes() == b"mine"
    ENTRY_POINTS[entry](src, prefix + str(out), overwrite=True)
    assert out.read_bytes()[:4] == b"\x1a\x45\xdf\xa3" and sorted(os.listdir(tmp_path)) == ["wav.mka", "wav.wav"]


def test_paths_as_bytes_path_objects_and_names_that_are_not_utf8(tmp_path):
    src = os.fsencode(tmp_path) + b"/in\xff.mka"
    shutil.copy(media("three_audio.mkv"), src)
    r = ae.extract(src, os.fsencode(tmp_path) + b"/out\xfe.ac3", 2)
    assert os.fsencode(r.out_path) == os.fsencode(tmp_path) + b"/out\xfe.ac3"
    assert ae.probe(src).format == "matroska,webm"
    assert ae.output_for(Path(media("mp4_two.mp4")), 2, tmp_path) == tmp_path / "mp4_two.ac3"
    assert ae.output_for(media("mp4_two.mp4")) == "mp4_two.m4a"


def test_probe_picks_streams_by_language_and_codec():
    p = ae.probe(media("mp4_two.mp4"))
    assert p.audio(language="fra").index == 2 and p.audio(codec="aac").index == 1
    assert p.audio(language="fra", codec="aac") is None and p.audio(9) is None


def test_progress_rises_to_100(tmp_path):
    seen = []
    ae.extract(media("long.mkv"), tmp_path / "o.mka", on_progress=lambda p: seen.append(p))
    assert seen[-1].percent == 100.0 and seen[-1].state is ae.State.DONE
    assert [p.percent for p in seen] == sorted(p.percent for p in seen) and len(seen) >= 2


def test_cancel_and_ctrl_c_leave_nothing(tmp_path):
    with ae.Extraction(media("long.mkv"), tmp_path / "a.mka") as x:
        x.cancel()
        assert x.wait(10)
        assert x.state is ae.State.CANCELLED
        with pytest.raises(ae.ExtractionCancelled):
            x.result()

    def interrupt(progress):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        ae.extract(media("long.mkv"), tmp_path / "b.mka", on_progress=interrupt)
    assert os.listdir(tmp_path) == []


def test_a_closed_extraction_says_so_even_once_its_slot_is_reused(tmp_path):
    x = ae.Extraction(media("wav.wav"), tmp_path / "a.wav")
    x.wait(10)
    x.close()
    with ae.Extraction(media("long.mkv"), tmp_path / "b.mka") as other:
        for _ in range(2):
            with pytest.raises(ae.ExtractionClosed):
                x.progress()
        assert x.state is ae.State.DONE and x.result().packets_written > 0
        other.cancel()


def test_many_threads_at_once_each_get_their_result(tmp_path):
    want = packets(media("mkv_many.mkv"), 3)
    errors = []

    def work(n):
        try:
            assert ae.probe(media("mkv_many.mkv")).audio(3).codec == "flac"
            r = ae.extract(media("mkv_many.mkv"), tmp_path / f"o{n}.flac", 3)
            assert r.packets_written == want
        except Exception as e:  # collected: an assertion in a thread would be lost
            errors.append(e)
    threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == []
    assert len(os.listdir(tmp_path)) == 16


def held_sessions(tmp_path, count=4):
    """count extractions that each wait on a FIFO nobody writes yet, and what ends them."""
    fifos = [tmp_path / f"in{n}.mkv" for n in range(count)]
    for f in fifos:
        os.mkfifo(f)
    held = [ae.Extraction(f, tmp_path / f"held{n}.mka") for n, f in enumerate(fifos)]

    def release():
        for f in fifos:  # a FIFO's writer that closes at once ends its reader's input
            with open(f, "wb"):
                pass
        for x in held:
            x.close()
        for f in fifos:
            f.unlink()
    return release


def test_extractions_beyond_four_wait_for_a_slot(tmp_path):
    release = held_sessions(tmp_path)
    queued, done = [], []

    def fifth(n):
        with ae.Extraction(media("wav.wav"), tmp_path / f"queued{n}.wav") as x:
            queued.append(n)
            x.wait()
            done.append(x.result().packets_written)
    threads = [threading.Thread(target=fifth, args=(n,)) for n in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.5)
    assert queued == [], "a fifth extraction must wait while four sessions are held"
    release()
    for t in threads:
        t.join(60)
    assert sorted(queued) == [0, 1] and done == [packets(media("wav.wav"), 0)] * 2


def no_session_held():
    lib = ae._module.module()
    return all(lib.status(i) == -1 for i in range(4))


# Cancelling an extract_async at any stage cancels its session, frees it without blocking the loop, and
# leaves no file.
@pytest.mark.parametrize("stage", ["waiting for a slot", "copying", "just started"])
def test_cancelled_extract_async_leaves_no_session_and_no_file(tmp_path, stage):
    out = tmp_path / "out"
    out.mkdir()
    release = held_sessions(tmp_path) if stage == "waiting for a slot" else None
    fifo = tmp_path / "slow.mkv"
    os.mkfifo(fifo)
    src = media("wav.wav") if stage != "copying" else fifo

    async def main():
        task = asyncio.create_task(ae.extract_async(src, out / "o.mka"))
        await asyncio.sleep(0.3 if stage != "just started" else 0)
        t0 = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - t0
    assert asyncio.run(main()) < 0.1
    if release:
        release()
    deadline = time.monotonic() + 10
    while not no_session_held() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert no_session_held() and os.listdir(out) == []


def test_asyncio_waits_without_blocking_the_loop(tmp_path):
    async def main():
        ticks = 0

        async def heartbeat():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)
        beat = asyncio.create_task(heartbeat())
        seen = []
        results = await asyncio.gather(*(ae.extract_async(media("long.mkv"), tmp_path / f"o{n}.mka",
                                                          on_progress=seen.append) for n in range(6)))
        x = await ae.Extraction.start_async(media("wav.wav"), tmp_path / "w.wav")
        with x:
            typed: ae.Result = await x
        beat.cancel()
        return results, ticks, seen, typed
    results, ticks, seen, typed = asyncio.run(main())
    assert [r.packets_written for r in results] == [packets(media("long.mkv"), 0)] * 6
    assert typed.packets_written == packets(media("wav.wav"), 0)
    assert ticks > 10 and seen and seen[-1].percent == 100.0


# A probe of a source that never answers holds up nobody: another thread extracts, and the event loop keeps its
# beat and finishes its own extraction, while the probe waits out its limit.
def test_a_stalled_probe_holds_up_no_extraction(tmp_path):
    server, url = silent_server()
    took = {}

    def in_a_thread():
        t0 = time.monotonic()
        ae.extract(media("mp4_aac.mp4"), tmp_path / "thread.m4a")
        took["thread"] = time.monotonic() - t0

    async def main():
        gaps, last = [], time.monotonic()

        async def heartbeat():
            nonlocal last
            while True:
                await asyncio.sleep(0.01)
                gaps.append(time.monotonic() - last)
                last = time.monotonic()
        beat = asyncio.create_task(heartbeat())
        t0 = time.monotonic()
        probing = asyncio.create_task(ae.probe_async(url))
        await asyncio.sleep(0.3)
        other = threading.Thread(target=in_a_thread)
        other.start()
        t1 = time.monotonic()
        await ae.extract_async(media("mp4_aac.mp4"), tmp_path / "loop.m4a")
        took["loop"] = time.monotonic() - t1
        other.join(10)
        assert not probing.done(), "the probe is still stalled"
        with pytest.raises(ae.ProbeError):
            await probing
        took["probe"] = time.monotonic() - t0
        beat.cancel()
        return max(gaps)
    worst_gap = asyncio.run(main())
    server.close()
    assert took["thread"] < 2 and took["loop"] < 2 and worst_gap < 0.5
    assert took["probe"] > 5


# The output names the package chooses, from the table the command-line host's tests read too.
NAMING = json.load(open(os.path.join(os.path.dirname(__file__), "naming_cases.json"), encoding="utf-8"))["cases"]


@pytest.mark.parametrize("case", NAMING, ids=[c["why"] for c in NAMING])
def test_output_names_follow_the_shared_table(tmp_path, monkeypatch, case):
    from audioextract._naming import default_output, numbered_output
    monkeypatch.chdir(tmp_path)
    for f in case.get("files", []):
        Path(f).write_bytes(b"")
    audio = [ae.AudioStream(index=i, codec="x", channels=2, sample_rate=48000, bitrate=0, language=lang,
                            suggested_ext=ext) for i, ext, lang in case["audio"]]
    p = ae.Probe(format="x", duration_ms=0, audio_streams=audio)
    chosen = p.audio(case["stream"])
    assert default_output(case["input"], p, chosen, case["dir"]) == case["default"]
    assert numbered_output(case["input"], chosen, case["dir"]) == case["numbered"]
