"""Builds the quillon Python package: CMake compiles the module from the repository's sources.

Install from the repository root with `pip install --no-build-isolation ./python` (see README.md).
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The engine's programVersion is the version's one home; the module's __version__ is the same.
VERSION = re.search(r'programVersion = "([0-9.]+)"',
                    (ROOT / "engine/include/quillon/engine/program_version.h").read_text()).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configures the whole project without the desktop program and builds only the module."""

    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DQUILLON_BUILD_GUI=OFF",
             "-DQUILLON_BUILD_TESTS=OFF", "-DQUILLON_BUILD_BENCH=OFF", f"-DPYTHON_EXECUTABLE={sys.executable}"],
            check=True,
        )
        jobs = os.environ.get("QUILLON_JOBS", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "_quillon", "-j", jobs], check=True)
        built = next((build / "python" / "quillon").glob("_quillon*"))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="quillon",
    version=VERSION,
    description="Quillon, the MDT classification-test simulator, from Python",
    packages=["quillon"],
    ext_modules=[CMakeExtension("quillon._quillon")],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["pandas"],
    python_requires=">=3.9",
)
