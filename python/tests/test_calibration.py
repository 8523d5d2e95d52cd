"""calibrate and score from Python: data in every form gives the same pool, which runs and scores."""

import os
import pathlib
import subprocess

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import quillon

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("QUILLON_DATA", ROOT / "data"))
RESPONSES = DATA / "samplepassfail.txt"
SIM = os.environ.get("QUILLON_SIM", str(ROOT / "build" / "cli" / "quillon-sim"))


def pilot(seed=3, examinees=300, items=12, missing=0.2):
    """Answers of two groups (0 / NaN not administered) and the groups, from fixed probabilities."""
    rng = np.random.default_rng(seed)
    groups = rng.integers(1, 3, examinees)
    p = np.where(groups[:, None] == 1, 0.3, 0.75) * np.ones(items)
    answers = (rng.random((examinees, items)) < p).astype(float)
    answers[rng.random((examinees, items)) < missing] = np.nan
    return answers, groups


def response_lines(answers, groups):
    """The same answers as response lines: id, group digit (group - 1), a blank where not given."""
    lines = []
    for e, (row, g) in enumerate(zip(answers, groups)):
        cells = "".join(" " if np.isnan(x) else str(int(x)) for x in row)
        lines.append(f"E{e + 1:010d}{g - 1} {cells}\r\n")
    return "".join(lines)


def test_a_matrix_a_frame_and_a_file_give_the_same_pool(tmp_path):
    answers, groups = pilot()
    path = tmp_path / "pilot.txt"
    path.write_text(response_lines(answers, groups), newline="")
    from_file = quillon.calibrate(path)
    from_matrix = quillon.calibrate(answers, groups)
    pdt.assert_frame_equal(from_matrix.pool, from_file.pool)
    pdt.assert_frame_equal(from_matrix.calibration, from_file.calibration)
    assert from_matrix.priors == from_file.priors
    # A DataFrame names the items by its columns and may hold the groups in one of them.
    frame = pd.DataFrame(answers, columns=[f"Q{i}" for i in range(answers.shape[1])])
    frame["grp"] = groups
    from_frame = quillon.calibrate(frame, "grp")
    assert list(from_frame.pool["item"]) == list(frame.columns[:-1])
    pdt.assert_frame_equal(from_frame.pool.drop(columns="item"), from_file.pool.drop(columns="item"))
    # Several files read as one pilot.
    half = len(groups) // 2
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_text(response_lines(answers[:half], groups[:half]), newline="")
    second.write_text(response_lines(answers[half:], groups[half:]), newline="")
    pdt.assert_frame_equal(quillon.calibrate([first, second]).pool, from_file.pool)


def test_nan_is_not_administered():
    answers, groups = pilot(missing=0.4)
    table = quillon.calibrate(answers, groups, min_answers=0).calibration
    for g in (1, 2):
        rows = table[table["group"] == g]
        mine = answers[groups == g]
        np.testing.assert_array_equal(rows["answers"], (~np.isnan(mine)).sum(axis=0))
        np.testing.assert_array_equal(rows["right"], (mine == 1).sum(axis=0))
        # The Beta(0.5, 0.5) prior's estimate from those counts.
        np.testing.assert_allclose(rows["estimate"], (rows["right"] + 0.5) / (rows["answers"] + 1.0), rtol=1e-15)


def written(path):
    """A table the runner wrote, its examinees and items as texts."""
    return pd.read_csv(path, dtype={"item": str, "examinee": str, "line": str, "flags": str}, keep_default_na=False,
                       na_values={"bayes_decision": [""], "stop_length_.95": [""], "sprt_length": [""]},
                       float_precision="round_trip")


def test_the_runners_tables_and_a_pool_that_runs_as_is(tmp_path):
    """The tables are the runner's to the last bit, and the pool with its priors runs as its file does."""
    pool_file, scores_file = tmp_path / "pool.csv", tmp_path / "scores.csv"
    data = str(RESPONSES)
    subprocess.run([SIM, "calibrate", "--quiet", "--data", data, "--out", str(pool_file)], check=True)
    subprocess.run([SIM, "--quiet", "--pool", str(pool_file), "score", "--data", data, "--out", str(scores_file),
                    "--sequential"], check=True)
    cal = quillon.calibrate(RESPONSES)
    assert list(cal.pool.columns) == ["item", "collection", "drop", "p_group_1", "p_group_2"]
    expected = written(tmp_path / "pool_calibration.csv")
    pdt.assert_frame_equal(cal.calibration, expected, check_dtype=False, check_exact=True)
    from_file = quillon.run(pool_file, RESPONSES, max_length=20, no_uniform_priors=True, progress=False)
    from_frame = quillon.run(cal.pool, RESPONSES, max_length=20, no_uniform_priors=True, progress=False)
    pdt.assert_frame_equal(from_frame.results, from_file.results, check_exact=True)
    scores = quillon.score(cal.pool, data, sequential=True)
    pdt.assert_frame_equal(scores, written(scores_file), check_dtype=False, check_exact=True)
    assert len(scores) == sum(1 for line in open(RESPONSES) if line.strip())


def test_an_item_order_is_taken_by_pool_positions():
    answers, groups = pilot(examinees=40)
    cal = quillon.calibrate(answers, groups, min_answers=0)
    # Each examinee's answered items, last first: the same evidence, so the same posterior.
    order = [np.flatnonzero(~np.isnan(row))[::-1] + 1 for row in answers]
    ordered = quillon.score(cal.pool, answers, sequential=True, order=order)
    plain = quillon.score(cal.pool, answers, sequential=True)
    np.testing.assert_allclose(ordered["p_group_1"], plain["p_group_1"], rtol=1e-12)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: quillon.calibrate(np.array([[1.0, 2.0]]), [1]), quillon.QuillonInputError,
         "Data row 1, column 2: 2 is neither"),
        (lambda: quillon.calibrate(np.ones((3, 2)), [1, 2]), quillon.QuillonInputError,
         "3 examinees but 2 groups"),
        (lambda: quillon.calibrate(np.ones((2, 2)), [1, 2.5]), quillon.QuillonInputError,
         "Examinee 2: group 2.5"),
        (lambda: quillon.calibrate(RESPONSES, prior=("x", 1)), quillon.QuillonSettingError, "setting prior"),
        (lambda: quillon.calibrate(RESPONSES, items=["A"]), quillon.QuillonInputError, ""),
        (lambda: quillon.calibrate([RESPONSES, RESPONSES]), quillon.QuillonSettingError, "is given twice"),
        (lambda: quillon.score(RESPONSES, RESPONSES, max_lenght=3), quillon.QuillonSettingNameError,
         "max_length"),
        (lambda: quillon.score(RESPONSES, RESPONSES, seed=3), quillon.QuillonSettingNameError, "seed"),
    ],
)
def test_bad_input_raises_the_systems_message(call, error, message):
    with pytest.raises(error, match=message):
        call()
