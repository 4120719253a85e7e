#!/usr/bin/env python3
"""Benchmark on cold storage: the command-line host against the ffmpeg command line and against `cat` of
the whole file, with the page cache dropped before every run, and optionally with reads throttled the way a
hard disk or a network share limits them.

    /usr/bin/python3 bench/cold.py [--runs N] [--modes cold,slow] [--section FILE]   (root only)

Inputs (about 505 MB each, 360 s of 720p video with AAC 192k and AC3 448k): MP4 as FFmpeg interleaves it,
fragmented MP4 with 2 s and with 10 s fragments and at every keyframe (0.5 s), MKV and MPEG-TS. Modes: "cold" drops the page cache
(echo 3 > /proc/sys/vm/drop_caches) before each run; "slow" also runs each command in a cgroup-v1 blkio
group that limits reads on the disk holding the files to 200 requests/s and 150 MiB/s. The group is
created and removed here. "cold-file" and "slow-file" drop only the input's pages (the programs and FFmpeg's
libraries stay loaded, held mapped for the mode's length, as in a host that has the library loaded already);
"warm" keeps the input cached. Throttled runs each start after three seconds' rest.
Runs are interleaved (host, ffmpeg, cat, host, ...); medians are reported. --before BUILD measures another
build of the host alongside (a before/after in the same run).
"""
import argparse
import datetime
import glob
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import time

from media import ffmpeg, make_clip

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CGROUP = "/sys/fs/cgroup/blkio/belmarun-audioextract-bench"
IOPS, BPS = 200, 157286400


def make_inputs(data):
    os.makedirs(data, exist_ok=True)
    # 10 s between keyframes, so the fragment duration alone decides where fragments begin.
    clip = make_clip(os.path.join(data, "clip60.mkv"), gop=250)
    # A keyframe every 12 frames (FFmpeg's default), as cameras and streaming encoders make them: fragmented at
    # every keyframe, about 0.5 s each, the audio a run of a few KB between each fragment's header and its video.
    short_gop = make_clip(os.path.join(data, "clip60-gop12.mkv"))
    kinds = {
        "MP4": ("mp4", []),
        "fragmented MP4, 2 s": ("mp4", ["-movflags", "+frag_keyframe+empty_moov+delay_moov",
                                        "-frag_duration", "2000000"]),
        "fragmented MP4, 10 s": ("mp4", ["-movflags", "+frag_keyframe+empty_moov+delay_moov",
                                         "-frag_duration", "10000000"]),
        "MKV": ("mkv", []),
        "MPEG-TS": ("ts", []),
        "fragmented MP4, every keyframe": ("mp4", ["-movflags", "+frag_keyframe+empty_moov+delay_moov"]),
    }
    paths = {}
    for n, (name, (ext, opts)) in enumerate(kinds.items()):
        path = os.path.join(data, f"cold{n}.{ext}")
        if not os.path.exists(path):
            print(f"generating {name} ...", flush=True)
            source = short_gop if "keyframe" in name else clip
            ffmpeg("-stream_loop", "5", "-i", source, "-map", "0", "-c", "copy", *opts, path + ".tmp." + ext)
            os.rename(path + ".tmp." + ext, path)
        paths[name] = path
    return paths


def device_of(path):
    st = os.stat(path)
    return f"{os.major(st.st_dev)}:{os.minor(st.st_dev)}"


def whole_disk(dev):
    """blkio throttles apply to whole disks: the disk a partition belongs to."""
    sys_path = os.path.realpath(f"/sys/dev/block/{dev}")
    if os.path.exists(os.path.join(sys_path, "partition")):
        return open(os.path.join(os.path.dirname(sys_path), "dev")).read().strip()
    return dev


def make_cgroup(dev):
    os.makedirs(CGROUP, exist_ok=True)
    with open(os.path.join(CGROUP, "blkio.throttle.read_iops_device"), "w") as f:
        f.write(f"{dev} {IOPS}")
    with open(os.path.join(CGROUP, "blkio.throttle.read_bps_device"), "w") as f:
        f.write(f"{dev} {BPS}")


def remove_cgroup():
    if os.path.isdir(CGROUP):
        os.rmdir(CGROUP)


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3")


def evict(path):
    """Only the input's pages leave the cache: the programs and libraries stay loaded, as in a host that
    has the library loaded already and meets a file it has not read."""
    os.sync()
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)


def hold_libraries(programs):
    """Maps each program and every file it loads, each page touched, for as long as the result is kept:
    what ldd lists for it and for the modules beside it (the host loads the library at run time, and the
    library FFmpeg's 130-odd libraries), the dynamic loader and its cache, and the shell that puts a run in
    the throttled group. A machine that pages out file data left unmapped for a while (this one's memory
    manager does, after a minute) would otherwise drop some of them between runs, and the "-file" and
    "warm" modes would time loading them from the throttled disk (up to 3 s) instead of a host that has
    them loaded. Not for the cold modes: pages held mapped stay cached when the cache is dropped."""
    held = []
    files = {"/etc/ld.so.cache"}
    for program in [*programs, "sh"]:
        path = shutil.which(program)
        for binary in [path, *glob.glob(os.path.join(os.path.dirname(path), "*.so"))]:
            listing = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
            files.add(binary)
            files.update(word for line in listing.splitlines() for word in line.split() if word.startswith("/"))
    for lib in sorted(files):
        with open(lib, "rb") as f:
            m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
        sum(m[i] for i in range(0, len(m), mmap.PAGESIZE))
        held.append(m)
    return held


def run(cmd, slow, file_only=None, warm=False):
    # Throttled runs back to back would inherit the budget the run before spent, which favoured whichever
    # program came first in each round: each run starts rested. One second was not enough after a reader of
    # the whole file (`cat`): the next run was still 0.07 s slower; after three seconds, not.
    time.sleep(3 if slow else 0)
    if warm:
        pass  # the file stays in the cache from the run before
    elif file_only:
        evict(file_only)
    else:
        drop_caches()
    if slow:
        cmd = ["sh", "-c", f'echo $$ > {CGROUP}/cgroup.procs && exec "$@"', "sh", *cmd]
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--modes", default="cold,slow,cold-file,slow-file,warm")
    ap.add_argument("--only", default="", help="input names to measure, separated by semicolons")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--before", default="", help="another build of the host, measured alongside (a before/after)")
    ap.add_argument("--data", default=os.path.join(ROOT, "build-bench", "cold"))
    ap.add_argument("--section", default=os.path.join(ROOT, "build-bench", "results-cold.md"))
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("bench/cold.py: dropping the page cache and throttling reads need root; skipped")
        return
    host = os.path.join(args.build, "audioextract")
    inputs = make_inputs(args.data)
    if args.only:
        inputs = {k: v for k, v in inputs.items() if k in args.only.split(";")}
    out = os.path.join(args.data, "out")
    os.makedirs(out, exist_ok=True)
    modes = args.modes.split(",")
    lines = []
    if any(m.startswith("slow") for m in modes):
        make_cgroup(whole_disk(device_of(next(iter(inputs.values())))))
    try:
        for mode in modes:
            slow = mode.startswith("slow")
            file_only = mode.endswith("-file")
            warm = mode == "warm"
            title = {"cold": "Cold, unthrottled: the whole page cache dropped",
                     "slow": "Cold and throttled (200 reads/s, 150 MiB/s): the whole page cache dropped",
                     "cold-file": "Cold file, unthrottled: only the input's pages dropped",
                     "slow-file": "Cold file, throttled (200 reads/s, 150 MiB/s): only the input's pages dropped",
                     "warm": "Warm: the input in the page cache"}
            before_head = " | host before | after / before" if args.before else ""
            lines += ["", f"**{title[mode]}**", "",
                      f"| input | host | ffmpeg CLI | cat | host / cat | host / ffmpeg{before_head} |",
                      "|---|---|---|---|---|---|" + ("---|---|" if args.before else "")]
            held = hold_libraries([host, "ffmpeg", "ffprobe", "cat"] + ([os.path.join(args.before, "audioextract")]
                                                             if args.before else [])) if file_only or warm else []
            for name, path in inputs.items():
                cmds = {
                    "host": [host, "extract", path, os.path.join(out, "host.m4a"), "--stream", "1", "--force",
                             "--quiet"],
                    "ffmpeg": ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-map", "0:a:0", "-c", "copy",
                               os.path.join(out, "ffmpeg.m4a")],
                    "cat": ["cat", path],
                }
                if args.before:
                    cmds["before"] = [os.path.join(args.before, "audioextract"), *cmds["host"][1:]]
                t = {k: [] for k in cmds}
                if warm:
                    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)
                for _ in range(args.runs):
                    for k, c in cmds.items():
                        t[k].append(run(c, slow, path if file_only else None, warm))
                m = {k: statistics.median(v) for k, v in t.items()}
                # Every run, for a look at the spread on shared storage (the report keeps the medians).
                print(mode, name, "runs:", "; ".join(f"{k} " + " ".join(f"{x:.2f}" for x in v) for k, v in t.items()),
                      flush=True)
                size = os.path.getsize(path) / 1e6
                line = (f"| {name} ({size:.0f} MB) | {m['host']:.2f} s | {m['ffmpeg']:.2f} s | {m['cat']:.2f} s | "
                        f"**{m['host'] / m['cat']:.2f}x** | {m['host'] / m['ffmpeg']:.2f}x |")
                if args.before:
                    line += f" {m['before']:.2f} s | {m['host'] / m['before']:.2f}x |"
                print(mode, line, flush=True)
                lines.append(line)
            mp4 = inputs.get("MP4")
            if mp4:
                p = {"host": [], "ffprobe": [], "before": []}
                for _ in range(args.runs):
                    if args.before:
                        p["before"].append(run([os.path.join(args.before, "audioextract"), "probe", "--json", mp4],
                                               slow, mp4 if file_only else None, warm))
                    p["host"].append(run([host, "probe", "--json", mp4], slow, mp4 if file_only else None, warm))
                    p["ffprobe"].append(run(["ffprobe", "-v", "error", "-show_format", "-show_streams", mp4], slow,
                                            mp4 if file_only else None, warm))
                line = (f"Probe of the MP4: host {statistics.median(p['host']):.2f} s, ffprobe "
                        f"{statistics.median(p['ffprobe']):.2f} s"
                        + (f", host before {statistics.median(p['before']):.2f} s." if args.before else "."))
                print(mode, line, flush=True)
                lines += ["", line]
            for m in held:
                m.close()
    finally:
        remove_cgroup()
    ffv = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    head = ["### Cold storage", "",
            f"Measured {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} with {ffv.split(' Copyright')[0]}: page "
            f"cache dropped before every run, medians of {args.runs} interleaved runs. Repeat with "
            "`sudo /usr/bin/python3 bench/cold.py`."]
    with open(args.section, "w") as f:
        f.write("\n".join(head + lines) + "\n")


if __name__ == "__main__":
    main()
