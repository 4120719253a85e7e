"""Batches of the Python package: in one process and on a real Dask cluster (a scheduler and two workers on
loopback, started and stopped here), with names that collide across the batch, outputs that exist, files
that fail, and a worker killed mid-batch."""
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

import audioextract as ae
from python_media import media, packets



@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A dask scheduler and two dask worker processes bound to 127.0.0.1, dashboards off."""
    distributed = pytest.importorskip("distributed")
    where = tmp_path_factory.mktemp("dask")
    address_file = where / "scheduler.json"
    common = ["--host", "127.0.0.1", "--no-dashboard"]
    procs = [subprocess.Popen(["dask", "scheduler", "--port", "0", "--scheduler-file", str(address_file)] + common,
                              cwd=where, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        deadline = time.time() + 60
        while not address_file.exists() and time.time() < deadline:
            time.sleep(0.1)
        for n in range(2):
            procs.append(subprocess.Popen(["dask", "worker", "--scheduler-file", str(address_file), "--nthreads",
                                           "1", "--no-nanny", "--name", f"w{n}"] + common, cwd=where,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=str(address_file), timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(20)
            except subprocess.TimeoutExpired:
                p.kill()


def linked(directory, name, target):
    path = directory / name
    path.parent.mkdir(parents=True, exist_ok=True)
    os.symlink(target, path)
    return str(path)


def check_whole(records, inputs):
    """Every record ok, one per input in order, every output a distinct whole copy of its input's stream."""
    assert [str(r.input) for r in records] == [str(i) for i in inputs]
    assert all(r.ok for r in records), [r for r in records if not r.ok][:3]
    outputs = [str(r.output) for r in records]
    assert len(set(outputs)) == len(outputs)
    for r in records:
        want = packets(os.path.realpath(r.input), ae.probe(r.input).audio().index)
        assert r.result.packets_written == packets(str(r.output), 0) == want, r
    assert not [f for f in os.listdir(os.path.dirname(outputs[0])) if f.endswith(".part")]


@pytest.mark.parametrize("where", ["local", "dask"])
def test_names_that_collide_anywhere_in_the_batch_stay_apart(tmp_path, where, request):
    client = request.getfixturevalue("cluster") if where == "dask" else None
    names = ["dupA/same.mp4", "x/a.2.mp4", "x/a.mp4", "y/a.mp4"] + [f"fill/c{n}.mp4" for n in range(6)] + [
        "dupB/same.mkv", "z/A.mp4", "dupC/same.wav"]
    targets = {".mp4": media("mp4_aac.mp4"), ".mkv": media("three_audio.mkv"), ".wav": media("wav.wav")}
    inputs = [linked(tmp_path / "in", n, targets[os.path.splitext(n)[1]]) for n in names]
    records = ae.extract_many(inputs, tmp_path / "out", client=client, progress=False, ext=".mka")
    check_whole(records, inputs)
    assert records[0].output == tmp_path / "out" / "same.mka" and isinstance(records[0].output, Path)
    # named by probing: the suggested extension decides, and the same names still stay apart
    records = ae.extract_many(inputs[:4] + inputs[-3:], str(tmp_path / "probed"), client=client, progress=False)
    check_whole(records, inputs[:4] + inputs[-3:])
    assert isinstance(records[0].output, str)


@pytest.mark.parametrize("where", ["local", "dask"])
def test_a_batch_reports_every_input(tmp_path, where, request):
    client = request.getfixturevalue("cluster") if where == "dask" else None
    good = [linked(tmp_path, f"clip{n:02d}.mp4", media("mp4_aac.mp4")) for n in range(12)]
    (tmp_path / "corrupt.mp4").write_bytes(b"\0" * 4096)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "clip03.m4a").write_bytes(b"mine")
    inputs = good + [str(tmp_path / "corrupt.mp4"), str(tmp_path / "missing.mp4")]
    seen = []
    records = ae.extract_many(inputs, tmp_path / "out", client=client, progress=seen.append)
    assert [str(r.input) for r in records] == inputs and sorted(map(id, seen)) == sorted(map(id, records))
    errors = {os.path.basename(r.input): r.error for r in records if not r.ok}
    assert errors == {"clip03.mp4": "output exists", "corrupt.mp4": "cannot open input: Invalid data found when processing input",
                      "missing.mp4": "cannot open input: No such file or directory"}
    assert (tmp_path / "out" / "clip03.m4a").read_bytes() == b"mine"
    check_whole([r for r in records if r.ok], [i for i in good if not i.endswith("clip03.mp4")])


def test_a_killed_worker_loses_nothing(tmp_path, cluster):
    inputs = [linked(tmp_path / "in", f"long{n:02d}.mkv", media("long.mkv")) for n in range(40)]
    pids = cluster.run(os.getpid)
    killed = []

    def kill_a_busy_worker(record):
        if not killed:  # once the first outputs are whole, a worker with more tasks to go is killed
            busy = [w for w, tasks in cluster.processing().items() if tasks]
            if busy:
                os.kill(pids[busy[0]], signal.SIGKILL)
                os.waitpid(pids[busy[0]], 0)  # reaped as its parent would be: a zombie still counts as running
                killed.append(busy[0])
    records = ae.extract_many(inputs, tmp_path / "out", ext="mka", client=cluster, progress=kill_a_busy_worker)
    assert killed
    check_whole(records, inputs)


def test_a_batch_is_a_list_of_paths(tmp_path):
    with pytest.raises(TypeError, match="not one path"):
        ae.extract_many(media("wav.wav"), tmp_path)
    with pytest.raises(TypeError, match="not one path"):
        ae.extract_many(Path(media("wav.wav")), tmp_path)


def test_extract_all_writes_every_audio_stream(tmp_path):
    records = ae.extract_all(media("three_audio.mkv"), tmp_path)
    p = ae.probe(media("three_audio.mkv"))
    assert [r.result.codec for r in records] == [a.codec for a in p.audio_streams]
    for r, a in zip(records, p.audio_streams):
        assert r.output.name.startswith(f"three_audio.{a.index}.")
        assert packets(str(r.output), 0) == packets(media("three_audio.mkv"), a.index)
