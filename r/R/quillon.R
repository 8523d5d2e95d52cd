#' @useDynLib quillon, .registration = TRUE
#' @importFrom Rcpp evalCpp
NULL

# A condition carrying one of the system's messages, so that callers can catch it by class.
quillon_condition <- function(message, type, call) {
  structure(class = c(paste0("quillon_", type), type, "condition"),
            list(message = message, call = call))
}

# The one mapping from the layer's kinds of error to condition classes: every one is a
# quillon_error, a setting's value or name, an input file and an output also of a class of its own.
quillon_error <- function(message, kind, call) {
  own <- switch(kind, setting_value = "quillon_setting_error",
                setting_name = "quillon_setting_name_error", input = "quillon_input_error",
                output = "quillon_output_error", character())
  structure(class = c(own, "quillon_error", "error", "condition"),
            list(message = message, call = call))
}

# One setting's value as the runner reads it: flags as true/false, numbers with every digit;
# `many` joins several with commas. A missing value goes on as text, for the layer to refuse.
setting_text <- function(name, x, many = FALSE) {
  if (length(x) == 0 || (length(x) > 1 && !many)) {
    stop("setting ", name, " must be a single value", call. = FALSE)
  }
  if (is.logical(x) && !anyNA(x)) return(paste(ifelse(x, "true", "false"), collapse = ","))
  if (is.numeric(x)) {
    return(paste(ifelse(is.nan(x), "NaN", ifelse(is.na(x), "NA", sprintf("%.17g", as.double(x)))),
                 collapse = ","))
  }
  paste(ifelse(is.na(x), "NA", as.character(x)), collapse = ",")
}

# Named values from `...`, by the names they were given; `many` names those that take several.
option_values <- function(args, many = character()) {
  if (length(args) == 0) return(stats::setNames(character(), character()))
  names <- names(args)
  if (is.null(names) || any(names == "")) {
    stop("every setting must be named, as in max_length = 40", call. = FALSE)
  }
  values <- mapply(function(n, x) setting_text(n, x, n %in% many), names, args, USE.NAMES = FALSE)
  stats::setNames(values, names)
}

# A function's own argument names, offered for a misspelt setting.
argument_names <- function(f) setdiff(names(formals(f)), "...")

# A report argument: FALSE (none), TRUE (kept in memory only) or a file path to keep it in.
report_wanted <- function(x) isTRUE(x) || (is.character(x) && length(x) == 1)
report_path <- function(x) if (is.character(x)) x else NULL

# A run's response data: a path as it is, or a matrix or data frame of answers (examinees x items)
# with each examinee's true group, handed on as the answers the layer writes as response lines.
run_data <- function(data, groups) {
  if (is.matrix(data) || is.data.frame(data)) {
    if (is.null(groups)) {
      stop("data: a matrix needs groups, each examinee's true group (1, 2, ...)", call. = FALSE)
    }
    return(answers_value(data, groups))
  }
  if (!is.null(groups)) {
    # A response file's lines carry their own group digits.
    stop("groups: give them only with data as a matrix or a data frame", call. = FALSE)
  }
  if (!is.null(data) && !(is.character(data) && length(data) == 1)) {
    stop("data must be a file path, or a matrix or data frame of answers (examinees x items) with groups",
         call. = FALSE)
  }
  data
}

# The older name of stop_probability, taken from a call's `...` with a warning that names the new one.
deprecated_stops <- function(settings, stop_probability) {
  old <- names(settings) == "stop_probabilities"
  if (!any(old)) return(list(settings = settings, stop_probability = stop_probability))
  warning(structure(class = c("quillon_deprecated", "deprecatedWarning", "warning", "condition"),
                    list(message = "stop_probabilities is deprecated; use stop_probability (a vector)",
                         call = NULL)))
  if (!is.null(stop_probability)) {
    stop("give stop_probability or stop_probabilities, not both", call. = FALSE)
  }
  list(settings = settings[!old], stop_probability = unlist(settings[old], use.names = FALSE))
}

run_request <- function(pool, data, script, enemies, settings, arguments, priors = NULL,
                        seed = NULL, threads = NULL, trace = FALSE, trace_candidates = NULL,
                        trace_examinees = NULL, stopping = FALSE, stop_probability = NULL,
                        confusion = FALSE, examinees = FALSE, paths = list(), groups = NULL) {
  data <- run_data(data, groups)
  # The run's own choices go with the settings, so that the layer checks them all as the runner does.
  own <- Filter(Negate(is.null), list(seed = seed, threads = threads,
                                      trace_candidates = trace_candidates,
                                      trace_examinees = trace_examinees))
  settings <- c(settings, option_values(own))
  for (x in stop_probability) settings <- c(settings, stop_probability = setting_text("stop_probability", x))
  list(settings = settings, arguments = arguments, pool = pool, data = data, script = script,
       enemies = enemies, priors = priors, trace = trace, stopping = stopping,
       confusion = confusion, examinees = examinees, paths = paths)
}

# The progress argument as a function of the percentage, with what closes it afterwards.
progress_function <- function(progress) {
  if (is.function(progress)) return(list(show = progress, close = function() NULL))
  if (!isTRUE(progress)) return(list(show = NULL, close = function() NULL))
  bar <- utils::txtProgressBar(min = 0, max = 100, style = 3)
  list(show = function(percent) utils::setTxtProgressBar(bar, min(max(percent, 0), 100)),
       close = function() close(bar))
}

#' Run a simulation
#'
#' Replays every examinee of the response data through simulated tests drawn from the pool, as
#' \command{quillon-sim} does with the same settings, and returns its tables as data frames.
#'
#' @param pool The item pool: a file path, or a data frame with the columns \code{item},
#'   \code{collection}, optionally \code{drop}, and one probability column per group
#'   \code{p_group_1}, \code{p_group_2}, \dots
#' @param data The response data: a response file's path, or a matrix (or data frame) with one
#'   row per examinee and one column per kept pool item (the k-th column answers the k-th item)
#'   holding 1 (right), 0 (wrong) or \code{NA} (not administered, written as a blank, which a
#'   simulation scores as wrong), given with \code{groups}.
#' @param groups With a matrix or data frame of answers, each examinee's true group (1, 2, \dots,
#'   up to the run's \code{categories}); with a data frame also the name of its column.
#' @param ... Settings named like the runner's long options with underscores for dashes, for
#'   example \code{max_length = 40}, \code{method = "MaxDiscr"}, \code{randomization = 3},
#'   \code{follow_script = TRUE}, \code{exposure_control = "progressive"},
#'   \code{max_exposure = 0.3}; \code{quillon_settings()} lists them.
#' @param script,enemies The script and the enemy sets: \code{NULL}, a file path or a data frame
#'   (a script with the columns \code{collection} and \code{randomization}; enemies in long form
#'   with the columns \code{set} and \code{item}).
#' @param threads Threads for the replay (\code{NULL}: one per hardware thread); the tables do
#'   not depend on it.
#' @param seed Where the random generator starts (\code{NULL}: the runner's start).
#' @param trace,stopping,confusion,examinees \code{TRUE} to return that table as well, or a file
#'   path to keep it there too (the same file as the runner's \option{--trace},
#'   \option{--stopping}, \option{--confusion} and \option{--examinees}).
#' @param trace_candidates,trace_examinees The trace's best candidates per row and how many
#'   examinees it keeps (\code{NULL}: all).
#' @param stop_probability The MAP probabilities at which the stopping table stops a test, as a
#'   vector (\code{stop_probabilities}, the older name, still works with a warning).
#' @param priors With a pool data frame, the groups' prior probabilities (by default those
#'   \code{quillon_calibrate} attached to its pool as \code{attr(pool, "priors")}).
#' @param results,exposure File paths to keep the results and exposure tables in, written as the
#'   runner writes them.
#' @param progress \code{TRUE} for a text progress bar, \code{FALSE} for none, or a function
#'   called with the percentage done.
#' @return A list with the data frames \code{results} (one row per test length), \code{exposure}
#'   and \code{stopping} (\code{NULL} when not asked for), \code{trace}, \code{confusion} and
#'   \code{examinees} when asked, \code{done}, the run's closing message, and \code{summary}, a
#'   list of the run's counts: \code{examinees}, \code{tests}, \code{expected_tests},
#'   \code{selections}, \code{candidates_scored}, \code{threads} (the threads the run was given)
#'   and \code{worker_threads} (those of them that simulated examinees), and \code{record}, what
#'   made the run: the run record of docs/file-formats.md as a list (\code{settings} a named list,
#'   \code{inputs} and \code{outputs} lists of files with \code{role}, \code{path}, \code{bytes}
#'   and \code{fnv1a}), also written beside the results as NAME_run.json when \code{results} names
#'   a file. \code{examinees} has one
#'   row per examinee and test: \code{examinee}, \code{examinee_id}, \code{true_group},
#'   \code{test}, \code{map_group}, \code{map_prob}, then \code{sprt_length} and
#'   \code{sprt_group} and, for each stop probability X, \code{posterior_X_length} and
#'   \code{posterior_X_group}: where each rule first decided, \code{NA} where it never did.
#'   The tables hold the run's values at
#'   full precision; a share with nothing to divide by (no test the rule decided at that length,
#'   no test at all) is \code{NA}. A message that stops the run is an error of class
#'   \code{quillon_error}; a setting the runner would refuse is one before anything runs, also of
#'   class \code{quillon_setting_error} (a value, naming the setting and what it may be) or
#'   \code{quillon_setting_name_error} (a name no setting has, naming the closest valid one); an
#'   input file that is missing or refused is also of class \code{quillon_input_error}, a report
#'   that cannot be written or would replace an input of class \code{quillon_output_error}.
#'   Messages of a run that still completes are warnings of class \code{quillon_warning}. An
#'   interrupt (Ctrl-C, Esc) cancels the run.
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 60, examinees = 100, seed = 7)
#' run <- quillon_run(files$pool, files$data, max_length = 20, progress = FALSE)
#' head(run$results)
#' @export
quillon_run <- function(pool, data, ..., groups = NULL, script = NULL, enemies = NULL, threads = NULL,
                        seed = NULL, trace = FALSE, stopping = FALSE, confusion = FALSE,
                        examinees = FALSE, trace_candidates = 0, trace_examinees = NULL, stop_probability = NULL,
                        priors = NULL, results = NULL, exposure = NULL,
                        progress = interactive()) {
  given <- deprecated_stops(list(...), stop_probability)
  # A calibrated pool carries its priors, so that it runs as it was estimated.
  if (is.null(priors) && is.data.frame(pool)) priors <- attr(pool, "priors")
  paths <- list(results = results, exposure = exposure, trace = report_path(trace),
                stopping = report_path(stopping), confusion = report_path(confusion),
                examinees = report_path(examinees))
  request <- run_request(pool, data, script, enemies, option_values(given$settings),
                         argument_names(quillon_run), priors = priors, seed = seed, threads = threads,
                         trace = report_wanted(trace), trace_candidates = trace_candidates,
                         trace_examinees = trace_examinees, stopping = report_wanted(stopping),
                         stop_probability = given$stop_probability,
                         confusion = report_wanted(confusion), examinees = report_wanted(examinees),
                         paths = Filter(Negate(is.null), paths), groups = groups)
  shown <- progress_function(progress)
  out <- tryCatch(.run(request, shown$show), finally = shown$close())
  call <- sys.call()
  for (w in out$warnings) warning(quillon_condition(w, "warning", call))
  if (nzchar(out$error)) stop(quillon_error(out$error, out$error_kind, call))
  if (out$cancelled) stop(quillon_error("The run was cancelled", "message", call))
  run <- list(results = out$results, exposure = out$exposure, stopping = out$stopping)
  if (report_wanted(trace)) run$trace <- out$trace
  if (report_wanted(confusion)) run$confusion <- out$confusion
  if (report_wanted(examinees)) run$examinees <- out$examinees
  run$done <- out$done
  run$summary <- out$summary
  run$record <- out$record
  run
}

#' Check the input files of a run
#'
#' Reads every input a run with the same arguments would read, as \command{quillon-sim check}
#' does, and returns what it found.
#'
#' @inheritParams quillon_run
#' @return A data frame of findings, one row each, with the columns \code{file}, \code{line},
#'   \code{column}, \code{kind} (\code{"error"} or \code{"warning"}), \code{what} and \code{fix};
#'   attribute \code{report} holds the checker's text and \code{status} its exit code (0 clean,
#'   1 errors, 3 warnings only).
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 60, examinees = 100, seed = 7)
#' quillon_check(files$pool, files$data)
#' @export
quillon_check <- function(pool, data, ..., groups = NULL, script = NULL, enemies = NULL, priors = NULL) {
  request <- run_request(pool, data, script, enemies, option_values(list(...)),
                         argument_names(quillon_check), priors = priors, groups = groups)
  out <- .check(request)
  if (nzchar(out$problem)) stop(quillon_error(out$problem, out$problem_kind, sys.call()))
  findings <- out$findings
  attr(findings, "report") <- out$text
  attr(findings, "status") <- out$status
  findings
}

#' Generate simulated input files
#'
#' Writes a consistent pool, script, enemies and response file into a folder, as
#' \command{quillon-sim generate} does.
#'
#' @param folder The folder to write into; made when missing.
#' @param ... Options named like the runner's: \code{items}, \code{collections},
#'   \code{groups}, \code{examinees}, \code{script_length}, \code{blank_share},
#'   \code{group_shares} (one share per group, as a vector), \code{item_quality}, \code{seed},
#'   and \code{force = TRUE} to replace files already in the folder.
#' @return A list of the four file paths: \code{pool}, \code{script}, \code{enemies},
#'   \code{data}.
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 60, examinees = 100, seed = 7)
#' files$pool
#' @export
quillon_generate <- function(folder, ...) {
  dir.create(folder, showWarnings = FALSE, recursive = TRUE)
  out <- .generate(option_values(list(...), many = "group_shares"), folder)
  if (nzchar(out$problem)) stop(quillon_error(out$problem, out$problem_kind, sys.call()))
  out[c("pool", "script", "enemies", "data")]
}

#' Run a simulation study
#'
#' Runs a study on this machine as \command{quillon-sim study} does: every condition of its
#' factors in every replication, then its tables (and its report) in the study's output folder.
#' A rerun keeps the runs already done and runs only the rest.
#'
#' @param design The study file (TOML), as described in the repository's \file{docs/study.md}, or
#'   the design itself as a named list with the study file's tables and keys:
#'   \code{list(study = list(...), settings = list(...), factors = list(...), data =
#'   list(generate = list(...)))}. A key may use underscores for the file's dashes
#'   (\code{max_length} is \code{max-length}); a vector of one is a single value, except for a
#'   factor's levels, data files and group shares, which are always arrays; whole numbers are
#'   written as whole numbers. The design is written into the study's output folder as
#'   \file{study.toml}, relative paths (output, pool, data files) made absolute from the working
#'   directory, and the study runs from that file; a different \file{study.toml} already there is
#'   never replaced (an error of class \code{quillon_output_error}).
#' @param threads Threads for each run (\code{NULL}: as the study says); the tables do not
#'   depend on it.
#' @param progress \code{TRUE} for a text progress bar, \code{FALSE} for none, or a function
#'   called with the percentage of the study done.
#' @return A list with the study's four data frames as \code{quillon_read_study} reads them
#'   (\code{results}, \code{outcomes}, \code{summary}, \code{conditions}), \code{output}, the folder
#'   holding the study's files, and \code{file}, the study file that ran. A study the runner
#'   refuses, or a run that fails, is an error of class \code{quillon_error} with the runner's
#'   message; messages of runs that still complete are warnings of class \code{quillon_warning}.
#'   An interrupt (Ctrl-C, Esc) stops the study; the runs finished so far stay for the next call.
#' @examples
#' design <- list(study = list(replications = 2, output = tempfile("study")),
#'                settings = list(max_length = 10),
#'                factors = list(method = c("Shannon", "MinCost")),
#'                data = list(generate = list(items = 40, examinees = 100, script_length = 10)))
#' study <- quillon_study(design, progress = FALSE)
#' pcc <- study$conditions[study$conditions$outcome == "pcc", ]
#' pcc[, c("method", "rule", "mean", "ci_low", "ci_high")]
#' @export
quillon_study <- function(design, threads = NULL, progress = interactive()) {
  file <- NULL
  if (is.character(design) && length(design) == 1 && !is.na(design)) {
    file <- design
    design <- NULL
  } else if (!is.list(design) || is.null(names(design))) {
    stop("design must be the path of a study file or a named list", call. = FALSE)
  }
  shown <- progress_function(progress)
  settings <- option_values(Filter(Negate(is.null), list(threads = threads)))
  out <- tryCatch(.study(file, design, settings, argument_names(quillon_study), shown$show),
                  finally = shown$close())
  call <- sys.call()
  for (w in out$warnings) warning(quillon_condition(w, "warning", call))
  if (nzchar(out$error)) stop(quillon_error(out$error, out$error_kind, call))
  if (out$cancelled) stop(quillon_error("The study was stopped", "message", call))
  c(out$tables, list(output = out$output, file = out$file))
}

#' Read a finished study's tables
#'
#' Reads the four tables a study writes into its output folder, in the formats of the
#' repository's \file{docs/file-formats.md}.
#'
#' @param folder The study's output folder.
#' @return A list of data frames: \code{results} (per condition, replication and length),
#'   \code{outcomes} (per condition, replication and outcome), \code{summary} (per condition and
#'   length) and \code{conditions} (per condition and outcome, with the paired differences to the
#'   reference). Factor columns have the settings' snake_case names, numeric when every level is a
#'   number; an empty field is \code{NA}. A table that is missing or not the study's is an error of
#'   class \code{quillon_input_error} naming the file.
#' @examples
#' design <- list(study = list(replications = 2, output = tempfile("study")),
#'                factors = list(max_length = c(10, 20)),
#'                data = list(generate = list(items = 40, examinees = 100, script_length = 20)))
#' study <- quillon_study(design, progress = FALSE)
#' identical(quillon_read_study(study$output)$summary, study$summary)
#' @export
quillon_read_study <- function(folder) {
  out <- .readStudy(folder)
  if (nzchar(out$problem)) stop(quillon_error(out$problem, out$problem_kind, sys.call()))
  out$tables
}

#' Read a table written by the runner
#'
#' Reads a results, exposure, stopping, confusion, trace or examinees table written by
#' \command{quillon-sim} (or by \code{quillon_run}) into a data frame with the plain column
#' names. A study's tables are read together, with \code{quillon_read_study}.
#'
#' @param path The table's file path.
#' @return A data frame; a file that is not one of the runner's tables is an error of class
#'   \code{quillon_error} naming the file and line, also of class \code{quillon_input_error}.
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 60, examinees = 100, seed = 7)
#' out <- tempfile(fileext = ".csv")
#' run <- quillon_run(files$pool, files$data, max_length = 20, results = out, progress = FALSE)
#' identical(quillon_read_results(out), run$results)
#' @export
quillon_read_results <- function(path) {
  out <- .readResults(path)
  if (nzchar(out$problem)) stop(quillon_error(out$problem, out$problem_kind, sys.call()))
  out$table
}

#' The settings of a run
#'
#' Every setting \code{quillon_run} and \code{quillon_check} take in \code{...}, by the
#' argument name, the runner's option name and the kind of value.
#'
#' @return A data frame with the columns \code{argument}, \code{name} and \code{kind}.
#' @examples
#' quillon_settings()
#' @export
quillon_settings <- function() {
  s <- .settingNames()
  s$argument <- gsub("-", "_", s$name, fixed = TRUE)
  s[, c("argument", "name", "kind")]
}

# Response data as the layer takes it: file paths, or a matrix (from a data frame or matrix) with
# NA as not administered; a data frame's column names name the items.
answers_value <- function(data, groups = NULL, items = NULL, collections = NULL) {
  if (is.character(data) && is.null(dim(data))) {
    out <- list(form = "paths", paths = data)
  } else if (is.data.frame(data) || is.matrix(data)) {
    if (is.data.frame(data) && is.character(groups) && length(groups) == 1 && groups %in% names(data)) {
      name <- groups
      groups <- data[[name]]
      data <- data[setdiff(names(data), name)]
    }
    if (is.null(items) && !is.null(colnames(data))) items <- colnames(data)
    ids <- rownames(data)
    # Row names R made up are no examinee's identifier.
    if (is.data.frame(data) && .row_names_info(data) < 0) ids <- NULL
    matrix <- as.matrix(data)
    storage.mode(matrix) <- "double"
    out <- list(form = "matrix", matrix = matrix, examinee_ids = ids)
  } else {
    stop("data must be file paths, a data frame or a matrix", call. = FALSE)
  }
  if (is.data.frame(items)) {
    if (!is.null(items$collection)) collections <- items$collection
    items <- items$item
  }
  out$groups <- if (is.null(groups)) NULL else as.double(groups)
  out$items <- if (is.null(items)) NULL else as.character(items)
  out$collections <- if (is.null(collections)) NULL else as.double(collections)
  out
}

#' Calibrate a pool from pilot answers
#'
#' Estimates each item's probability of a right answer in each group from pilot answers, as
#' \command{quillon-sim calibrate} does, and returns the pool, ready for \code{quillon_run}, with
#' the calibration's tables.
#'
#' @param data The pilot's answers: response file paths (a blank answer is not administered), or
#'   a data frame or matrix with one row per examinee and one column per item holding 1 (right),
#'   0 (wrong) or \code{NA} (not administered).
#' @param groups Each examinee's known group (1, 2, \dots; \code{NA} for none), or with a data
#'   frame the name of its column; response files' own group digits serve without it.
#' @param items,collections The items' identifiers and content collections (\code{items} may be a
#'   data frame with the columns \code{item} and \code{collection}); by default a data frame's
#'   column names, or I0001, \dots, in one collection.
#' @param latent The number of latent classes to fit when the groups are unknown, or a range such
#'   as \code{2:5} to fit each and let the BIC choose; \code{NULL} for known groups.
#' @param prior The Beta prior's two parameters every estimate is shrunk by.
#' @param min_answers Fewer answers from a group flag an item as thin.
#' @param drop_thin Whether thin items are marked dropped in the pool.
#' @param group_count The pool's groups when the data's highest group is not the last one
#'   (\code{NULL}: the highest group in the data).
#' @param starts,seed,tolerance,max_iterations The latent class fit's random starts, its seed,
#'   the relative gain in log-likelihood at which it stops and its iteration limit (\code{NULL}:
#'   the runner's defaults).
#' @return A list with the data frames \code{pool} (\code{item}, \code{collection}, \code{drop},
#'   \code{p_group_1}, \dots, its priors also as \code{attr(pool, "priors")}),
#'   \code{calibration} (one row per item and group: \code{item}, \code{collection},
#'   \code{group}, \code{estimate}, \code{standard_error}, \code{answers}, \code{right},
#'   \code{flags}) and \code{fit} (latent classes only, else \code{NULL}: \code{classes},
#'   \code{log_likelihood}, \code{parameters}, \code{aic}, \code{bic}, \code{entropy},
#'   \code{iterations}, \code{converged}, \code{starts_at_best}, \code{chosen}), and
#'   \code{priors} (the groups' shares), \code{group_sizes} and \code{warnings}, which are also
#'   signalled with \code{warning()}. Data that cannot give a pool is an error of class
#'   \code{quillon_error} with the system's message.
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 40, examinees = 400, seed = 7)
#' cal <- quillon_calibrate(files$data)
#' head(cal$pool)
#' run <- quillon_run(cal$pool, files$data, max_length = 20, progress = FALSE)
#' @export
quillon_calibrate <- function(data, groups = NULL, items = NULL, collections = NULL, latent = NULL,
                              prior = c(0.5, 0.5), min_answers = 20, drop_thin = FALSE,
                              group_count = NULL, starts = 20, seed = NULL, tolerance = NULL,
                              max_iterations = NULL) {
  if (length(latent) > 1) latent <- paste0(min(latent), "..", max(latent))
  own <- Filter(Negate(is.null), list(min_answers = min_answers, drop_thin = drop_thin,
                                      group_count = group_count, starts = starts, latent = latent, seed = seed,
                                      tolerance = tolerance, max_iterations = max_iterations))
  settings <- c(prior = setting_text("prior", prior, many = TRUE), option_values(own))
  out <- .calibrate(answers_value(data, groups, items, collections), settings,
                    argument_names(quillon_calibrate))
  call <- sys.call()
  if (nzchar(out$error)) stop(quillon_error(out$error, out$error_kind, call))
  for (w in out$warnings) warning(quillon_condition(w, "warning", call))
  pool <- out$pool
  attr(pool, "priors") <- out$priors
  list(pool = pool, calibration = out$calibration, fit = out$fit, priors = out$priors,
       group_sizes = out$group_sizes, warnings = out$warnings)
}

#' Score real examinees with a pool
#'
#' Classifies each examinee after the items they answered, as \command{quillon-sim score} does:
#' the posterior of every group, the MAP group and its probability and the decisions.
#'
#' @param pool The item pool: a file path, or a data frame as \code{quillon_run} takes it (such
#'   as \code{quillon_calibrate}'s, whose priors it carries).
#' @param data The examinees' answers as for \code{quillon_calibrate}, the k-th column answering
#'   the k-th pool item.
#' @param ... The runner's settings that classify, named as in \code{quillon_run}, for example
#'   \code{categories = 3} or \code{no_uniform_priors = TRUE}.
#' @param priors With a pool data frame, the groups' prior probabilities.
#' @param groups The examinees' groups, as for \code{quillon_calibrate}.
#' @param sequential Whether the answers are taken one at a time, telling where each stopping
#'   rule first decided.
#' @param order With \code{sequential}, each examinee's items in the order given: a list of
#'   1-based pool positions per examinee, or a matrix with one row per examinee padded with
#'   \code{NA}; \code{NULL}: pool order.
#' @param stop_probability The MAP probabilities at which a test stops, as a vector
#'   (\code{stop_probabilities}, the older name, still works with a warning).
#' @return A data frame with one row per examinee and the score table's columns. A pool, data or
#'   setting that does not fit is an error of class \code{quillon_error} with the system's message.
#' @examples
#' files <- quillon_generate(tempfile("quillon"), items = 40, examinees = 400, seed = 7)
#' cal <- quillon_calibrate(files$data)
#' head(quillon_score(cal$pool, files$data))
#' @export
quillon_score <- function(pool, data, ..., priors = NULL, groups = NULL, sequential = FALSE,
                          order = NULL, stop_probability = NULL) {
  if (is.null(priors) && is.data.frame(pool)) priors <- attr(pool, "priors")
  given <- deprecated_stops(list(...), stop_probability)
  settings <- option_values(given$settings)
  stop_probability <- given$stop_probability
  for (x in stop_probability) settings <- c(settings, stop_probability = setting_text("stop_probability", x))
  if (is.matrix(order)) order <- lapply(seq_len(nrow(order)), function(i) order[i, ])
  if (!is.null(order)) order <- lapply(order, as.double)
  out <- .score(pool, priors, answers_value(data, groups), settings, argument_names(quillon_score),
                isTRUE(sequential), order)
  if (nzchar(out$error)) stop(quillon_error(out$error, out$error_kind, sys.call()))
  out$scores
}
