"""setup.py's choice between the installed libquillon and compiling the engine, against pkg-config."""

import importlib.machinery
import pathlib
import sys
import sysconfig
import types

import pytest

SETUP = pathlib.Path(__file__).resolve().parents[1] / "setup.py"
setup_py = types.ModuleType("quillon_setup")
setup_py.__file__ = str(SETUP)
# Not as __main__, so nothing is built; and no __pycache__ beside the package's sources.
dont_write, sys.dont_write_bytecode = sys.dont_write_bytecode, True
importlib.machinery.SourceFileLoader("quillon_setup", str(SETUP)).exec_module(setup_py)
sys.dont_write_bytecode = dont_write

PC = """prefix=${{pcfiledir}}/../../
includedir=${{prefix}}/include
libdir=${{prefix}}/lib

Name: quillon
Description: test
Version: {version}
Cflags: -std=c++20 -I${{includedir}}
Libs: -L${{libdir}} -lquillon
"""


@pytest.mark.parametrize(
    "version, bundled, why",
    [
        (setup_py.VERSION, "", None),
        (setup_py.VERSION, "0", None),
        (setup_py.VERSION, "1", "QUILLON_BUNDLED is set"),
        ("0.1", "", f"no libquillon {setup_py.VERSION} found by pkg-config (found 0.1)"),
        (None, "", f"no libquillon {setup_py.VERSION} found by pkg-config (found none)"),
    ],
)
def test_the_library_is_used_only_at_the_package_version(tmp_path, monkeypatch, version, bundled, why):
    prefix = tmp_path / "prefix"
    (prefix / "lib" / "pkgconfig").mkdir(parents=True)
    if version is not None:
        (prefix / "lib" / "pkgconfig" / "quillon.pc").write_text(PC.format(version=version))
    monkeypatch.setenv("PKG_CONFIG_PATH", str(prefix / "lib" / "pkgconfig"))
    monkeypatch.setenv("PKG_CONFIG_LIBDIR", str(tmp_path / "nothing"))  # no quillon.pc of the system's
    monkeypatch.setenv("QUILLON_BUNDLED", bundled)
    library, reason = setup_py.installed_library()
    assert reason == why
    if why is None:
        # The libdir as the runtime path must be: plain, whatever ${pcfiledir} made of it.
        assert library["libdir"] == str(prefix.resolve() / "lib")
        assert "-lquillon" in library["libs"]
        assert any(flag.startswith("-I") and pathlib.Path(flag[2:]).resolve() == prefix.resolve() / "include"
                   for flag in library["cflags"])
    else:
        assert library is None


multiarch = sysconfig.get_config_var("MULTIARCH")


@pytest.mark.parametrize(
    "libdir, default",
    [
        ("/usr/lib", True),
        (f"/usr/lib/{multiarch}", bool(multiarch)),
        ("/usr/local/lib", False),  # searched only through ld.so.cache, after ldconfig
        ("/opt/quillon/lib", False),
    ],
)
def test_a_runtime_path_only_outside_the_linker_s_own_folders(libdir, default):
    assert setup_py.searched_by_default(libdir) is default
