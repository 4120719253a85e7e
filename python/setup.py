"""The wheel holds a compiled module, so it is tagged for the platform it was built on (any Python 3, whose
ctypes loads it; no Python ABI of its own). A module that carries its own FFmpeg needs only the C library
(and zlib, OpenSSL) of the system: its wheel is tagged manylinux for the glibc it was built with."""
import glob
import os
import platform

from setuptools import setup

try:  # setuptools has its own since 70.1; older ones use the wheel package's
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel  # type: ignore[no-redef]


class platform_wheel(bdist_wheel):
    def finalize_options(self) -> None:
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self) -> tuple[str, str, str]:
        _, _, plat = super().get_tag()
        libc = os.confstr("CS_GNU_LIBC_VERSION") if hasattr(os, "confstr") else None  # "glibc 2.36"
        if libc and glob.glob(os.path.join(os.path.dirname(__file__) or ".", "audioextract", "libavformat_*.so.*")):
            major, minor = libc.split()[1].split(".")[:2]
            plat = f"manylinux_{major}_{minor}_{platform.machine()}"
        return "py3", "none", plat


setup(cmdclass={"bdist_wheel": platform_wheel})
