"""Builds the quillon Python package.

With libquillon's development files installed (pkg-config finds `quillon` at this package's
version) only the module is compiled, against the shared library: seconds. Otherwise CMake
compiles the engine from the repository's sources into the module: minutes. QUILLON_BUNDLED=1
forces the second way. `pip install -v` shows the progress lines this prints (see README.md).
"""

import atexit
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The engine's programVersion is the version's one home; the module's __version__ is the same.
VERSION = re.search(r'programVersion = "([0-9.]+)"',
                    (ROOT / "engine/include/quillon/engine/program_version.h").read_text()).group(1)
MODULE_SOURCE = "src/quillon_module.cpp"
# As the project compiles everything: plain IEEE double, so the tables are the runner's.
CXX_FLAGS = ["-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden", "-g0"]


def say(text):
    """One progress line on the standard error, which `pip install -v` shows."""
    print(f"quillon: {text}", file=sys.stderr, flush=True)


def pkg_config(*arguments):
    """pkg-config's answer about quillon, or None when it has none (or is not installed)."""
    try:
        done = subprocess.run(["pkg-config", *arguments, "quillon"], capture_output=True, text=True)
    except FileNotFoundError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def installed_library():
    """(pkg-config's flags and libdir, None) for a libquillon of this version, else (None, why not)."""
    if os.environ.get("QUILLON_BUNDLED", "") not in ("", "0"):
        return None, "QUILLON_BUNDLED is set"
    if shutil.which("pkg-config") is None:
        return None, "pkg-config is not installed"
    if pkg_config("--exists", f"--exact-version={VERSION}") is None:
        found = pkg_config("--modversion")
        return None, f"no libquillon {VERSION} found by pkg-config (found {found or 'none'})"
    cflags, libs, libdir = (pkg_config(o) for o in ("--cflags", "--libs", "--variable=libdir"))
    if cflags is None or libs is None or not libdir:
        return None, "pkg-config's quillon.pc gives no flags or no libdir"
    return {"cflags": shlex.split(cflags), "libs": shlex.split(libs), "libdir": os.path.realpath(libdir)}, None


def searched_by_default(libdir):
    """Whether the dynamic linker finds a library in `libdir` without a runtime path or its cache."""
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    trusted = {"/lib", "/lib64", "/usr/lib", "/usr/lib64"}
    if multiarch:
        trusted |= {f"/lib/{multiarch}", f"/usr/lib/{multiarch}"}
    return libdir in {os.path.realpath(d) for d in trusted}


class Build(build_ext):
    """Compiles the module against libquillon when pkg-config finds it, else the engine with it."""

    def build_extension(self, ext):
        library, why = installed_library()
        if library is None:
            say(f"{why}: compiling the engine from the repository's sources; this takes several minutes")
            self.build_bundled(ext)
            return
        say(f"building against libquillon {VERSION} from {library['libdir']}")
        ext.include_dirs.append(self.pybind11_include())
        ext.extra_compile_args = library["cflags"] + CXX_FLAGS + ["-DQUILLON_LINKS_LIBRARY"]
        ext.extra_link_args = list(library["libs"])
        if not searched_by_default(library["libdir"]):
            # So that an install under /usr/local or any prefix loads without LD_LIBRARY_PATH.
            ext.extra_link_args.append(f"-Wl,-rpath,{library['libdir']}")
        say("compiling the module (about 30 s)")
        started = time.monotonic()
        super().build_extension(ext)
        say(f"module compiled in {time.monotonic() - started:.0f} s")

    @staticmethod
    def pybind11_include():
        try:
            import pybind11
        except ImportError:
            sys.exit("quillon: the pybind11 Python module is missing (Debian's python3-pybind11)")
        return pybind11.get_include()

    def build_bundled(self, ext):
        """Configures the whole project without the desktop program and builds only the module."""
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("QUILLON_JOBS") or str(len(os.sched_getaffinity(0)))
        say(f"configuring with CMake in {build}")
        started = time.monotonic()
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DQUILLON_BUILD_GUI=OFF",
             "-DQUILLON_BUILD_TESTS=OFF", "-DQUILLON_BUILD_BENCH=OFF", f"-DPYTHON_EXECUTABLE={sys.executable}"],
            check=True, stdout=sys.stderr,
        )
        say(f"compiling the engine and the module with {jobs} jobs (QUILLON_JOBS sets how many)")
        subprocess.run(["cmake", "--build", str(build), "--target", "_quillon", "-j", jobs], check=True,
                       stdout=sys.stderr)
        built = next((build / "python" / "quillon").glob("_quillon*"))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        say(f"engine and module compiled in {time.monotonic() - started:.0f} s")


def main():
    # setuptools' work folders (build/, quillon.egg-info) go to a scratch folder, not beside the sources.
    scratch = tempfile.mkdtemp(prefix="quillon-build-")
    atexit.register(shutil.rmtree, scratch, ignore_errors=True)
    setup(
        name="quillon",
        version=VERSION,
        description="Quillon, the MDT classification-test simulator, from Python",
        packages=["quillon"],
        ext_modules=[Extension("quillon._quillon", sources=[MODULE_SOURCE], language="c++")],
        cmdclass={"build_ext": Build},
        options={"build": {"build_base": os.path.join(scratch, "build")}, "egg_info": {"egg_base": scratch}},
        install_requires=["pandas"],
        python_requires=">=3.9",
    )


# pip's build backend runs this file as __main__; the tests import it for its choices.
if __name__ == "__main__":
    main()
