"""What the Python package's tests share: where the generated media are, and ffprobe's packet count."""
import os
import subprocess

MEDIA = os.path.abspath(os.environ.get("AE_MEDIA_DIR", "build/tests/media"))


def media(name):
    return os.path.join(MEDIA, name)


def packets(path, stream):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", str(stream), "-show_entries",
                          "packet=size", "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    return len(out.stdout.split())
