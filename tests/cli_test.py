"""End-to-end tests of the command-line host, run against the built program and module."""
import json
import re
import os
import shutil
import signal
import subprocess
import threading
import time

import pytest

CLI = os.path.abspath(os.environ.get("AE_CLI", "build/audioextract"))
MEDIA = os.path.abspath(os.environ.get("AE_MEDIA_DIR", "build/tests/media"))


def media(name):
    return os.path.join(MEDIA, name)


def cli(*args, cwd=None, timeout=120):
    return subprocess.run([CLI, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout)


def codec_of(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", path],
                         capture_output=True, text=True, check=True).stdout
    return out.strip()


def test_extract_writes_the_suggested_file_and_exits_zero(tmp_path):
    r = cli("extract", media("mp4_two.mp4"), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # Two audio streams with different extensions: the plain name is unique.
    assert codec_of(str(tmp_path / "mp4_two.m4a")) == "aac"
    r = cli("extract", media("mp4_two.mp4"), "--stream", "2", "--json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)
    assert report["ok"] is True and report["codec"] == "ac3"
    assert codec_of(str(tmp_path / "mp4_two.ac3")) == "ac3"


@pytest.mark.parametrize("args,text", [
    (["/nonexistent/in.mp4", "o.m4a"], "cannot open input"),
    (["/nonexistent/in.mp4"], "open: No such file or directory"),
    ([media("mp4_aac.mp4"), "o.notaformat"], "cannot create output (bad extension?)"),
    ([media("mp4_aac.mp4"), "o.m4a", "--stream", "0"], "no audio stream"),
    ([media("video_only.mp4")], "no audio stream"),
])
def test_failures_exit_one_with_the_library_text(tmp_path, args, text):
    r = cli("extract", *args, cwd=tmp_path)
    assert r.returncode == 1
    assert text in r.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args", [[], ["bogus"], ["extract"], ["extract", "a", "b", "c"],
                                  ["extract", "x.mp4", "--progress=fancy"], ["probe", "--stream", "1", "x"]])
def test_bad_usage_exits_two(args):
    assert cli(*args).returncode == 2


# The host checks the file the library will write: the one behind a "file:" prefix, named or chosen.
@pytest.mark.parametrize("args,existing", [
    (["in.wav", "o.wav"], "o.wav"),
    (["in.wav", "file:o.wav"], "o.wav"),
    (["file:in.wav"], "in.mka"),
    (["FILE:in.wav", "file:in.wav"], "in.wav"),
])
def test_existing_output_is_kept_without_force(tmp_path, args, existing):
    shutil.copy(media("wav.wav"), tmp_path / "in.wav")
    out = tmp_path / existing
    if existing != "in.wav":
        out.write_bytes(b"mine")
    before = out.read_bytes()
    r = cli("extract", *args, cwd=tmp_path)
    assert r.returncode == 1 and ("exists" in r.stderr or "is the input" in r.stderr), r.stderr
    assert out.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == sorted({"in.wav", existing})
    if existing != "in.wav":
        r = cli("extract", *args, "--force", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert codec_of(str(out)) == "pcm_s16le"
        assert sorted(os.listdir(tmp_path)) == sorted({"in.wav", existing}), "written under the name checked"


def test_output_that_is_not_a_local_file_is_refused(tmp_path):
    for out in ["http://127.0.0.1:9/o.wav", "pipe:1"]:
        r = cli("extract", media("wav.wav"), out, cwd=tmp_path)
        assert r.returncode == 1 and "must be a local file" in r.stderr
    assert os.listdir(tmp_path) == []


def test_extract_all_writes_one_file_per_audio_stream(tmp_path):
    r = cli("extract-all", media("three_audio.mkv"), str(tmp_path / "out"), "--progress=plain")
    assert r.returncode == 0, r.stderr
    files = sorted(os.listdir(tmp_path / "out"))
    assert files == ["three_audio.1.eng.m4a", "three_audio.2.fra.ac3", "three_audio.3.ogg"]
    assert [codec_of(str(tmp_path / "out" / f)) for f in files] == ["aac", "ac3", "opus"]
    assert r.stderr.count("100.0%") == 3


def test_probe_summary_and_json(tmp_path):
    r = cli("probe", media("three_audio.mkv"))
    assert r.returncode == 0
    assert "#2 audio ac3" in r.stdout and "fra" in r.stdout and "-> .ac3" in r.stdout
    r = cli("probe", "--json", media("three_audio.mkv"))
    assert json.loads(r.stdout)["audio_streams"][2]["suggested_ext"] == "ogg"
    r = cli("probe", "--json", "/nonexistent")
    assert r.returncode == 1 and json.loads(r.stdout)["ok"] is False
    version = os.environ.get("AE_VERSION", "")
    assert version and cli("--version").stdout.startswith(f"audioextract {version} (libavformat ")


def temp_output(directory):
    """The temporary file a running extraction writes in directory, or None."""
    names = [n for n in os.listdir(directory) if n.startswith(".audioextract-") and n.endswith(".part")]
    return names[0] if names else None


def syscall_number(name):
    """The number of a system call on this machine, as the C library's headers define it."""
    defines = subprocess.run(["cc", "-E", "-dM", "-include", "sys/syscall.h", "-"], input="", capture_output=True,
                             text=True, check=True).stdout
    match = re.search(rf"^#define __NR_{name} (\d+)$", defines, re.M)
    assert match, f"no __NR_{name} in sys/syscall.h"
    return match.group(1)


SYS_READ, SYS_POLL = syscall_number("read"), syscall_number("poll")


def blocked_reading(pid, path):
    """True when a thread of process pid waits for data from the file at path: in read(2) on it, or in the
    library's poll(2) for one descriptor in 50 ms slices while that file is open."""
    fds = [fd for fd in os.listdir(f"/proc/{pid}/fd") if os.readlink(f"/proc/{pid}/fd/{fd}") == str(path)]
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            call = open(f"/proc/{pid}/task/{tid}/syscall").read().split()
        except OSError:
            continue
        if call and call[0] == SYS_READ and any(int(call[1], 16) == int(fd) for fd in fds):
            return True
        if fds and call and call[0] == SYS_POLL and call[2:4] == ["0x1", "0x32"]:
            return True
    return False


def feed_until_blocked(proc, fifo, w, data, directory):
    """Writes data into the FIFO until the host has written its header and waits in a read for more."""
    w.write(data)
    w.flush()
    deadline = time.time() + 30
    while not (temp_output(directory) and blocked_reading(proc.pid, fifo)) and time.time() < deadline:
        time.sleep(0.01)
    assert temp_output(directory) and blocked_reading(proc.pid, fifo)


def test_ctrl_c_cancels_and_leaves_no_file(tmp_path):
    fifo = tmp_path / "in.mkv"
    os.mkfifo(fifo)
    out = tmp_path / "o.mka"
    data = open(media("long.mkv"), "rb").read()
    proc = subprocess.Popen([CLI, "extract", str(fifo), str(out)], stderr=subprocess.PIPE, text=True)
    with open(fifo, "wb") as w:
        feed_until_blocked(proc, fifo, w, data[:2 << 20], tmp_path)
        assert not out.exists(), "the output takes its name only when complete"
        proc.send_signal(signal.SIGINT)
        # The worker's wait for more data sees the cancel: no more data is needed for the host to end.
        rc = proc.wait(timeout=5)
    assert rc == 130, proc.stderr.read()
    assert os.listdir(tmp_path) == ["in.mkv"]


def test_killed_host_leaves_nothing_under_the_output_name(tmp_path):
    fifo = tmp_path / "in.mkv"
    os.mkfifo(fifo)
    out = tmp_path / "o.mka"
    out.write_bytes(b"earlier")
    data = open(media("long.mkv"), "rb").read()
    proc = subprocess.Popen([CLI, "extract", str(fifo), str(out), "--force"], stderr=subprocess.PIPE)
    with open(fifo, "wb") as w:
        feed_until_blocked(proc, fifo, w, data[:2 << 20], tmp_path)
        proc.kill()
        proc.wait(timeout=30)
    assert out.read_bytes() == b"earlier"
    # The killed host's temporary file is removed by the next output written into the folder.
    left = temp_output(tmp_path)
    assert left and f"-{proc.pid}-" in left
    r = cli("extract", media("wav.wav"), str(tmp_path / "next.mka"))
    assert r.returncode == 0, r.stderr
    assert temp_output(tmp_path) is None
    assert sorted(os.listdir(tmp_path)) == ["in.mkv", "next.mka", "o.mka"]


def test_output_that_is_the_input_is_refused_plainly(tmp_path):
    src = tmp_path / "in.mka"
    shutil.copy(media("mkv_many.mkv"), src)
    before = src.read_bytes()
    os.symlink(src, tmp_path / "link.mka")
    for out in (src, tmp_path / "link.mka"):
        r = cli("extract", str(src), str(out), "--force")
        assert r.returncode == 1
        assert "is the input file itself" in r.stderr and str(out) in r.stderr
    assert src.read_bytes() == before


def test_reports_with_bytes_that_are_not_utf8(tmp_path):
    """A file name and a language tag that are not UTF-8 neither stop the host nor lose a file."""
    name = os.fsencode(tmp_path) + b"/clip\xff\xfe.mkv"
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", media("three_audio.mkv"), "-map", "0",
                        "-c", "copy", "-metadata:s:a:0", b"language=e\xffg", "-f", "matroska", name],
                       capture_output=True)
    assert r.returncode == 0, r.stderr
    r = subprocess.run([CLI, "probe", name], capture_output=True)
    assert r.returncode == 0, r.stderr
    assert b"#1 audio aac" in r.stdout
    outdir = tmp_path / "out"
    r = subprocess.run([CLI, "extract-all", name, str(outdir), "--json"], capture_output=True)
    assert r.returncode == 0, r.stderr
    reports = json.loads(r.stdout)
    assert [x["ok"] for x in reports] == [True, True, True]
    assert len(os.listdir(outdir)) == 3
    assert not [f for f in os.listdir(outdir) if f.startswith(".")]


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")
def test_progress_bar_renders_on_a_terminal(tmp_path):
    sock = f"ae-test-{os.getpid()}"
    out = tmp_path / "o.mka"
    cmd = f"{os.path.abspath(CLI)} extract {media('long.mkv')} {out}; echo EXIT=$?; sleep 60"
    subprocess.run(["tmux", "-L", sock, "new-session", "-d", "-x", "140", "-y", "20", cmd], check=True)
    try:
        screen = ""
        deadline = time.time() + 60
        while "EXIT=" not in screen and time.time() < deadline:
            time.sleep(0.1)
            screen = subprocess.run(["tmux", "-L", sock, "capture-pane", "-p"], capture_output=True,
                                    text=True).stdout
    finally:
        subprocess.run(["tmux", "-L", sock, "kill-server"], capture_output=True)
    assert "EXIT=0" in screen, screen
    bar = [line for line in screen.splitlines() if line.startswith("[")]
    assert len(bar) == 1, screen  # redrawn in place, not scrolled
    assert bar[0].startswith("[" + "#" * 24 + "] 100.0%"), screen
    assert re.search(r"/10:00.0  [1-9][0-9]* pkts .* o.mka$", bar[0]), bar[0]


def test_extract_all_says_when_the_report_left_streams_out(tmp_path):
    many = tmp_path / "many.mka"
    maps = [arg for _ in range(600) for arg in ("-map", "0:a")]
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.1:sample_rate=8000", *maps,
                    "-c:a", "pcm_u8", str(many)], check=True, timeout=120)
    report = json.loads(cli("probe", "--json", str(many)).stdout)
    assert report["truncated"] is True
    listed = len(report["audio_streams"])
    assert 0 < listed < 600
    # Some 570 extractions: seconds natively, minutes under ThreadSanitizer on a busy machine.
    r = cli("extract-all", str(many), str(tmp_path / "out"), "--quiet", timeout=420)
    assert r.returncode == 1 and "more streams than the probe report can list" in r.stderr
    assert len(os.listdir(tmp_path / "out")) == listed


def run_measured(*args, cwd=None):
    """Runs the host; returns its exit status, peak resident memory in MiB and seconds taken. GNU time
    measures it: a child of this interpreter would count the interpreter's own memory in its peak."""
    t0 = time.monotonic()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", CLI, *args], cwd=cwd, capture_output=True, text=True,
                       timeout=120)
    return r.returncode, int(r.stderr.strip().splitlines()[-1]) / 1024, time.monotonic() - t0


# Tiny files whose declared sizes ask for gigabytes: the host bounds FFmpeg's allocations, so each is read
# in about what any probe takes, and at once (without the bound: 1.4-1.6 GB and 4-7 s each). The peak is
# measured against a probe of an ordinary file in the same run (a sanitized build starts larger).
@pytest.mark.parametrize("name", ["bomb.wav", "bomb.m4a"])
def test_memory_bombs_stay_small(tmp_path, name):
    _, baseline, _ = run_measured("probe", media("mp4_aac.mp4"))
    for args in (["probe", media(name)], ["extract", media(name), str(tmp_path / "o.mka")]):
        rc, mib, seconds = run_measured(*args)
        assert rc in (0, 1) and mib < max(64, baseline + 16) and seconds < 5, (args, rc, mib, baseline, seconds)
