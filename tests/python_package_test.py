"""The Python package as it ships: the wheel in a fresh virtual environment, `python -m audioextract` beside the
command-line host, type checking, FFmpeg's log, and memory bounds."""
import os
import re
import shutil
import subprocess
import sys
import time

import pytest

import audioextract as ae
from python_media import media

STAGE = os.path.dirname(os.path.dirname(os.path.abspath(ae.__file__)))
CLI = os.environ.get("AE_CLI")


def python(*args, cwd=None, env=None, timeout=120):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "PYTHONPATH": STAGE, **(env or {})})


def test_wheel_is_tagged_for_its_platform_and_installs_into_a_fresh_venv(tmp_path):
    src = tmp_path / "src"
    shutil.copytree(STAGE, src, ignore=shutil.ignore_patterns("__pycache__"))
    build = subprocess.run([sys.executable, "-c", "import setuptools.build_meta as b; print(b.build_wheel('dist'))"],
                           cwd=src, capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    name = build.stdout.split()[-1]
    # On the system's FFmpeg the wheel holds for this platform; carrying its own FFmpeg, for any Linux with
    # this machine's glibc or newer.
    bundled = list((src / "audioextract").glob("libavformat_*.so.*"))
    libc = os.confstr("CS_GNU_LIBC_VERSION").split()[1].replace(".", "_")
    assert name.endswith(f"-py3-none-manylinux_{libc}_x86_64.whl" if bundled else "-py3-none-linux_x86_64.whl"), name
    subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], check=True)
    pip = subprocess.run([str(tmp_path / "venv/bin/pip"), "install", "--no-index", "--quiet", str(src / "dist" / name)],
                         capture_output=True, text=True)
    assert pip.returncode == 0, pip.stderr
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "AUDIOEXTRACT_MODULE")}
    venv_python = str(tmp_path / "venv/bin/python")
    run = subprocess.run([venv_python, "-c", "import audioextract; print(audioextract.__file__)"], cwd="/",
                         env=env, capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.startswith(str(tmp_path / "venv")), run.stderr
    run = subprocess.run([venv_python, "-m", "audioextract", "extract", media("flac.flac"), "o.flac"],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.startswith("o.flac: flac, "), run.stderr


# `python -m audioextract` says what the command-line host says, and ends with its exit code.
@pytest.mark.skipif(not CLI, reason="the command-line host is not built")
@pytest.mark.parametrize("args", [
    ["probe", media("mp4_two.mp4")],
    ["probe", media("mkv_many.mkv")],
    ["probe", "--json", media("three_audio.mkv")],
    ["probe", "missing.mp4"],
    ["probe", "--json", "missing.mp4"],
    ["extract", media("mp4_two.mp4")],
    ["extract", "--stream", "2", media("mp4_two.mp4"), "fr.ac3"],
    ["extract", "--stream", "0", media("mp4_two.mp4")],
    ["extract", media("video_only.mp4"), "o.m4a"],
    ["extract", media("mp4_aac.mp4"), "http://127.0.0.1:9/o.m4a"],
    ["extract", "--json", media("wav.wav"), "o.wav"],
    ["extract-all", media("three_audio.mkv"), "all"],
    ["extract-all", media("video_only.mp4")],
    [],
    ["extract"],
    ["extract", "--stream", "x", media("wav.wav")],
])
def test_module_command_matches_the_host(tmp_path, args):
    runs = {}
    for who, command in (("host", [CLI]), ("python", [sys.executable, "-m", "audioextract"])):
        where = tmp_path / who
        where.mkdir()
        (where / "existing.m4a").write_bytes(b"mine")
        r = subprocess.run(command + args, cwd=where, capture_output=True, text=True, timeout=60,
                           env={**os.environ, "PYTHONPATH": STAGE})
        again = subprocess.run(command + args, cwd=where, capture_output=True, text=True, timeout=60,
                               env={**os.environ, "PYTHONPATH": STAGE})
        files = sorted(str(p.relative_to(where)) for p in where.rglob("*"))
        runs[who] = (r.returncode, again.returncode, files)
        if r.returncode != 2:  # usage texts are each parser's own
            # the host reports streams as they end, so lines are compared in any order
            runs[who] += (sorted(re.sub(r'"elapsed_ms":\d+', "", r.stdout).splitlines()), r.stderr, again.stderr)
    assert runs["python"] == runs["host"]


def test_mypy_strict_passes_on_the_package_and_on_a_user_script(tmp_path):
    if shutil.which("mypy") is None:
        pytest.skip("mypy is not installed")
    script = tmp_path / "user.py"
    script.write_text(
        "import asyncio\nfrom pathlib import Path\nimport audioextract as ae\n\n\n"
        "async def main(src: Path) -> int:\n"
        "    p: ae.Probe = await ae.probe_async(src)\n"
        "    a = p.audio(language='eng', codec='aac') or p.audio()\n"
        "    assert a is not None\n"
        "    r: ae.Result = await ae.extract_async(src, Path('o.m4a'), a.index, on_progress=print)\n"
        "    with ae.Extraction(src, 'x.m4a', overwrite=True) as x:\n"
        "        state: ae.State = x.state\n"
        "        done: ae.Result = await x\n"
        "    records: list[ae.Record] = ae.extract_many([src], Path('out'), ext='.mka', progress=False)\n"
        "    return r.packets_written + done.packets_written + len(records) + int(state)\n\n\n"
        "try:\n"
        "    asyncio.run(main(Path('in.mp4')))\n"
        "except FileNotFoundError as e:\n"
        "    print(e.filename)\n")
    for target in (os.path.join(STAGE, "audioextract"), str(script)):
        r = subprocess.run(["mypy", "--strict", "--no-incremental", target], capture_output=True, text=True,
                           env={**os.environ, "MYPYPATH": STAGE}, cwd=tmp_path)
        assert r.returncode == 0, r.stdout


# FFmpeg's complaints about a damaged file stay off stderr unless asked for.
def test_ffmpeg_log_is_quiet_by_default(tmp_path):
    bad = tmp_path / "bad.mp4"
    bad.write_bytes(b"\0\0\0\x20ftypisom" + b"\0" * 4000)
    script = "import audioextract as ae, sys\n{}\ntry:\n    ae.probe(sys.argv[1])\nexcept ae.ProbeError:\n    pass\n"
    quiet = python("-c", script.format(""), str(bad))
    loud = python("-c", script.format("ae.set_log_level('error')"), str(bad))
    assert quiet.returncode == loud.returncode == 0
    assert quiet.stderr == "" and "moov atom not found" in loud.stderr
    with pytest.raises(ValueError, match="unknown log level"):
        ae.set_log_level("loud")


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


def test_the_readme_example_runs_as_written(tmp_path):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "README.md")).read()
    start = readme.index("```python\nimport asyncio")
    example = readme[start + len("```python\n"):readme.index("```", start + 10)]
    (tmp_path / "example.py").write_text(example)
    r = python("example.py", media("three_audio.mkv"), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(tmp_path / "all")) == ["three_audio.1.eng.m4a", "three_audio.2.fra.ac3",
                                                    "three_audio.3.ogg"]
    assert (tmp_path / "first.m4a").stat().st_size > 0
