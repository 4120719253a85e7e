"""The wheel holds a compiled module, so it is tagged for the platform it was built on (any Python 3, whose
ctypes loads it; no Python ABI of its own)."""
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
        return "py3", "none", plat


setup(cmdclass={"bdist_wheel": platform_wheel})
