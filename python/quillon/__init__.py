"""Quillon from Python: runs of the MDT classification-test simulator, returning pandas DataFrames.

The numbers are the runner's own: every table comes from the run's counts at full precision,
with the plain column names of docs/file-formats.md, and a file asked for is written by the
runner's own writers.
"""

import inspect
import json
import numbers
import os
from collections.abc import Mapping
import warnings

import numpy as np
import pandas as pd

from . import _quillon

# The compiled engine's version, so that it cannot drift from the program's.
__version__ = _quillon.__version__
# The shared libquillon's version when the module links it (it may be a later 1.x), else None:
# the engine is then compiled into the module.
library_version = _quillon.library_version

__all__ = [
    "run",
    "generate",
    "check",
    "study",
    "read_results",
    "read_study",
    "calibrate",
    "score",
    "QuillonError",
    "QuillonSettingError",
    "QuillonSettingNameError",
    "QuillonInputError",
    "QuillonOutputError",
    "QuillonWarning",
    "RunResult",
    "StudyResult",
    "CalibrationResult",
]


class QuillonError(RuntimeError):
    """A run, check or read that Quillon refused or could not finish; the text is the system's message."""


class QuillonSettingError(QuillonError, ValueError):
    """A setting's value the runner would refuse; the text names the setting and what it may be."""


class QuillonSettingNameError(QuillonError, TypeError):
    """A setting no function of Quillon has; the text names the closest valid one."""


class QuillonInputError(QuillonError):
    """An input file that is missing, unreadable or refused; the text names it."""


class QuillonOutputError(QuillonError):
    """An output that could not be written, or would replace an input or another output."""


# The one mapping from the layer's kinds of error to exception classes.
_ERRORS = {
    "setting_value": QuillonSettingError,
    "setting_name": QuillonSettingNameError,
    "input": QuillonInputError,
    "output": QuillonOutputError,
}


def _raise_error(out):
    """Raises the error of a call into the layer, if it has one, as its kind's class."""
    if out["error"]:
        raise _ERRORS.get(out["error_kind"], QuillonError)(out["error"])


class QuillonWarning(UserWarning):
    """A message of a run that still completed: an icol error, which cut it short."""


class RunResult(dict):
    """The tables of one run by name (``results``, ``exposure`` and those asked for), also as attributes.

    ``done`` is the run's Done message; ``summary`` a dict of its counts: ``examinees``, ``tests``,
    ``expected_tests``, ``selections``, ``candidates_scored``, ``threads`` (the threads the run was
    given) and ``worker_threads`` (those of them that simulated examinees). ``record`` is what made
    the run, as a dict: the run record of docs/file-formats.md (settings, seed, input and output files
    with their sizes and digests, counts, program version and date), also written beside the results
    table as NAME_run.json when ``results`` names one.
    """

    done = ""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


class StudyResult(RunResult):
    """A study's tables (``results``, ``outcomes``, ``summary``, ``conditions``), its ``output``
    folder and (from ``study``) the study ``file`` that ran, also as attributes."""


def _setting_value(value):
    """A value as the runner's option text: flags true/false, numbers with every digit, lists comma-separated."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (list, tuple)):
        return ",".join(_setting_value(v) for v in value)
    return str(value)  # a float's str reads back as the same float


def _named(options):
    """Keyword arguments as (name, text) pairs, by the names they were given."""
    return [(name, _setting_value(value)) for name, value in options.items()]


def _arguments(function):
    """A function's own argument names, offered for a misspelt setting."""
    return [name for name, p in inspect.signature(function).parameters.items() if p.kind != p.VAR_KEYWORD]


def _columns(frame):
    columns = []
    for name in frame.columns:
        series = frame[name]
        if pd.api.types.is_numeric_dtype(series):  # flags too: True is 1
            columns.append((str(name), False, series.to_numpy(dtype=float, na_value=float("nan"))))
        else:
            columns.append((str(name), True, [str(value) for value in series]))
    return columns


def _input(value, what):
    """A path, a DataFrame (pool, script, enemies) or the lines of the file (a list of str)."""
    if value is None:
        return None
    if isinstance(value, (str, os.PathLike)):
        return ("path", os.fspath(value))
    if isinstance(value, pd.DataFrame):
        return ("table", _columns(value))
    if isinstance(value, (list, tuple)) and all(isinstance(line, str) for line in value):
        return ("text", "".join(line.rstrip("\r\n") + "\r\n" for line in value))
    raise TypeError(f"{what}: give a path, a DataFrame or a list of lines, not {type(value).__name__}")


def _data_input(data, groups):
    """A run's response data: a path or lines as ``_input`` takes them, or a matrix (a 2-D array or
    a DataFrame, one row per examinee and one column per item) with each examinee's true group."""
    if isinstance(data, pd.DataFrame) or isinstance(data, np.ndarray):
        if np.ndim(data) != 2:
            raise ValueError(f"data: a matrix has two dimensions (examinees x items), not {np.ndim(data)}")
        if groups is None:
            raise ValueError("data: a matrix needs groups, each examinee's true group (1, 2, ...)")
        return ("answers", _answers(data, groups))
    if groups is not None:
        # A response file's lines carry their own group digits.
        raise ValueError("groups: give them only with data as a matrix or a DataFrame")
    if data is None or isinstance(data, (str, os.PathLike)) or (
            isinstance(data, (list, tuple)) and all(isinstance(line, str) for line in data)):
        return _input(data, "data")
    raise TypeError("data: give a path, a list of lines, or a 2-D array or DataFrame of answers with groups, "
                    f"not {type(data).__name__}")


def _inputs(pool, data, script, enemies, groups=None):
    return {
        "pool": _input(pool, "pool"),
        "data": _data_input(data, groups),
        "script": _input(script, "script"),
        "enemies": _input(enemies, "enemies"),
    }


def _stop_probability(stop_probability, settings):
    """The stop probabilities as (name, value) pairs, one per value: ``stop_probability`` (one value or
    a list), or the older ``stop_probabilities`` taken from ``settings``, with a deprecation warning."""
    name = "stop_probability"
    if "stop_probabilities" in settings:
        old = settings.pop("stop_probabilities")
        warnings.warn("stop_probabilities is deprecated; use stop_probability (one value or a list)",
                      DeprecationWarning, stacklevel=3)
        if stop_probability is not None:
            raise TypeError("give stop_probability or stop_probabilities, not both")
        name, stop_probability = "stop_probabilities", old
    if stop_probability is None:
        return []
    many = stop_probability if isinstance(stop_probability, (list, tuple, np.ndarray)) else [stop_probability]
    return [(name, _setting_value(x)) for x in many]


def _frame(columns):
    return pd.DataFrame({name: values for name, values in columns}, columns=[name for name, _ in columns])


def _report(wish):
    """A report wish: False, True (kept only in memory) or a path to keep it at as well."""
    if isinstance(wish, (str, os.PathLike)):
        return True, os.fspath(wish)
    return bool(wish), ""


def _progress_bar(progress, unit="tests", desc="Simulation"):
    """The progress callback: the caller's, a tqdm bar when tqdm is there, or none."""
    if progress is False:
        return None, None
    if callable(progress):
        return progress, None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None, None
    bar = tqdm(total=0, unit=unit, desc=desc, leave=False)

    def show(done, total):
        if bar.total != total:
            bar.total = total
        bar.update(done - bar.n)

    return show, bar


def run(
    pool,
    data,
    *,
    groups=None,
    script=None,
    enemies=None,
    priors=None,
    threads=None,
    seed=None,
    trace=False,
    trace_candidates=0,
    trace_examinees=None,
    stopping=False,
    stop_probability=None,
    confusion=False,
    examinees=False,
    progress=None,
    **settings,
):
    """Runs the simulator once, as ``quillon-sim`` with the same options, and returns its tables.

    ``pool``, ``script`` and ``enemies`` are paths or DataFrames. ``data`` is a response file's path,
    a list of its lines, or a matrix: a 2-D NumPy array or a DataFrame, one row per examinee and one
    column per pool item (the k-th column answers the k-th kept item), 1 right, 0 wrong, NaN not
    administered, with ``groups`` each examinee's true group (1-based; with a DataFrame also the
    name of its column). A NaN is written as a blank, which a simulation scores as wrong.
    ``settings`` are the runner's options in snake_case (``max_length=40``,
    ``method="MinCost"``, ``follow_script=True``, ``no_exposure=True``, ``results="out.csv"``). With
    a pool DataFrame, ``priors`` gives the groups' priors. ``trace``, ``stopping``, ``confusion``
    and ``examinees`` are True or a path to keep the table at (the same file as the runner's
    ``--trace``, ``--stopping``, ``--confusion`` and ``--examinees``). ``examinees`` is one row per
    examinee and test: ``examinee``, ``examinee_id``, ``true_group``, ``test``, ``map_group``,
    ``map_prob``, then ``sprt_length`` and ``sprt_group`` and, for each stop probability X,
    ``posterior_X_length`` and ``posterior_X_group``: where each rule first decided, NaN where it
    never did. ``stop_probability`` is one value or a list (``stop_probabilities``, the older name,
    still works with a DeprecationWarning); ``trace_examinees=None`` traces every examinee.
    ``exposure_control`` ("none", "sympson-hetter", "eligibility", "progressive") and
    ``max_exposure`` are settings like the others. ``progress`` is a callable
    ``(tests_done, tests_expected)``, False for none, or None for a tqdm bar when tqdm is installed.
    Ctrl-C (KeyboardInterrupt), or an exception from ``progress``, cancels the run and is raised.

    Every setting is checked as the runner checks it before anything runs: a value it would refuse
    raises QuillonSettingError (a ValueError), a name no setting has QuillonSettingNameError (a
    TypeError) naming the closest valid one. The tables hold the run's values at full precision; a
    share with nothing to divide by (no test the rule decided at that length, no test at all) is NaN.
    """
    trace_on, trace_path = _report(trace)
    stopping_on, stopping_path = _report(stopping)
    confusion_on, confusion_path = _report(confusion)
    examinees_on, examinees_path = _report(examinees)
    reports = {
        "trace": trace_on,
        "trace_path": trace_path,
        "stopping": stopping_on,
        "stopping_path": stopping_path,
        "confusion": confusion_on,
        "confusion_path": confusion_path,
        "examinees": examinees_on,
        "examinees_path": examinees_path,
    }
    stops = _stop_probability(stop_probability, settings)
    named = _named(settings)
    # The run's own choices go with the settings, so that the layer checks them all as the runner does.
    for name, value in (("seed", seed), ("threads", threads), ("trace_candidates", trace_candidates),
                        ("trace_examinees", trace_examinees)):
        if value is not None:
            named.append((name, _setting_value(value)))
    named.extend(stops)
    # A calibrated pool carries its priors, so that it runs as it was estimated.
    if priors is None and isinstance(pool, pd.DataFrame):
        priors = pool.attrs.get("priors")
    inputs = _inputs(pool, data, script, enemies, groups)
    show, bar = _progress_bar(progress)
    try:
        out = _quillon.run(
            named,
            _arguments(run),
            inputs,
            None if priors is None else [float(p) for p in priors],
            reports,
            show,
        )
    finally:
        if bar is not None:
            bar.close()
    if out["cancelled"]:
        raise KeyboardInterrupt("the run was cancelled")
    _raise_error(out)
    for text in out["warnings"]:
        warnings.warn(text, QuillonWarning, stacklevel=2)
    result = RunResult()
    for name in ("results", "exposure", "stopping", "confusion", "trace", "examinees"):
        if name in out:
            result[name] = _frame(out[name])
    result.done = out["done"]
    result.summary = out["summary"]
    result.record = json.loads(out["record"])
    return result


def generate(folder, **options):
    """Writes a consistent set of sample files into ``folder`` (as ``quillon-sim generate``).

    Options, as the runner's: items, collections, groups, examinees, script_length, blank_share,
    group_shares (a list, one share per group), item_quality, seed, and force=True to replace
    files already there. Returns the paths as a dict with the keys pool, script, enemies and
    data, ready for ``run``.
    """
    out = _quillon.generate(_named(options), os.fspath(folder))
    _raise_error(out)
    return {name: out[name] for name in ("pool", "script", "enemies", "data")}


def check(pool, data, *, groups=None, script=None, enemies=None, priors=None, **settings):
    """The checker's findings for a run with these inputs and settings, one row each.

    The inputs as ``run`` takes them, ``data`` also as a matrix with its ``groups``.

    Columns: file, line, column, kind ("error" or "warning"), what, fix. The checker's report text
    is in ``.attrs["text"]`` and the exit code of ``quillon-sim check`` in ``.attrs["exit_code"]``.
    """
    out = _quillon.check(
        _named(settings),
        _arguments(check),
        _inputs(pool, data, script, enemies, groups),
        None if priors is None else [float(p) for p in priors],
    )
    _raise_error(out)
    findings = _frame(out["findings"])
    findings.attrs["text"] = out["text"]
    findings.attrs["exit_code"] = out["exit_code"]
    return findings


def _design_value(value, key):
    """A design's value as the plain types the layer takes: dict, list, str, bool, int, float."""
    if isinstance(value, Mapping):
        return {k: _design_value(v, f"{key}.{k}" if key else str(k)) for k, v in value.items()}
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (str, bool, int, float)):
        return value
    if hasattr(value, "tolist"):  # NumPy arrays and scalars
        return _design_value(value.tolist(), key)
    if isinstance(value, (list, tuple)):
        return [_design_value(v, key) for v in value]
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    raise TypeError(f"study design, key {key}: a study file cannot hold a {type(value).__name__}")


def _study_result(tables, **more):
    return StudyResult({name: _frame(columns) for name, columns in tables.items()}, **more)


def study(design, *, threads=None, progress=None):
    """Runs a study on this machine, as ``quillon-sim study FILE``, and returns its tables.

    ``design`` is a study file's path, or the design itself as a dict with the study file's tables
    and keys (``{"study": {...}, "settings": {...}, "factors": {...}, "data": {"generate": {...}}}``,
    see docs/study.md). A key may use underscores for the file's dashes (``max_length`` is
    ``max-length``). A design is written into the study's output folder as ``study.toml``, the
    relative paths in it (``output``, ``pool``, data files ...) made absolute from the current
    folder, and the study runs from that file; a different ``study.toml`` already there is never
    replaced (QuillonOutputError).

    The result has the study's four tables as DataFrames, as ``read_study`` reads them:
    ``results``, ``outcomes``, ``summary`` and ``conditions``; and ``output``, the folder they are
    in (with the report), and ``file``, the study file that ran. A rerun keeps the runs already
    done. ``threads`` overrides the study's; ``progress`` is a callable ``(tasks_done, tasks)``
    (fractions during a task), False for none, or None for a tqdm bar when tqdm is installed.
    Ctrl-C (KeyboardInterrupt) stops the study and is raised.
    """
    if isinstance(design, Mapping):
        file, plain = None, _design_value(design, "")
    elif isinstance(design, (str, os.PathLike)):
        file, plain = os.fspath(design), None
    else:
        raise TypeError(f"design: give a study file's path or a dict, not {type(design).__name__}")
    show, bar = _progress_bar(progress, unit="runs", desc="Study")
    try:
        named = [] if threads is None else [("threads", _setting_value(threads))]
        out = _quillon.study(file, plain, named, _arguments(study), show)
    finally:
        if bar is not None:
            bar.close()
    if out["cancelled"]:
        raise KeyboardInterrupt("the study was stopped")
    _raise_error(out)
    for text in out["warnings"]:
        warnings.warn(text, QuillonWarning, stacklevel=2)
    return _study_result(out["tables"], output=out["output"], file=out["file"])


def read_study(folder):
    """A finished study's tables from its output folder, as ``study`` returns them.

    ``results`` (per condition, replication and length), ``outcomes`` (per condition, replication
    and outcome), ``summary`` (per condition and length) and ``conditions`` (per condition and
    outcome, with the paired differences to the reference), in the formats of
    docs/file-formats.md. Factor columns have the settings' snake_case names, numbers when every
    level is one; an empty field is NaN. A table missing or not the study's is a QuillonInputError.
    """
    out = _quillon.read_study(os.fspath(folder))
    _raise_error(out)
    return _study_result(out["tables"], output=os.fspath(folder))


def read_results(path):
    """A table written by ``quillon-sim`` as a DataFrame: results, exposure, stopping, confusion, trace
    or examinees. A study's tables are read together, with ``read_study``."""
    out = _quillon.read(os.fspath(path))
    _raise_error(out)
    return _frame(out["table"])


class CalibrationResult(RunResult):
    """A calibration's tables and values by name, also as attributes.

    ``pool`` is a pool DataFrame as ``run`` takes it (``item``, ``collection``, ``drop``,
    ``p_group_1`` ...), its priors in ``pool.attrs["priors"]``; ``calibration`` has one row per
    item and group (``item``, ``collection``, ``group``, ``estimate``, ``standard_error``,
    ``answers``, ``right``, ``flags``); ``fit`` (latent classes only, else None) one row per class
    count (``classes``, ``log_likelihood``, ``parameters``, ``aic``, ``bic``, ``entropy``,
    ``iterations``, ``converged``, ``starts_at_best``, ``chosen``). ``priors`` are the groups'
    shares, ``group_sizes`` the examinees per group and ``warnings`` the calibration's warnings.
    """


def _answers(data, groups=None, items=None, collections=None):
    """Response data as the layer takes it: a path, a list of paths, a DataFrame or a 2-D array."""
    answers = {"groups": None, "examinee_ids": None, "items": None, "collections": None}
    if isinstance(data, (str, os.PathLike)):
        answers.update(form="paths", paths=[os.fspath(data)])
    elif isinstance(data, (list, tuple)) and data and all(isinstance(p, (str, os.PathLike)) for p in data):
        answers.update(form="paths", paths=[os.fspath(p) for p in data])
    elif isinstance(data, pd.DataFrame):
        if isinstance(groups, str):  # the name of the groups' column
            groups, data = data[groups], data.drop(columns=[groups])
        if items is None:
            items = [str(name) for name in data.columns]
        if not isinstance(data.index, pd.RangeIndex):
            answers["examinee_ids"] = [str(i) for i in data.index]
        answers.update(form="matrix", matrix=data.to_numpy(dtype=float, na_value=float("nan")))
    elif np.ndim(data) == 2:  # a NumPy array, or rows as lists
        answers.update(form="matrix", matrix=np.asarray(data, dtype=float))
    else:
        raise TypeError(
            f"data: give a path, a list of paths, a DataFrame or a 2-D array, not {type(data).__name__}")
    if isinstance(items, pd.DataFrame):
        if "collection" in items:
            collections = items["collection"]
        items = items["item"]
    if groups is not None:
        answers["groups"] = pd.Series(groups, dtype=float).to_numpy(na_value=float("nan"))
    if items is not None:
        answers["items"] = [str(i) for i in items]
    if collections is not None:
        answers["collections"] = pd.Series(collections, dtype=float).to_numpy(na_value=float("nan"))
    return answers


def calibrate(
    data,
    groups=None,
    items=None,
    *,
    collections=None,
    latent=None,
    prior=(0.5, 0.5),
    min_answers=20,
    drop_thin=False,
    group_count=None,
    starts=20,
    seed=None,
    tolerance=None,
    max_iterations=None,
):
    """Estimates a pool from pilot answers, as ``quillon-sim calibrate``, and returns its tables.

    ``data`` is a response file's path, a list of them, a DataFrame (one column per item) or a 2-D
    NumPy array (rows examinees, columns items): 1 right, 0 wrong, NaN not administered, as a
    blank is in a response file. ``groups`` gives each examinee's known group (1-based; with a
    DataFrame also the name of its column); a response file's own group digits serve without it.
    ``items`` names the items (a list, or a DataFrame with ``item`` and ``collection``; with a
    DataFrame its column names), ``collections`` their content collections.

    Known groups: each estimate is the share right among the group's answers, shrunk by the
    Beta(``prior``) prior; items with fewer than ``min_answers`` answers from a group are flagged
    thin and, with ``drop_thin``, dropped; ``group_count`` gives the pool more groups than the highest
    in the data. ``latent=G`` (or a range of class counts, such as
    ``range(2, 6)``, the BIC choosing) fits latent classes by EM from ``starts`` seeded starts.

    Returns a CalibrationResult; its warnings are also issued as QuillonWarning. The ``pool`` runs
    as it is: ``quillon.run(result.pool, data_file)``.
    """
    if latent is not None and not isinstance(latent, numbers.Integral):
        counts = list(latent)
        latent = f"{min(counts)}..{max(counts)}" if counts else ""
    named = [("prior", _setting_value(list(prior))), ("min_answers", _setting_value(min_answers)),
             ("drop_thin", _setting_value(drop_thin)), ("starts", _setting_value(starts))]
    for name, value in (("group_count", group_count), ("latent", latent), ("seed", seed), ("tolerance", tolerance),
                        ("max_iterations", max_iterations)):
        if value is not None:
            named.append((name, _setting_value(value)))
    out = _quillon.calibrate(_answers(data, groups, items, collections), named, _arguments(calibrate))
    _raise_error(out)
    for text in out["warnings"]:
        warnings.warn(text, QuillonWarning, stacklevel=2)
    pool = _frame(out["pool"])
    pool.attrs["priors"] = list(out["priors"])
    return CalibrationResult(
        pool=pool,
        calibration=_frame(out["calibration"]),
        fit=None if out["fit"] is None else _frame(out["fit"]),
        priors=list(out["priors"]),
        group_sizes=list(out["group_sizes"]),
        warnings=list(out["warnings"]),
    )


def score(pool, data, *, priors=None, groups=None, sequential=False, order=None, stop_probability=None,
          **settings):
    """Classifies real examinees with a pool, as ``quillon-sim score``: one row per examinee.

    ``pool`` is a pool file's path or a pool DataFrame (``calibrate``'s with its priors, or
    ``priors`` given); ``data`` as for ``calibrate``, the k-th column answering the k-th pool item,
    NaN not administered. ``settings`` are the runner's options that classify, in snake_case
    (``categories=3``, ``no_uniform_priors=True``, the SPRT's and the costs' options);
    ``stop_probability`` is one value or a list, as for ``run``. With ``sequential`` the answers are taken one at a time, in pool order
    or in each examinee's ``order`` (a list of 1-based pool positions per examinee, or a 2-D array
    padded with NaN), and the table tells where each stopping rule first decided.

    The columns are those of the score file: the examinee, the posterior of every group, the MAP
    group and its probability, the decisions.
    """
    if priors is None and isinstance(pool, pd.DataFrame):
        priors = pool.attrs.get("priors")
    stops = _stop_probability(stop_probability, settings)
    named = _named(settings) + stops
    orders = None
    if order is not None:
        orders = [np.asarray(o, dtype=float).ravel() for o in order]
    out = _quillon.score(
        _input(pool, "pool"),
        None if priors is None else [float(p) for p in priors],
        _answers(data, groups),
        named,
        _arguments(score),
        bool(sequential),
        orders,
    )
    _raise_error(out)
    return _frame(out["scores"])
