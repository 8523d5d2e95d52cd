"""`python -m quillon`: shows that the installed package works, with one run of the sample data."""

import argparse
import sys
import tempfile

import quillon  # a module that cannot load fails here, before main, with Python's own message

DESCRIPTION = """\
Prints the package's version, the libquillon it runs with, and one line about a run of the
sample data: the repository's sample files (2000 examinees, 300 items), generated afresh in a
temporary folder, run with the default settings. Exit code 0 when the run completed."""


def summary_line(version, library_version, summary, results):
    """The one line printed: the versions, then the examinees and the MAP rule's share right at the longest length."""
    engine = f"libquillon {library_version}" if library_version else "engine compiled in"
    last = results.iloc[-1]
    return (f"quillon {version} ({engine}): {summary['examinees']} examinees, "
            f"MAP right for {100 * last['map_accurate']:.1f} % after {int(last['length'])} items")


def main(argv=None):
    """Runs the check and returns the exit code."""
    parser = argparse.ArgumentParser(prog="python -m quillon", description=DESCRIPTION)
    parser.parse_args(argv)
    try:
        with tempfile.TemporaryDirectory(prefix="quillon-sample-") as folder:
            files = quillon.generate(folder)
            run = quillon.run(files["pool"], files["data"], progress=False)
        if run.results.empty:
            raise quillon.QuillonError("the run gave no results")
        print(summary_line(quillon.__version__, quillon.library_version, run.summary, run.results))
    except Exception as error:  # any failure is reported as one line and a non-zero exit code
        print(f"python -m quillon: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
