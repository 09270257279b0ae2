"""Build glue: setuptools hands the extension to CMake, which builds it for
the interpreter running this script and places it where setuptools expects."""

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build_dir = Path(self.build_temp).resolve() / "cmake"
        generator = ["-G", "Ninja"] if subprocess.run(["which", "ninja"], capture_output=True).returncode == 0 else []
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator,
                               f"-DQUORVEL_PYTHON={sys.executable}", "-DQUORVEL_TESTS=OFF",
                               f"-DQUORVEL_OUTPUT_DIR={out_dir}", "-DCMAKE_BUILD_TYPE=Release"])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "quorvel",
                               "-j", str(os.cpu_count() or 2)])


def check_wheel_support():
    """setuptools before 70.1 makes wheels (and pip's metadata step) with the
    separate `wheel` package; without it pip only reports "invalid command
    'bdist_wheel'". Say what is missing instead."""
    if not {"bdist_wheel", "dist_info"} & set(sys.argv[1:]):
        return
    try:
        import setuptools.command.bdist_wheel  # noqa: F401  (setuptools 70.1 and later)
        return
    except ImportError:
        pass
    try:
        import wheel.bdist_wheel  # noqa: F401
    except ImportError:
        import setuptools
        sys.exit(f"error: building quorvel with setuptools {setuptools.__version__} needs the 'wheel' package, "
                 "which is not installed where pip builds.\n"
                 "  Install it there (pip install wheel; on Debian: apt-get install python3-wheel),\n"
                 "  or upgrade setuptools to 70.1 or later, which builds wheels itself.")


check_wheel_support()

# Besides the extension, the distribution holds one package: the PEP 561 stub
# package that type checkers find beside the module. Its name is not a Python
# identifier, which the [tool.setuptools] table of pyproject.toml refuses, so
# it is declared here.
setup(
    ext_modules=[Extension("quorvel", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    packages=["quorvel-stubs"],
    package_dir={"quorvel-stubs": "stubs/quorvel-stubs"},
    package_data={"quorvel-stubs": ["*.pyi"]},
)
