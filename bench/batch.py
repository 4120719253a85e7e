#!/usr/bin/env python3
"""Benchmark of batch extraction: the Python package's extract_many in one process, the same with the package
as it was at an earlier commit (--baseline, same library module), the same on a local Dask cluster of 2
worker processes, and a shell loop over the ffmpeg command line, on the same files. Then the cost the package
adds to one extract() of a tiny file: its wall time less the library's own elapsed_ms, for both packages.

    /usr/bin/python3 bench/batch.py [--files N] [--runs N] [--build DIR] [--baseline REF] [--section FILE]

Generates N short MP4 files (2 s of 160x120 video and AAC, distinct copies), warms the page cache, then
runs the ways interleaved, each into an empty directory, and reports the medians and throughput ratios.
Each package runs in a child interpreter of its own and times itself (interpreter start-up excluded). The
cluster is started once before timing (as a standing cluster would be); its start-up is reported apart.
Writes a Markdown section (default build-bench/results-batch.md).
"""
import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import io
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_inputs(data, count):
    os.makedirs(data, exist_ok=True)
    first = os.path.join(data, "clip000.mp4")
    if not os.path.exists(first):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000:duration=2", "-c:v", "mpeg4", "-c:a", "aac",
                        "-shortest", first], check=True)
    files = [first]
    for n in range(1, count):
        path = os.path.join(data, f"clip{n:03d}.mp4")
        if not os.path.exists(path):
            shutil.copyfile(first, path)
        files.append(path)
    for f in files:  # warm
        with open(f, "rb") as h:
            h.read()
    return files


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# Run in a child interpreter with one package or the other on its path; prints seconds (batch) or the median
# of wall minus elapsed_ms in ms (single).
CHILD = r"""
import os, statistics, sys, time
import audioextract
what, out = sys.argv[1], sys.argv[2]
if what == "batch":
    files = open(sys.argv[3]).read().split()
    t0 = time.perf_counter()
    records = audioextract.extract_many(files, out, progress=False)
    took = time.perf_counter() - t0
    assert all(r.ok for r in records) and len(records) == len(files), [r for r in records if not r.ok][:3]
    print(took)
else:
    extra = []
    for n in range(int(sys.argv[4])):
        t0 = time.perf_counter()
        r = audioextract.extract(sys.argv[3], os.path.join(out, f"t{n}.wav"))
        extra.append((time.perf_counter() - t0) * 1000 - r.elapsed_ms)
    print(statistics.median(extra))
"""


def stage_baseline(ref, build, where):
    """The package's sources at ref, with this build's module and version file: only the Python differs."""
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(where)
    blob = subprocess.run(["git", "-C", ROOT, "archive", ref, "python/audioextract"], capture_output=True,
                          check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(blob)) as t:
        t.extractall(where)
    pkg = os.path.join(where, "python", "audioextract")
    here = os.path.join(build, "python", "audioextract")
    for name in os.listdir(here):
        if name.endswith((".so", ".dll")) or name == "VERSION":
            shutil.copy(os.path.join(here, name), pkg)
    return os.path.dirname(pkg)


# Starting a Dask cluster sets MALLOC_TRIM_THRESHOLD_ in this process's environment; a child that measures one
# process gets the environment this benchmark was started with.
START_ENV = dict(os.environ)


def child(path, *args):
    r = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True,
                       env={**START_ENV, "PYTHONPATH": path})
    if r.returncode != 0:
        raise RuntimeError(r.stderr)
    return float(r.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=200)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--data", default=os.path.join(ROOT, "build-bench", "batch"))
    ap.add_argument("--baseline", default="14ee009",
                    help="the commit whose package is measured beside this one (default: before the watcher)")
    ap.add_argument("--singles", type=int, default=50)
    ap.add_argument("--section", default=os.path.join(ROOT, "build-bench", "results-batch.md"))
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import audioextract
    from distributed import Client, LocalCluster

    files = make_inputs(os.path.join(args.data, "in"), args.files)
    current = os.path.join(args.build, "python")
    baseline = stage_baseline(args.baseline, args.build, os.path.join(args.data, "baseline"))
    tiny = os.path.join(args.data, "tiny.wav")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=8000:duration=0.1", tiny], check=True)
    out = os.path.join(args.data, "out")
    listing = os.path.join(args.data, "files.txt")
    with open(listing, "w") as f:
        f.write("\n".join(files) + "\n")
    loop = ('while read -r f; do ffmpeg -nostdin -v error -y -i "$f" -map 0:a:0 -c copy '
            '"$0/$(basename "${f%.*}").m4a" || exit 1; done < "$1"')

    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                           silence_logs=50)
    client = Client(cluster)
    client.run(sys.path.insert, 0, os.path.join(args.build, "python"))
    startup = time.perf_counter() - t0

    def check(records):
        bad = [r for r in records if not r.ok]
        assert not bad and len(records) == len(files), bad[:3]

    ways = {
        "ffmpeg loop": lambda: subprocess.run(["bash", "-c", loop, fresh(out), listing], check=True),
        "one process": lambda: child(current, "batch", fresh(out), listing),
        f"one process, package at {args.baseline}": lambda: child(baseline, "batch", fresh(out), listing),
        "Dask, 2 workers": lambda: check(audioextract.extract_many(files, fresh(out), client=client,
                                                                   progress=False)),
    }
    times = {k: [] for k in ways}
    single = {"this package": [], f"package at {args.baseline}": []}
    for _ in range(args.runs):
        for name, fn in ways.items():
            if name.startswith("one process"):
                times[name].append(fn())  # the child's own timing
            else:
                times[name].append(timed(fn))
        single["this package"].append(child(current, "single", fresh(out), tiny, str(args.singles)))
        single[f"package at {args.baseline}"].append(child(baseline, "single", fresh(out), tiny, str(args.singles)))
    client.close()
    cluster.close()

    med = {k: statistics.median(v) for k, v in times.items()}
    base = med["ffmpeg loop"]
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    ffv = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    lines = [
        "### Batch: the Python package against a shell loop over the ffmpeg command line",
        "",
        f"Measured {when} with {ffv.split(' Copyright')[0]}, {os.cpu_count()} cores: {len(files)} MP4 files of 2 s "
        f"(video + AAC), warm page cache, medians of {args.runs} interleaved runs. Each way probes nothing it "
        "does not need: the package names outputs by probing each file (as the command-line host does); the "
        "loop names them itself. Repeat with `/usr/bin/python3 bench/batch.py`.",
        "",
        "| way | time | files/s | time vs ffmpeg loop |",
        "|---|---|---|---|",
    ]
    for name, t in med.items():
        lines.append(f"| {name} | {t:.2f} s | {len(files) / t:.0f} | **{t / base:.2f}x** |")
    old = med[f"one process, package at {args.baseline}"]
    lines += ["", f"This package's batch in one process takes **{med['one process'] / old:.2f}x** the time of the "
              f"package at {args.baseline} (same library module, same run).", "",
              f"One `extract()` of a 0.1 s WAV file, {args.singles} times: the median of its wall time less the "
              "library's own `elapsed_ms` (what the package adds), medians over runs:", "",
              "| package | added per extract() |", "|---|---|"]
    for name, v in single.items():
        lines.append(f"| {name} | {statistics.median(v):.2f} ms |")
    lines += ["", f"The Dask cluster (2 worker processes) took {startup:.1f} s to start, outside the timing; "
              f"on this 2-core machine it runs at {med['one process'] / med['Dask, 2 workers']:.2f}x the "
              "speed of one process.", ""]
    text = "\n".join(lines)
    os.makedirs(os.path.dirname(args.section), exist_ok=True)
    with open(args.section, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
