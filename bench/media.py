"""The benchmarks' source clip: 60 s of 720p MPEG-4 video with AAC 192k and AC3 448k, made once with the
ffmpeg command line and looped by stream copy into the large inputs."""
import os
import subprocess


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_clip(path, gop=None):
    """Writes the clip to path unless it is there; gop sets the frames between keyframes."""
    if os.path.exists(path):
        return path
    print(f"generating a 60 s 720p clip{f' with {gop} frames between keyframes' if gop else ''} ...", flush=True)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:duration=60",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=60",
           "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=48000:duration=60",
           "-map", "0:v", "-map", "1:a", "-map", "2:a", "-c:v", "mpeg4", *(["-g", str(gop)] if gop else []),
           "-b:v", "13500k", "-maxrate", "13500k", "-bufsize", "4M", "-c:a:0", "aac", "-b:a:0", "192k",
           "-ac:a:0", "2", "-c:a:1", "ac3", "-b:a:1", "448k", "-ac:a:1", "6", "-metadata:s:a:0", "language=eng",
           "-metadata:s:a:1", "language=fra", path + ".tmp.mkv")
    os.rename(path + ".tmp.mkv", path)
    return path
