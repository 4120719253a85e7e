#!/usr/bin/env python3
"""Benchmark: the command-line host against the ffmpeg command line at the same job, side by side.

    python3 bench/run.py [--runs N] [--data DIR] [--build DIR] [--out FILE]
    bench/run.sh     both generations: natively (FFmpeg 5.1) and in the FFmpeg 9 chroot, into bench/results.md

Generates its inputs (about 1.9 GB each of MP4, MKV and MPEG-TS with 720p video, AAC 192k and AC3 448k, four
240 s MKV files, and a 10 s file), warms the page cache, then measures in one run, interleaving the commands:
wall time, bytes read (/proc/PID/io rchar) and peak RSS of whole processes; the probe per call in-process
against an ffprobe process; four concurrent extractions against the same four one after another.
Prints ratios and writes them to bench/results.md.
"""
import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import time

from media import ffmpeg, make_clip

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = BENCH = ""


def make_inputs(data):
    os.makedirs(data, exist_ok=True)
    clip = make_clip(os.path.join(data, "clip60.mkv"))
    big = {}
    for ext in ("mp4", "mkv", "ts"):
        path = os.path.join(data, f"big.{ext}")
        if not os.path.exists(path):
            print(f"generating {path} (1080 s) ...", flush=True)
            ffmpeg("-stream_loop", "17", "-i", clip, "-map", "0", "-c", "copy", path + ".tmp." + ext)
            os.rename(path + ".tmp." + ext, path)
        big[ext] = path
    four = []
    for i in range(4):
        path = os.path.join(data, f"four{i}.mkv")
        if not os.path.exists(path):
            ffmpeg("-stream_loop", "3", "-i", clip, "-map", "0", "-c", "copy", "-metadata", f"title=copy {i}",
                   path + ".tmp.mkv")
            os.rename(path + ".tmp.mkv", path)
        four.append(path)
    small = os.path.join(data, "small10.mp4")
    if not os.path.exists(small):
        ffmpeg("-t", "10", "-i", clip, "-map", "0", "-c", "copy", small + ".tmp.mp4")
        os.rename(small + ".tmp.mp4", small)
    return big, four, small


def measure(cmd):
    """Runs cmd; returns (seconds, bytes read, peak RSS in KiB). The child is read before it is reaped."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
    elapsed = time.perf_counter() - t0
    rchar = 0
    with open(f"/proc/{proc.pid}/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                rchar = int(line.split()[1])
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}")
    return elapsed, rchar, usage.ru_maxrss


def warm(paths):
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--data", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--out", default=os.path.join(ROOT, "build-bench", "results.md"))
    args = ap.parse_args()
    global HOST, BENCH
    HOST, BENCH = os.path.join(args.build, "audioextract"), os.path.join(args.build, "ae_bench")
    for tool in (HOST, BENCH):
        if not os.path.exists(tool):
            sys.exit(f"build first: cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build")
    big, four, small = make_inputs(args.data)
    out = os.path.join(args.data, "out")
    os.makedirs(out, exist_ok=True)
    lines = []

    def report(text):
        print(text, flush=True)
        lines.append(text)

    report("| input | host time | ffmpeg time | ratio | host read | ffmpeg read | host read / file | "
           "host RSS | ffmpeg RSS |")
    report("|---|---|---|---|---|---|---|---|---|")
    for ext, path in big.items():
        warm([path])
        size = os.path.getsize(path)
        host = [HOST, "extract", path, os.path.join(out, "host.m4a"), "--stream", "1", "--force", "--quiet"]
        peer = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-map", "0:a:0", "-c", "copy",
                os.path.join(out, "ffmpeg.m4a")]
        h, f = [], []
        for _ in range(args.runs):  # interleaved, so both see the same machine
            h.append(measure(host))
            f.append(measure(peer))
        ht, ft = statistics.median(x[0] for x in h), statistics.median(x[0] for x in f)
        hr, fr = statistics.median(x[1] for x in h), statistics.median(x[1] for x in f)
        hm, fm = max(x[2] for x in h), max(x[2] for x in f)
        report(f"| {ext.upper()} {size / 1e9:.2f} GB | {ht:.2f} s | {ft:.2f} s | **{ht / ft:.2f}x** | "
               f"{hr / 1e6:.0f} MB | {fr / 1e6:.0f} MB | {100 * hr / size:.1f}% | {hm / 1024:.0f} MiB | "
               f"{fm / 1024:.0f} MiB |")

    warm([small])
    calls = 200
    per_call = statistics.median(
        float(subprocess.run([BENCH, "probe", str(calls), small], capture_output=True, text=True,
                             check=True).stdout) for _ in range(3))
    ffprobe = statistics.median(
        measure(["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams", small])[0]
        for _ in range(20)) * 1e6
    report("")
    report(f"Probe of a 10 s MP4: {per_call:.0f} us per call in-process, {ffprobe:.0f} us per ffprobe process: "
           f"**{ffprobe / per_call:.1f}x** faster in-process.")

    warm(four)
    par, ser = [], []
    for _ in range(max(3, args.runs // 2)):
        par.append(float(subprocess.run([BENCH, "sessions", out, *four], capture_output=True, text=True,
                                        check=True).stdout))
        ser.append(float(subprocess.run([BENCH, "serial", out, *four], capture_output=True, text=True,
                                        check=True).stdout))
    p, s = statistics.median(par), statistics.median(ser)
    report(f"Four concurrent extractions of four {os.path.getsize(four[0]) / 1e6:.0f} MB MKV files: {p:.0f} ms, "
           f"one after another {s:.0f} ms: **{p / s:.2f}x**.")

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    ffv = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    head = [f"### Against {ffv.split(' Copyright')[0]}", "",
            f"Measured {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {platform.node()}: "
            f"{os.cpu_count()} cores, {cpu}; medians of {args.runs} interleaved runs, warm page cache.", ""]
    with open(args.out, "w") as f:
        f.write("\n".join(head + lines) + "\n")


if __name__ == "__main__":
    main()
