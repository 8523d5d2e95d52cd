"""Response data as a matrix with its groups, and the names the packages share."""

import os
import pathlib
import warnings

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import quillon

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("QUILLON_DATA", ROOT / "data"))
POOL = DATA / "samplepassfail_pool.csv"
RESPONSES = DATA / "samplepassfail.txt"


def sample_matrix():
    """The sample response file as answers (NaN for a blank) and 1-based groups."""
    rows, groups = [], []
    with open(RESPONSES, newline="") as f:
        for line in f.read().splitlines():
            groups.append(int(line[11]) + 1)
            rows.append([np.nan if c == " " else float(c) for c in line[13:].ljust(300)])
    return np.array(rows), np.array(groups)


def test_a_matrix_runs_as_its_response_file(tmp_path):
    answers, groups = sample_matrix()
    settings = dict(max_length=30, use_sprt=True, threads=2, progress=False)
    written = {}
    for name, data, given in (("file", RESPONSES, None), ("array", answers, groups),
                              ("frame", pd.DataFrame(answers).assign(grp=groups), "grp")):
        folder = tmp_path / name
        folder.mkdir()
        quillon.run(POOL, data, groups=given, results=folder / "r.csv", exposure=folder / "e.csv",
                    stopping=folder / "s.csv", **settings)
        written[name] = [(folder / f).read_bytes() for f in ("r.csv", "e.csv", "s.csv")]
    assert written["array"] == written["file"] == written["frame"]
    # The data are recorded by the bytes read, without a path.
    record = quillon.run(POOL, answers[:5], groups=groups[:5], max_length=5, progress=False).record
    assert [f["path"] for f in record["inputs"] if f["role"] == "data"] == [""]


def test_exposure_control_is_a_run_setting():
    answers, groups = sample_matrix()
    run = quillon.run(POOL, answers[:50], groups=groups[:50], max_length=10, exposure_control="progressive",
                      max_exposure=0.3, progress=False)
    assert len(run.results) == 10
    assert run.record["settings"]["exposure-control"] == "progressive"
    with pytest.raises(quillon.QuillonSettingError, match="exposure_control"):
        quillon.run(POOL, RESPONSES, exposure_control="sometimes", progress=False)


@pytest.mark.parametrize(
    "data, groups, settings, error, text",
    [
        (np.ones(300), [1], {}, ValueError, "a matrix has two dimensions"),
        (np.ones((2, 300)), None, {}, ValueError, "a matrix needs groups"),
        (RESPONSES, [1, 2], {}, ValueError, "groups: give them only with data as a matrix"),
        (np.ones((2, 300)), [1], {}, quillon.QuillonInputError, "The data have 2 examinees but 1 groups"),
        (np.full((2, 300), 0.5), [1, 2], {}, quillon.QuillonInputError,
         "Data row 1, column 1: 0.5 is neither 1 (right), 0 (wrong) nor missing"),
        (np.ones((2, 300)), [1, 3], {}, quillon.QuillonInputError,
         "Examinee 2: group 3; a run takes groups from 1 to 2 (categories)"),
        (np.ones((2, 300)), [0, 1], {}, quillon.QuillonInputError, "Examinee 1: group 0 is not a whole number"),
        (np.ones((2, 299)), [1, 2], {}, quillon.QuillonInputError, "The data have 299 items but the pool has 300"),
        ({"a": 1}, None, {}, TypeError, "data: give a path, a list of lines, or a 2-D array"),
    ],
)
def test_a_matrix_that_cannot_be_the_data_is_refused(data, groups, settings, error, text):
    with pytest.raises(error) as raised:
        quillon.run(POOL, data, groups=groups, progress=False, **settings)
    assert text in str(raised.value)


def test_check_takes_a_matrix():
    answers, groups = sample_matrix()
    findings = quillon.check(POOL, answers[:20], groups=groups[:20])
    assert findings.attrs["exit_code"] in (0, 3)
    assert not (findings.kind == "error").any()


def test_stop_probabilities_is_the_older_name_of_stop_probability():
    answers, groups = sample_matrix()
    kwargs = dict(groups=groups[:40], max_length=20, stopping=True, progress=False)
    new = quillon.run(POOL, answers[:40], stop_probability=[.9, .99], **kwargs)
    with pytest.warns(DeprecationWarning, match="use stop_probability"):
        old = quillon.run(POOL, answers[:40], stop_probabilities=[.9, .99], **kwargs)
    pdt.assert_frame_equal(old.stopping, new.stopping)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError, match="not both"):
            quillon.run(POOL, RESPONSES, stop_probability=.9, stop_probabilities=.9, progress=False)
    pool = quillon.calibrate(answers, groups).pool
    with pytest.warns(DeprecationWarning, match="use stop_probability"):
        old = quillon.score(pool, answers[:10], stop_probabilities=[.8], sequential=True)
    pdt.assert_frame_equal(old, quillon.score(pool, answers[:10], stop_probability=[.8], sequential=True))
