"""`python -m quillon`: its line is the sample data's run, and its exit code tells the truth."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import quillon
from quillon import __main__ as main_module

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("QUILLON_DATA", ROOT / "data"))


pytestmark = pytest.mark.usefixtures("private_tmpdir")


def test_the_line_is_the_run_of_the_repository_sample_files(capsys):
    assert main_module.main([]) == 0
    line = capsys.readouterr().out.strip()
    engine = f"libquillon {quillon.library_version}" if quillon.library_version else "engine compiled in"
    match = re.fullmatch(
        rf"quillon {re.escape(quillon.__version__)} \({engine}\): (\d+) examinees, MAP right for ([0-9.]+) % after "
        r"(\d+) items", line)
    assert match, line
    results = quillon.run(DATA / "samplepassfail_pool.csv", DATA / "samplepassfail.txt", progress=False).results
    assert match.groups() == ("2000", f"{100 * results['map_accurate'].iloc[-1]:.1f}", str(results["length"].iloc[-1]))


def refuse(*args, **kwargs):
    raise quillon.QuillonInputError("Data file X is not available.")


@pytest.mark.parametrize(
    "patch, said",
    [
        (("run", refuse), "QuillonInputError: Data file X is not available."),
        (("generate", lambda folder: (_ for _ in ()).throw(OSError("disk full"))), "OSError: disk full"),
    ],
)
def test_a_failure_is_one_message_and_exit_code_1(monkeypatch, capsys, patch, said):
    monkeypatch.setattr(quillon, *patch)
    assert main_module.main([]) == 1
    out = capsys.readouterr()
    assert out.out == ""
    assert out.err == f"python -m quillon: {said}\n"


@pytest.mark.parametrize("arguments, code, shown", [(["--help"], 0, "sample data"), (["--bogus"], 2, "usage:")])
def test_arguments(arguments, code, shown):
    done = subprocess.run([sys.executable, "-m", "quillon", *arguments], capture_output=True, text=True)
    assert done.returncode == code
    assert shown in done.stdout + done.stderr
