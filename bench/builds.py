#!/usr/bin/env python3
"""Benchmark: the build on the bundled FFmpeg against the build on the system's, side by side in one run,
with the ffmpeg command line (and `cat` when cold) as the common peer.

    /usr/bin/python3 bench/builds.py [--runs N] [--bundled HOST] [--system HOST] [--section FILE]   (root for cold)

The bundled build is taken as released: the host of the Linux folder that scripts/dist.sh makes (stripped),
unpacked under build-bench/; the system build is build/ (RelWithDebInfo, as scripts/run.sh builds it).

Measures whole processes of each build's command-line host, interleaved (bundled, system, ffmpeg/ffprobe,
cat, bundled, ...), medians: start (`--version`), probe and extraction of the cold benchmark's inputs
(bench/cold.py makes them: about 505 MB each of MP4, MP4 fragmented every 2 s and 10 s, MKV, MPEG-TS), with
the peak resident memory of each extraction. "warm" keeps everything cached; "slow" drops the whole page
cache (the programs and libraries too) before each run and throttles reads as bench/cold.py does.
"""
import argparse
import datetime
import os
import statistics
import subprocess
import sys
import time

import cold

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def measure(cmd, mode):
    """Wall seconds and peak RSS (MiB) of one process."""
    if mode == "slow":
        cold.drop_caches()
        cmd = ["sh", "-c", f'echo $$ > {cold.CGROUP}/cgroup.procs && exec "$@"', "sh", *cmd]
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    if status != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    return wall, usage.ru_maxrss / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--bundled", default="")
    ap.add_argument("--system", default=os.path.join(ROOT, "build", "audioextract"))
    ap.add_argument("--modes", default="warm,slow")
    ap.add_argument("--data", default=os.path.join(ROOT, "build-bench", "cold"))
    ap.add_argument("--section", default=os.path.join(ROOT, "build-bench", "results-builds.md"))
    args = ap.parse_args()
    inputs = cold.make_inputs(args.data)
    out = os.path.join(args.data, "out.m4a")
    if not args.bundled:
        folder = os.path.join(ROOT, "build-bench", "release")
        subprocess.run(["rm", "-rf", folder], check=True)
        os.makedirs(folder)
        tarball = [f for f in os.listdir(os.path.join(ROOT, "dist")) if f.endswith("-linux-x86_64.tar.gz")][0]
        subprocess.run(["tar", "-xzf", os.path.join(ROOT, "dist", tarball), "-C", folder, "--strip-components=1"],
                       check=True)
        args.bundled = os.path.join(folder, "bin", "audioextract")
    hosts = {"bundled": args.bundled, "system": args.system}
    libdir = os.path.join(os.path.dirname(os.path.dirname(args.bundled)), "lib")
    lines = [f"## Bundled FFmpeg 9 against the system's FFmpeg 5.1 ({datetime.date.today()}, {args.runs} runs, medians)",
             "", "Repeat with `/usr/bin/python3 bench/builds.py` (after `scripts/dist.sh` and a native build in `build/`).",
             "Sizes as released (stripped): " + ", ".join(f"{f} {os.path.getsize(os.path.join(libdir, f)) / 1e6:.2f} MB"
                                   for f in sorted(os.listdir(libdir)) if f.endswith(".so") or ".so." in f)
             + f", host {os.path.getsize(args.bundled) / 1e6:.2f} MB", ""]
    for mode in args.modes.split(","):
        if mode == "slow":
            if os.geteuid() != 0:
                print("slow: needs root, skipped")
                continue
            cold.make_cgroup(cold.whole_disk(cold.device_of(args.data)))
        jobs = [("start", None, {h: [p, "--version"] for h, p in hosts.items()})]
        for name, path in inputs.items():
            if mode == "warm" or name == "MP4":
                jobs.append(("probe", name, {**{h: [p, "probe", path] for h, p in hosts.items()},
                                             "ffprobe 5.1": ["ffprobe", "-v", "quiet", "-show_streams", path]}))
            peer = {"ffmpeg 5.1": ["ffmpeg", "-v", "quiet", "-y", "-i", path, "-map", "0:a:0", "-c", "copy", out]}
            if mode == "slow":
                peer["cat"] = ["sh", "-c", f'cat "{path}" > /dev/null']
            jobs.append(("extract", name, {**{h: [p, "extract", path, out, "--force", "--quiet"]
                                              for h, p in hosts.items()}, **peer}))
        lines += [f"### {mode}", "", "| job | bundled | system | peer | bundled / system | bundled / peer | peak MiB bundled / system |",
                  "|---|---|---|---|---|---|---|"]
        try:
            for job, name, cmds in jobs:
                times = {k: [] for k in cmds}
                rss = {k: [] for k in cmds}
                for _ in range(args.runs):
                    for k, cmd in cmds.items():
                        if mode == "warm":
                            measure(cmd, mode)  # warms what it reads
                        t, m = measure(cmd, mode)
                        times[k].append(t)
                        rss[k].append(m)
                med = {k: statistics.median(v) for k, v in times.items()}
                peers = [k for k in cmds if k not in hosts]
                peer = "cat" if "cat" in peers else (peers[0] if peers else None)
                row = (f"| {job} {name or ''} | {med['bundled']:.3f} s | {med['system']:.3f} s | "
                       + (f"{peer} {med[peer]:.3f} s" if peer else "") + f" | {med['bundled'] / med['system']:.2f}x | "
                       + (f"{med['bundled'] / med[peer]:.2f}x" if peer else "") + " | "
                       + f"{max(rss['bundled']):.1f} / {max(rss['system']):.1f} |")
                if peer == "cat":
                    row += f" (ffmpeg 5.1 {med['ffmpeg 5.1']:.3f} s)"
                elif job == "extract":
                    row += f" (ffmpeg peak {max(rss['ffmpeg 5.1']):.1f} MiB)"
                print(row, flush=True)
                lines.append(row)
        finally:
            if mode == "slow":
                cold.remove_cgroup()
        lines.append("")
    with open(args.section, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
