"""The Python package against the runner: the same bytes, tables as inputs, errors, interrupts."""

import csv
import json
import os
import pathlib
import re
import signal
import subprocess
import threading
import time

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

import quillon

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("QUILLON_DATA", ROOT / "data"))
SIM = os.environ.get("QUILLON_SIM", str(ROOT / "build" / "cli" / "quillon-sim"))
POOL = DATA / "samplepassfail_pool.csv"
RESPONSES = DATA / "samplepassfail.txt"
SCRIPT = DATA / "samplepassfail_script.csv"
ENEMIES = DATA / "samplepassfail_enemies.csv"


pytestmark = pytest.mark.usefixtures("private_tmpdir")


def sample_pool_frame():
    """The sample pool file as a DataFrame, and its priors."""
    with open(POOL, newline="") as f:
        rows = list(csv.reader(f))
    priors = [float(x) for x in rows[2][4:]]
    items = rows[3:]
    frame = pd.DataFrame(
        {
            "item": [r[0] for r in items],
            "collection": [int(r[1]) for r in items],
            "drop": [i % 5 == 0 for i in range(1, len(items) + 1)],
            "p_group_1": [float(r[4]) for r in items],
            "p_group_2": [float(r[5]) for r in items],
        }
    )
    return frame, priors


def differences_from_written(kept, written, tolerance):
    """A table kept in memory against the runner's file read back: the same columns and texts,
    numbers within the written form's rounding, NaN wherever the file's field is empty. Returns
    (column, row) wherever the kept value is NaN and the file wrote a number."""
    assert list(kept.columns) == list(written.columns)
    gaps = []
    for name in kept.columns:
        if kept[name].dtype == object:
            assert list(kept[name]) == list(written[name]), name
            continue
        a, b = kept[name].to_numpy(dtype=float), written[name].to_numpy(dtype=float)
        assert len(a) == len(b), name
        assert not (np.isnan(b) & ~np.isnan(a)).any(), name
        both = ~np.isnan(a) & ~np.isnan(b)
        assert (np.abs(a[both] - b[both]) <= tolerance(name)).all(), name
        gaps += [(name, int(i)) for i in np.flatnonzero(np.isnan(a) & ~np.isnan(b))]
    return gaps


def results_rounding(name):
    """Half a unit of the last written decimal (#.0000, #.000 for the decided share), and a little."""
    return (5e-4 if name == "sprt_decided" else 5e-5) + 1e-12


def test_same_bytes_as_the_runner_and_tables_at_full_precision(tmp_path):
    names = ["results.csv", "expos.csv", "stopping.csv", "confusion.csv", "trace.csv"]
    runner, package = tmp_path / "runner", tmp_path / "package"
    runner.mkdir()
    package.mkdir()
    subprocess.run(
        [SIM, "--quiet", "--pool", POOL, "--data", RESPONSES, "--method", "MaxDiscr", "--randomization", "2",
         "--results", runner / names[0], "--exposure", runner / names[1], "--stopping", runner / names[2],
         "--confusion", runner / names[3], "--trace", runner / names[4], "--trace-examinees", "25"],
        check=True,
    )
    result = quillon.run(
        POOL, RESPONSES, method="MaxDiscr", randomization=2, results=package / names[0], exposure=package / names[1],
        stopping=package / names[2], confusion=package / names[3], trace=package / names[4], trace_examinees=25,
        threads=2, progress=False,
    )
    for name in names:
        assert (package / name).read_bytes() == (runner / name).read_bytes(), name
    written = {key: quillon.read_results(runner / name)
               for key, name in zip(["results", "exposure", "stopping", "confusion", "trace"], names)}
    # Counts and round-trip numbers come back exactly; the stopping table's means keep 15 digits.
    for key in ("exposure", "confusion", "trace", "stopping"):
        assert differences_from_written(result[key], written[key], lambda name: 1e-13) == [], key
        assert list(result[key].dtypes) == list(written[key].dtypes), key
    # The SPRT's shares have nothing to divide by exactly where it decided no test at that length
    # (as the confusion table counts them): NaN in the DataFrame, .0000 in the file.
    gaps = differences_from_written(result.results, written["results"], results_rounding)
    sprt = result.confusion[result.confusion.rule == "SPRT"].groupby("length").tests.sum()
    undecided = [int(n) - 1 for n in sprt.index[sprt == 0]]
    assert undecided, "the sample's SPRT decides no test after one item"
    assert sorted(gaps) == sorted((c, n) for c in ("sprt_accurate", "sprt_false_pos", "sprt_false_neg")
                                  for n in undecided)
    assert all(written["results"][c][n] == 0 for c, n in gaps)
    assert list(result.results.columns[:5]) == ["length", "map_accurate", "map_false_pos", "map_false_neg",
                                                "map_mean_prob"]
    assert len(result.results) == 80 and len(result.exposure) == 300
    # Counts are integers, shares doubles, and a column with gaps (the stopping summary's) stays double.
    assert result.results.length.dtype == "int64" and result.exposure.uses.dtype == "int64"
    assert result.results.map_accurate.dtype == "float64" and result.stopping.length.dtype == "float64"
    assert result.done.startswith("Done")


@pytest.mark.parametrize("threads", [1, 2])
def test_the_examinees_frame_is_the_runners_file(tmp_path, threads):
    runner_file, package_file = tmp_path / "runner.csv", tmp_path / "package.csv"
    subprocess.run(
        [SIM, "--quiet", "--pool", POOL, "--data", RESPONSES, "--results", tmp_path / "results.csv", "--no-exposure",
         "--stop-probability", ".9", "--stop-probability", ".99", "--tests-per-person", "2", "--threads",
         str(threads), "--examinees", runner_file],
        check=True,
    )
    result = quillon.run(POOL, RESPONSES, no_exposure=True, stop_probability=[.9, .99], tests_per_person=2,
                         threads=threads, examinees=package_file, progress=False)
    assert package_file.read_bytes() == runner_file.read_bytes()
    frame = result.examinees
    with open(runner_file, newline="") as f:
        header, *rows = list(csv.reader(f))
    assert list(frame.columns) == header == [
        "examinee", "examinee_id", "true_group", "test", "map_group", "map_prob", "sprt_length", "sprt_group",
        "posterior_.9_length", "posterior_.9_group", "posterior_.99_length", "posterior_.99_group"]
    assert len(frame) == len(rows) == 2 * 2000
    # Field by field: every number exactly as written (the shortest form that reads back), and
    # missing exactly where the file's field is empty.
    empty = 0
    for name, column in zip(header, zip(*rows)):
        values = list(frame[name])
        if name == "examinee_id":
            assert values == list(column)
            continue
        assert [pd.isna(v) for v in values] == [field == "" for field in column], name
        assert [v for v in values if not pd.isna(v)] == [float(field) for field in column if field != ""], name
        empty += column.count("")
    assert empty > 0, "some test no rule decided"
    # Whole numbers stay whole: integers without a gap, floats only where a rule never decided.
    assert frame.examinee.dtype == frame.map_group.dtype == "int64" and frame.map_prob.dtype == "float64"
    pdt.assert_frame_equal(frame, quillon.read_results(runner_file))
    assert result.summary["threads"] == result.summary["worker_threads"] == threads
    assert result.summary["tests"] == 4000


def test_shares_over_no_test_are_nan(tmp_path):
    result = quillon.run(POOL, [], max_length=4, stopping=True, results=tmp_path / "r.csv", progress=False)
    shares = result.results.drop(columns="length")
    assert shares.isna().all().all() and list(result.results.length) == [1, 2, 3, 4]
    summary = result.stopping[result.stopping.kind == "summary"]
    assert (summary.tests == 0).all() and summary[["atl", "pcc", "undecided_share", "fixed_pcc"]].isna().all().all()
    # The file keeps its format.
    assert (tmp_path / "r.csv").read_text().splitlines()[1] == "1,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000"


@pytest.mark.parametrize(
    "settings, error, text",
    [
        (dict(trace=True, trace_candidates=-1), ValueError,
         'setting trace_candidates: "-1" is not a whole number from 0 to 1000'),
        (dict(trace_examinees=-3), ValueError,
         'setting trace_examinees: "-3" is not a whole number from 0 to 9223372036854775807'),
        (dict(stop_probability=[2.0]), ValueError,
         "setting stop_probability: Stop probability 2 must lie between 0 and 1 (both excluded)."),
        (dict(stop_probability=[.9, float("nan")]), ValueError,
         "setting stop_probability: Stop probability NaN must lie between 0 and 1 (both excluded)."),
        (dict(threads=-1), ValueError, 'setting threads: "-1" is not a whole number from 1 to 1024'),
        (dict(threads=True), ValueError, 'setting threads: "true" is not a whole number from 1 to 1024'),
        (dict(randomization=-1), ValueError, "setting randomization: Randomization factor must be at least 0."),
        (dict(seed=-1), ValueError, 'setting seed: "-1" is not a whole number from 0 to 4294967295'),
        (dict(seed=2**32), ValueError, 'setting seed: "4294967296" is not a whole number from 0 to 4294967295'),
        (dict(max_length=0), ValueError, "setting max_length: Maximum test length must be at least 1."),
        (dict(categories=1), ValueError, "setting categories: N Categories must be at least 2."),
        (dict(method="Fastest"), ValueError, 'setting method: "Fastest" is not one of Shannon, MaxDiscr and MinCost'),
        (dict(max_lenght=30), TypeError,
         'there is no setting named "max_lenght"; the closest valid name is "max_length"'),
        (dict(trace_candidate=2), TypeError,
         'there is no setting named "trace_candidate"; the closest valid name is "trace_candidates"'),
        (dict(progres=False), TypeError, 'there is no setting named "progres"; the closest valid name is "progress"'),
    ],
)
def test_bad_settings_raise_before_anything_runs(tmp_path, settings, error, text):
    results = tmp_path / "results.csv"
    with pytest.raises(error) as raised:
        quillon.run(POOL, RESPONSES, results=results, progress=False, **settings)
    assert str(raised.value) == text
    assert isinstance(raised.value, quillon.QuillonError)
    # The runner creates the results file when it loads; nothing got that far.
    assert not results.exists()


def test_no_temporary_file_while_a_run_goes_on():
    frame, priors = sample_pool_frame()
    folder = pathlib.Path(os.environ["TMPDIR"])
    seen = []

    def progress(done, total):
        seen.append(list(folder.iterdir()))

    result = quillon.run(frame, RESPONSES.read_text().splitlines(), priors=priors, trace=True, trace_candidates=2,
                         stopping=True, confusion=True, max_length=20, threads=2, progress=progress)
    assert seen and all(listing == [] for listing in seen)
    assert len(result.trace) == 2000 * 20 and list(result.trace.columns[-4:]) == [
        "best1_id", "best1_score", "best2_id", "best2_score"]


def test_generate_takes_every_option_of_the_runners_generate(tmp_path):
    options = dict(items=90, collections=3, groups=3, examinees=120, script_length=25, blank_share=0.05,
                   group_shares=[.2, .3, .5], item_quality=1.5, seed=9)
    runner = tmp_path / "runner"
    subprocess.run([SIM, "generate", "--quiet", "--out", runner, "--items", "90", "--collections", "3", "--groups",
                    "3", "--examinees", "120", "--script-length", "25", "--blank-share", "0.05", "--group-shares",
                    ".2,.3,.5", "--item-quality", "1.5", "--seed", "9"], check=True)
    files = quillon.generate(tmp_path / "package", **options)
    for key in ("pool", "script", "enemies", "data"):
        path = pathlib.Path(files[key])
        assert path.read_bytes() == (runner / path.name).read_bytes(), key
    with pytest.raises(quillon.QuillonError, match="Use --force"):
        quillon.generate(tmp_path / "package", **options)
    assert quillon.generate(tmp_path / "package", force=True, **options) == files
    for bad, error, text in [
        (dict(item_quality=-1), ValueError, "--item-quality must be a number from 0 up."),
        (dict(group_shares=[.5, .6]), ValueError, "--group-shares must add up to 1"),
        (dict(seed=-2), ValueError, 'setting seed: "-2" is not a whole number'),
        (dict(item_qualty=2), TypeError, 'the closest valid name is "item_quality"'),
    ]:
        with pytest.raises(error, match=re.escape(text)):
            quillon.generate(tmp_path / "refused", **bad)
    assert not (tmp_path / "refused").exists()


@pytest.mark.parametrize(
    "name, settings",
    [
        ("pool", {"no_uniform_priors": True, "drop_items": True}),
        ("script", {"follow_script": True}),
        ("enemies", {"block_enemies": True, "randomization": 3}),
        ("data", {}),
    ],
)
def test_dataframes_equal_files(tmp_path, name, settings):
    frame, priors = sample_pool_frame()
    pool_file = tmp_path / "pool.csv"
    with open(POOL, newline="") as f:
        rows = list(csv.reader(f))
    with open(pool_file, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\r\n")
        out.writerows(rows[:3])
        for i, r in enumerate(rows[3:], start=1):
            out.writerow([r[0], r[1], r[2], "1" if i % 5 == 0 else ""] + r[4:])
    script = pd.DataFrame({"collection": [1 + k % 4 for k in range(40)], "randomization": [1 + k % 3 for k in range(40)]})
    script_file = tmp_path / "script.csv"
    script_file.write_text("Slot,Collection,,Factor\n" + "".join(
        f"{k + 1},{c},,{r}\n" for k, (c, r) in enumerate(zip(script.collection, script.randomization))))
    enemies = pd.DataFrame({"set": ["a", "a", "b", "b"], "item": ["I0078", "I0248", "I0040", "I0001"]})
    enemies_file = tmp_path / "enemies.csv"
    enemies_file.write_text("Set,N\na,2,I0078,I0248\nb,2,I0040,I0001\n")
    lines = RESPONSES.read_text().splitlines()

    files = dict(pool=pool_file, data=RESPONSES, script=script_file, enemies=enemies_file)
    tables = dict(files)
    tables[name] = {"pool": frame, "script": script, "enemies": enemies, "data": lines}[name]
    common = dict(max_length=40, threads=2, progress=False, **settings)
    from_files = quillon.run(files.pop("pool"), files.pop("data"), **files, **common)
    from_tables = quillon.run(tables.pop("pool"), tables.pop("data"), priors=priors if name == "pool" else None,
                              **tables, **common)
    pdt.assert_frame_equal(from_files.results, from_tables.results)
    pdt.assert_frame_equal(from_files.exposure, from_tables.exposure)


@pytest.mark.parametrize(
    "call, text, kind",
    [
        (lambda: quillon.run(POOL, "/nonexistent/answers.txt", progress=False),
         "Data file /NONEXISTENT/ANSWERS.TXT is not available.", quillon.QuillonInputError),
        (lambda: quillon.run(POOL, RESPONSES, colour=3), 'there is no setting named "colour"',
         quillon.QuillonSettingNameError),
        (lambda: quillon.run(POOL, RESPONSES, max_length="forty"), 'setting max_length: "forty" is not a whole number',
         quillon.QuillonSettingError),
        (lambda: quillon.run(pd.DataFrame({"item": ["A"]}), RESPONSES), "Pool table has no column collection",
         quillon.QuillonInputError),
        (lambda: quillon.run(POOL, RESPONSES, trace=RESPONSES, progress=False),
         "is also the data file", quillon.QuillonOutputError),
        (lambda: quillon.run(POOL, RESPONSES, results=POOL, progress=False),
         "is also the pool file", quillon.QuillonOutputError),
        (lambda: quillon.check(POOL, RESPONSES, colour=3), 'there is no setting named "colour"',
         quillon.QuillonSettingNameError),
        (lambda: quillon.generate("/nonexistent", groups=11), "", quillon.QuillonSettingError),
        (lambda: quillon.read_results(SCRIPT), "is none of the tables Quillon writes.", quillon.QuillonInputError),
    ],
)
def test_errors_are_exceptions_of_their_kinds_class_with_the_runners_texts(call, text, kind):
    with pytest.raises(kind) as raised:
        call()
    assert isinstance(raised.value, quillon.QuillonError)
    assert text in str(raised.value)


def test_a_run_is_cancelled_from_its_progress_callback():
    seen = []

    def progress(done, total):
        seen.append((done, total))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        quillon.run(POOL, RESPONSES, threads=2, progress=progress)
    assert len(seen) == 1 and seen[0][0] < seen[0][1]


def test_sigint_cancels_a_run_and_other_threads_run_meanwhile():
    started = threading.Event()
    ticks = []

    def tick():
        while not started.is_set() or len(ticks) < 1000:
            ticks.append(1)
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()

    def interrupt():
        started.wait()
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=interrupt)
    sender.start()
    seen = []

    def progress(done, total):
        seen.append(done)
        started.set()

    begun = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        quillon.run(POOL, RESPONSES, method="MinCost", threads=1, progress=progress)
    sender.join()
    ticker.join()
    # The GIL was free during the run: the other thread kept going.
    assert len(ticks) > 10
    assert time.monotonic() - begun < 60


def test_two_runs_at_once_each_use_their_threads(tmp_path):
    # About a second a run: long enough that the two surely overlap.
    files = quillon.generate(tmp_path, items=300, examinees=25000, seed=21)
    common = dict(max_length=80, method="MinCost", stopping=True, examinees=True, progress=False)
    single = quillon.run(files["pool"], files["data"], threads=1, **common)
    start = threading.Barrier(2)
    outcomes = {}

    def run(threads):
        start.wait()
        begun = time.monotonic()
        try:
            outcomes[threads] = quillon.run(files["pool"], files["data"], threads=threads, **common)
        except BaseException as error:  # raised again below, on the test's own thread
            outcomes[threads] = error
        outcomes[threads, "span"] = (begun, time.monotonic())

    workers = [threading.Thread(target=run, args=(n,)) for n in (2, 3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    # The two runs overlapped: neither ended before the other began.
    (a0, a1), (b0, b1) = outcomes[2, "span"], outcomes[3, "span"]
    assert a0 < b1 and b0 < a1
    for threads in (2, 3):
        result = outcomes[threads]
        if isinstance(result, BaseException):
            raise result
        # 25000 examinees are 782 batches: every thread a run started simulated some.
        assert result.summary["threads"] == result.summary["worker_threads"] == threads
        for name in ("results", "exposure", "stopping", "examinees"):
            pdt.assert_frame_equal(result[name], single[name], check_exact=True)
    assert single.summary["worker_threads"] == 1


def test_generate_check_and_a_small_run(tmp_path):
    files = quillon.generate(tmp_path, items=80, groups=3, examinees=200, script_length=30, seed=5)
    findings = quillon.check(files["pool"], files["data"], categories=3, max_length=30)
    assert list(findings.columns) == ["file", "line", "column", "kind", "what", "fix"]
    assert findings.attrs["exit_code"] in (0, 3)
    result = quillon.run(files["pool"], files["data"], script=files["script"], categories=3, max_length=30,
                         follow_script=True, confusion=True, progress=False)
    assert "br_accurate" not in result.results.columns
    assert len(result.results) == 30
    assert set(result.confusion.rule) == {"MAP", "SPRT"}
    assert result.confusion[result.confusion.rule == "MAP"].groupby("length").tests.sum().eq(200).all()

    broken = quillon.check(["Item_ID,Collection,Freq,dropQQ,1,2", "N", "P_Grp, , , ,.5,.5", "A,1,,,.5"], files["data"])
    assert (broken.kind == "error").any() and broken.attrs["exit_code"] == 1


@pytest.mark.parametrize("tqdm_there", [True, False])
def test_default_progress_with_and_without_tqdm(monkeypatch, capsys, tqdm_there):
    if tqdm_there:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(__import__("sys").modules, "tqdm.auto", None)  # import fails: no bar
    result = quillon.run(POOL, RESPONSES, max_length=5, threads=2)
    assert len(result.results) == 5
    assert ("tests" in capsys.readouterr().err) == tqdm_there


def test_an_icol_error_is_a_warning_and_the_tables_cover_the_tests_that_ran():
    pool = pd.DataFrame({"item": [f"I{i}" for i in range(1, 301)], "collection": 9, "p_group_1": .4, "p_group_2": .7})
    with pytest.warns(quillon.QuillonWarning, match="icol error  1"):
        result = quillon.run(pool, RESPONSES, max_length=5, progress=False)
    assert len(result.results) == 5


STUDY = DATA / "sample_study.toml"


def study_copy(folder, examinees=300):
    """The sample study in `folder`, its output beside it, so the repository stays clean."""
    folder.mkdir()
    path = folder / "study.toml"
    path.write_text(STUDY.read_text().replace("examinees = 300", f"examinees = {examinees}"))
    assert f"examinees = {examinees}" in path.read_text()
    return path


STUDY_TABLES = ("results", "outcomes", "summary", "conditions")

# The sample study as a design in code: snake_case keys, with fewer examinees (as study_copy's).
SAMPLE_DESIGN = {
    "study": {
        "name": "sample_study",
        "seed": 20261207,
        "replications": 3,
        "output": "designed",
        "reference": {"method": "Shannon"},
    },
    "settings": {"randomization": 2, "use_sprt": False, "stop_probability": [0.9, 0.95], "max_exposure": 0.4},
    "factors": {
        "method": ["Shannon", "MinCost"],
        "exposure_control": ["none", "eligibility", "progressive", "sympson-hetter"],
        "max_length": [10, 20],
    },
    "data": {"generate": {"items": 120, "examinees": 100, "script_length": 20}},
}


def test_a_study_designed_in_code_gives_the_bytes_of_its_study_file(tmp_path, monkeypatch):
    runner_file = study_copy(tmp_path / "runner", examinees=100)
    subprocess.run([SIM, "study", "--quiet", runner_file], check=True)
    written = tmp_path / "runner" / "sample_study_output"
    monkeypatch.chdir(tmp_path)  # the design's output folder is relative to it
    seen = []
    study = quillon.study(SAMPLE_DESIGN, threads=2, progress=lambda done, total: seen.append((done, total)))
    output = pathlib.Path(study.output)
    assert output == tmp_path / "designed"
    assert pathlib.Path(study.file) == output / "study.toml"
    assert 'output = "' + str(output) + '"' in (output / "study.toml").read_text()
    read = quillon.read_study(output)
    for name in STUDY_TABLES:
        assert (output / f"study_{name}.csv").read_bytes() == (written / f"study_{name}.csv").read_bytes(), name
        expected = pd.read_csv(written / f"study_{name}.csv", keep_default_na=False, na_values=[""])
        for text in ("method", "rule", "outcome"):  # an empty text is no rule, not a missing number
            if text in expected:
                expected[text] = expected[text].fillna("")
        pdt.assert_frame_equal(study[name], expected, check_dtype=False)
        pdt.assert_frame_equal(read[name], study[name])
    # Factor columns keep their types; an empty field is missing, not 0.
    assert study.results["max_length"].dtype == np.int64 and study.results["method"].dtype == object
    assert study.conditions["difference_mean"].isna().any()
    assert seen and seen[-1] == (48.0, 48.0)
    # The same design again reruns from its study.toml; another design is refused there.
    again = quillon.study(SAMPLE_DESIGN, progress=False)
    pdt.assert_frame_equal(again.summary, study.summary)
    before = (output / "study.toml").read_bytes()
    with pytest.raises(quillon.QuillonOutputError, match="study.toml"):
        quillon.study({**SAMPLE_DESIGN, "settings": {"randomization": 3}}, progress=False)
    assert (output / "study.toml").read_bytes() == before
    # A design the study refuses leaves no study.toml behind.
    bad = {**SAMPLE_DESIGN, "study": {"output": "bad"}, "settings": {"randomisation": 2}}
    with pytest.raises(quillon.QuillonInputError, match='key "settings.randomisation"'):
        quillon.study(bad, progress=False)
    assert not (tmp_path / "bad").exists()
    with pytest.raises(TypeError, match="settings.alpha"):
        quillon.study({"settings": {"alpha": None}}, progress=False)


def test_a_study_table_is_read_with_its_folder(tmp_path):
    folder = tmp_path / "study"
    folder.mkdir()
    with pytest.raises(quillon.QuillonInputError, match="study_results.csv is not available"):
        quillon.read_study(folder)
    (folder / "study_summary.csv").write_text("condition,method,length,replications\r\n")
    with pytest.raises(quillon.QuillonInputError, match="read_study"):
        quillon.read_results(folder / "study_summary.csv")


def test_a_study_error_is_raised_with_the_studys_message(tmp_path):
    path = study_copy(tmp_path / "bad")
    path.write_text(path.read_text().replace("replications = 3", "replications = 3\nreplicashuns = 2"))
    runner = subprocess.run([SIM, "study", "--quiet", path], capture_output=True, text=True)
    assert runner.returncode == 1
    message = runner.stderr.strip().removeprefix("quillon-sim study: ")
    assert "replicashuns" in message
    with pytest.raises(quillon.QuillonError) as raised:
        quillon.study(path, progress=False)
    assert str(raised.value) == message
    assert not (tmp_path / "bad" / "sample_study_output").exists()


def test_a_study_is_stopped_from_its_progress_callback(tmp_path):
    path = study_copy(tmp_path / "stopped", examinees=4000)  # long enough to be stopped halfway

    def stop(done, total):
        if done >= 1:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        quillon.study(path, threads=1, progress=stop)
    output = tmp_path / "stopped" / "sample_study_output"
    assert not (output / "study_results.csv").exists()
    # What was finished stays, and the rest runs on the next call.
    assert quillon.study(path, progress=False).results.shape[0] == 3 * 2 * 4 * (10 + 20)


def test_the_version_is_the_runners():
    out = subprocess.run([SIM, "--version"], capture_output=True, text=True, check=True).stdout
    assert out == f"quillon-sim {quillon.__version__}\n"


def test_a_run_returns_its_record_and_writes_it_only_beside_a_results_file(tmp_path):
    frame, priors = sample_pool_frame()
    results = tmp_path / "r.csv"
    cases = [
        # (pool, results): a pool given as a table is recorded by its bytes, without a path.
        (str(POOL), results),
        (frame, None),
    ]
    for pool, out in cases:
        extra = {} if out is None else {"results": str(out)}
        run = quillon.run(pool, RESPONSES, priors=None if isinstance(pool, str) else priors, max_length=6,
                          method="MinCost", seed=9, no_exposure=True, progress=False, **extra)
        record = run.record
        assert record["seed"] == 9 and record["tests"] == 2000 and record["settings"]["method"] == "MinCost"
        assert record["settings"]["stop-probability"] == [0.95]
        assert record["programVersion"] == quillon.__version__
        pool_file = record["inputs"][0]
        assert pool_file["role"] == "pool" and re.fullmatch(r"[0-9a-f]{16}", pool_file["fnv1a"])
        assert pool_file["path"] == (pool if isinstance(pool, str) else "")
        if out is not None:
            written = json.loads((tmp_path / "r_run.json").read_text())
            # The file and the dict are one record; its results entry is the table beside it.
            assert written == record
            assert written["outputs"][0]["bytes"] == results.stat().st_size
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.csv", "r_run.json", "tmp"]
