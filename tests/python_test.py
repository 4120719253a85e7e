"""The Python package against the built library: reports, extractions, the rules it keeps for its caller,
batches on a real Dask cluster, and the wheel installed into a fresh virtual environment."""
import asyncio
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import audioextract as ae

MEDIA = os.path.abspath(os.environ.get("AE_MEDIA_DIR", "build/tests/media"))
STAGE = os.path.dirname(os.path.dirname(os.path.abspath(ae.__file__)))


def media(name):
    return os.path.join(MEDIA, name)


def packets(path, stream):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", str(stream), "-show_entries",
                          "packet=size", "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    return len(out.stdout.split())


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


@pytest.mark.parametrize("call,kind,text", [
    (lambda d: ae.probe("/nonexistent/x.mp4"), ae.ProbeError, "open: No such file or directory"),
    (lambda d: ae.extract(media("video_only.mp4"), d / "o.m4a"), ae.ExtractionError, "no audio stream"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), d / "o.nope"), ae.ExtractionError,
     "cannot create output (bad extension?)"),
    (lambda d: ae.extract(media("mp4_aac.mp4"), d / "o.ac3"), ae.ExtractionError,
     "write header failed (codec/container mismatch?)"),
])
def test_failures_raise_with_the_library_text(tmp_path, call, kind, text):
    with pytest.raises(kind) as e:
        call(tmp_path)
    assert e.value.text == text
    assert os.listdir(tmp_path) == []


# The package checks the file the library will write, as the command-line host does: "file:" resolved.
@pytest.mark.parametrize("prefix", ["", "file:", "FILE:"])
def test_existing_output_is_kept_without_overwrite(tmp_path, prefix):
    out = tmp_path / "o.mka"
    out.write_bytes(b"mine")
    with pytest.raises(ae.ExtractionError) as e:
        ae.extract(media("wav.wav"), prefix + str(out))
    assert "output exists" in e.value.text
    assert out.read_bytes() == b"mine"
    ae.extract(media("wav.wav"), prefix + str(out), overwrite=True)
    assert out.read_bytes() != b"mine" and os.listdir(tmp_path) == ["o.mka"]


def test_paths_as_bytes_and_names_that_are_not_utf8(tmp_path):
    src = os.fsencode(tmp_path) + b"/in\xff.mka"
    shutil.copy(media("three_audio.mkv"), src)
    r = ae.extract(src, os.fsencode(tmp_path) + b"/out\xfe.ac3", 2)
    assert os.fsencode(r.out_path) == os.fsencode(tmp_path) + b"/out\xfe.ac3"
    assert ae.probe(src).format == "matroska,webm"


def test_progress_rises_to_100(tmp_path):
    seen = []
    ae.extract(media("long.mkv"), tmp_path / "o.mka", on_progress=lambda p: seen.append(p.percent))
    assert seen[-1] == 100.0
    assert seen == sorted(seen) and len(seen) >= 2


def test_cancel_and_ctrl_c_leave_nothing(tmp_path):
    with ae.Extraction(media("long.mkv"), tmp_path / "a.mka") as x:
        x.cancel()
        assert x.wait(10)
        with pytest.raises(ae.ExtractionCancelled):
            x.result()

    def interrupt(progress):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        ae.extract(media("long.mkv"), tmp_path / "b.mka", on_progress=interrupt)
    assert os.listdir(tmp_path) == []


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


def test_extractions_beyond_four_wait_for_a_slot(tmp_path):
    fifos = [tmp_path / f"in{n}.mkv" for n in range(4)]
    for f in fifos:
        os.mkfifo(f)
    held = [ae.Extraction(f, tmp_path / f"held{n}.mka") for n, f in enumerate(fifos)]  # each waits on its FIFO
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
    data = open(media("wav.wav"), "rb").read()
    for f in fifos:  # feeding the FIFOs lets the four finish and free their slots
        with open(f, "wb") as w:
            w.write(data)
    for x in held:
        x.wait(30)
        x.close()
    for t in threads:
        t.join(60)
    assert sorted(queued) == [0, 1] and done == [packets(media("wav.wav"), 0)] * 2


def test_asyncio_waits_without_blocking_the_loop(tmp_path):
    async def main():
        ticks = 0

        async def heartbeat():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)
        beat = asyncio.create_task(heartbeat())
        results = await asyncio.gather(*(ae.extract_async(media("long.mkv"), tmp_path / f"o{n}.mka")
                                         for n in range(6)))
        beat.cancel()
        return results, ticks
    results, ticks = asyncio.run(main())
    assert [r.packets_written for r in results] == [packets(media("long.mkv"), 0)] * 6
    assert ticks > 10


def batch_inputs(directory, count):
    """count short files under distinct names, then one that is corrupt and one that is missing."""
    names = []
    for n in range(count):
        path = directory / f"clip{n:03d}.mp4"
        os.symlink(media("mp4_aac.mp4"), path)
        names.append(str(path))
    (directory / "corrupt.mp4").write_bytes(b"\0" * 4096)
    return names + [str(directory / "corrupt.mp4"), str(directory / "missing.mp4")]


def check_records(records, inputs):
    assert [r.input for r in records] == inputs
    by_name = {os.path.basename(r.input): r for r in records}
    assert not by_name["corrupt.mp4"].ok and by_name["corrupt.mp4"].error
    assert not by_name["missing.mp4"].ok and "No such file" in by_name["missing.mp4"].error
    want = packets(media("mp4_aac.mp4"), 1)
    for r in records[:-2]:
        assert r.ok, r
        assert r.result.packets_written == want and os.path.getsize(r.output) == r.result.out_size_bytes


def test_batch_in_one_process(tmp_path):
    inputs = batch_inputs(tmp_path, 30)
    records = ae.extract_many(inputs, tmp_path / "out", progress=False)
    check_records(records, inputs)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as c, distributed.Client(c) as client:
        client.run(sys.path.insert, 0, STAGE)  # the workers import the staged package
        yield client


def test_batch_on_a_dask_cluster(tmp_path, cluster):
    inputs = batch_inputs(tmp_path, 30)
    records = ae.extract_many(inputs, tmp_path / "out", client=cluster, progress=False)
    check_records(records, inputs)
    assert len(set(cluster.run(os.getpid).values())) == 2


def test_batch_survives_a_killed_worker(tmp_path, cluster):
    inputs = []
    for n in range(40):
        os.symlink(media("long.mkv"), tmp_path / f"long{n:02d}.mkv")
        inputs.append(str(tmp_path / f"long{n:02d}.mkv"))
    pids = cluster.run(os.getpid)
    box = {}

    def kill_one_busy_worker():
        deadline = time.time() + 60
        while time.time() < deadline:
            busy = [w for w, tasks in cluster.processing().items() if tasks]
            if busy:
                os.kill(pids[busy[0]], signal.SIGKILL)
                box["killed"] = busy[0]
                return
            time.sleep(0.02)
    killer = threading.Thread(target=kill_one_busy_worker)
    killer.start()
    records = ae.extract_many(inputs, tmp_path / "out", ext="mka", client=cluster, progress=False)
    killer.join()
    assert "killed" in box
    assert [r.input for r in records] == inputs, "every file is reported"
    for r in records:
        assert r.ok or r.error.startswith("task lost"), r
    assert sum(r.ok for r in records) >= len(inputs) - 8, "the lost task is rerun elsewhere"


def test_wheel_installs_into_a_fresh_venv(tmp_path):
    src = tmp_path / "src"
    shutil.copytree(STAGE, src, ignore=shutil.ignore_patterns("__pycache__"))
    build = subprocess.run([sys.executable, "-c", "import setuptools.build_meta as b; print(b.build_wheel('dist'))"],
                           cwd=src, capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    wheel = src / "dist" / build.stdout.split()[-1]
    subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], check=True)
    pip = subprocess.run([str(tmp_path / "venv/bin/pip"), "install", "--no-index", "--quiet", str(wheel)],
                         capture_output=True, text=True)
    assert pip.returncode == 0, pip.stderr
    script = ("import audioextract, sys; r = audioextract.extract(sys.argv[1], sys.argv[2]); "
              "print(audioextract.__file__, r.codec)")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "AUDIOEXTRACT_MODULE")}
    run = subprocess.run([str(tmp_path / "venv/bin/python"), "-c", script, media("flac.flac"),
                          str(tmp_path / "o.flac")], cwd="/", env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    where, codec = run.stdout.split()
    assert where.startswith(str(tmp_path / "venv")) and codec == "flac"


# Tiny files whose declared sizes ask for gigabytes: the package bounds FFmpeg's allocations when it loads
# the library, so a program probing and extracting them stays small (GNU time measures a fresh interpreter).
def test_memory_bombs_stay_small(tmp_path):
    script = ("import audioextract as ae, sys\n"
              "for name in sys.argv[1:]:\n"
              "    for call in (lambda: ae.probe(name), lambda: ae.extract(name, sys.argv[0] + '.mka')):\n"
              "        try:\n"
              "            call()\n"
              "        except ae.AudioExtractError:\n"
              "            pass\n")
    t0 = time.monotonic()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", sys.executable, "-c", script, media("bomb.wav"),
                        media("bomb.m4a")], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                       env={**os.environ, "PYTHONPATH": STAGE})
    assert r.returncode == 0, r.stderr
    assert int(r.stderr.strip().splitlines()[-1]) / 1024 < 64
    assert time.monotonic() - t0 < 5
