# Problems arrive as R conditions of their own class, with the system's texts.
test_that("bad settings and inputs are errors of class quillon_error", {
  f <- generated()
  cases <- list(
    list(quote(quillon_run(f$pool, f$data, method = "Fastest", progress = FALSE)),
         "Shannon, MaxDiscr and MinCost"),
    list(quote(quillon_run(data.frame(item = "A", collection = 1), f$data, progress = FALSE)),
         NULL),
    list(quote(quillon_read_results(f$data)), basename(f$data)),
    list(quote(quillon_generate(tempfile(), items = -3)), "items"),
    list(quote(quillon_check(f$pool, f$data, alpha = "x")), "alpha"))
  for (case in cases) {
    err <- tryCatch(eval(case[[1]]), error = function(e) e)
    expect_s3_class(err, "quillon_error")
    if (!is.null(case[[2]])) expect_match(conditionMessage(err), case[[2]], fixed = TRUE)
  }
})

# An input file refused and an output that cannot be written each have a class of their own.
test_that("input and output errors are of their own classes", {
  f <- generated()
  cases <- list(
    list(quote(quillon_read_results(f$data)), "quillon_input_error"),
    list(quote(quillon_run(f$pool, file.path(tempdir(), "none.txt"), progress = FALSE)), "quillon_input_error"),
    list(quote(quillon_run(f$pool, f$data, trace = f$data, progress = FALSE)), "quillon_output_error"),
    list(quote(quillon_run(f$pool, f$data, results = f$pool, progress = FALSE)), "quillon_output_error"),
    list(quote(quillon_generate(dirname(f$pool))), "quillon_output_error"))
  for (case in cases) {
    err <- tryCatch(eval(case[[1]]), error = function(e) e)
    expect_s3_class(err, case[[2]])
    expect_s3_class(err, "quillon_error")
  }
})

# Every setting is checked as the runner checks it before anything runs: a value it would refuse
# is a quillon_setting_error naming the setting and what it may be, a name no setting has a
# quillon_setting_name_error naming the closest valid one; the results file is not even made.
test_that("settings the runner would refuse are refused before the run, by class", {
  f <- generated()
  value <- "quillon_setting_error"
  name <- "quillon_setting_name_error"
  cases <- list(
    list(list(trace = TRUE, trace_candidates = -1), value,
         "setting trace_candidates: \"-1\" is not a whole number from 0 to 1000"),
    list(list(trace_examinees = -1), value,
         "setting trace_examinees: \"-1\" is not a whole number from 0 to 9223372036854775807"),
    list(list(stop_probability = 2), value,
         "setting stop_probability: Stop probability 2 must lie between 0 and 1 (both excluded)."),
    list(list(stop_probability = c(.9, NaN)), value,
         "setting stop_probability: Stop probability NaN must lie between 0 and 1 (both excluded)."),
    list(list(threads = -1), value, "setting threads: \"-1\" is not a whole number from 1 to 1024"),
    list(list(threads = 1.5), value, "setting threads: \"1.5\" is not a whole number from 1 to 1024"),
    list(list(randomization = -1), value,
         "setting randomization: Randomization factor must be at least 0."),
    list(list(seed = -1), value, "setting seed: \"-1\" is not a whole number from 0 to 4294967295"),
    list(list(seed = 2^32), value,
         "setting seed: \"4294967296\" is not a whole number from 0 to 4294967295"),
    list(list(max_length = 0), value, "setting max_length: Maximum test length must be at least 1."),
    list(list(max_length = "forty"), value, "setting max_length: \"forty\" is not a whole number"),
    list(list(max_length = NA), value, "setting max_length: \"NA\" is not a whole number"),
    list(list(max_lenght = 30), name,
         "there is no setting named \"max_lenght\"; the closest valid name is \"max_length\""),
    list(list(stop_probabilty = .9), name,
         "there is no setting named \"stop_probabilty\"; the closest valid name is \"stop_probability\""),
    list(list(progres = FALSE), name,
         "there is no setting named \"progres\"; the closest valid name is \"progress\""))
  for (case in cases) {
    out <- tempfile(fileext = ".csv")
    err <- tryCatch(do.call(quillon_run, c(list(f$pool, f$data, results = out, progress = FALSE),
                                           case[[1]])),
                    error = function(e) e)
    expect_s3_class(err, case[[2]])
    expect_s3_class(err, "quillon_error")
    expect_identical(conditionMessage(err), case[[3]])
    expect_false(file.exists(out), info = case[[3]])
  }
  err <- tryCatch(quillon_study(tempfile(), threads = 0), error = function(e) e)
  expect_s3_class(err, value)
  expect_match(conditionMessage(err), "setting threads", fixed = TRUE)
})

test_that("arguments R cannot pass on are plain R errors", {
  f <- generated()
  expect_error(quillon_run(f$pool, f$data, 30, progress = FALSE), "must be named")
  expect_error(quillon_run(f$pool, f$data, max_length = c(1, 2), progress = FALSE), "single value")
  expect_error(quillon_run(42, f$data, progress = FALSE), "file path or a data frame")
  expect_error(quillon_run(data.frame(item = "A", x = I(list(1))), f$data, progress = FALSE),
               "neither numbers nor texts")
})

test_that("the check returns its findings as a data frame", {
  f <- generated()
  clean <- quillon_check(f$pool, f$data, max_length = 30)
  expect_equal(nrow(clean), 0)
  expect_equal(attr(clean, "status"), 0)
  pool <- readLines(f$pool)
  fields <- strsplit(pool[4], ",")[[1]]
  fields[5] <- "1.5"
  pool[4] <- paste(fields, collapse = ",")
  bad <- tempfile(fileext = ".csv")
  writeLines(pool, bad)
  found <- quillon_check(bad, f$data, max_length = 30)
  expect_equal(attr(found, "status"), 1)
  expect_equal(found$kind[1], "error")
  expect_equal(found$line[1], 4)
  expect_equal(found$file[1], bad)
})

# Ctrl-C reaches R as SIGINT; a progress function may also raise an interrupt itself. Either way
# the run is cancelled at its next progress point: the engine still writes the tables of the tests
# it took, as after a cancel in the window, so they differ from a whole run's; the next run starts
# clean.
test_that("an interrupt cancels the run and leaves no table", {
  f <- generated()
  whole_file <- tempfile(fileext = ".csv")
  whole <- quillon_run(f$pool, f$data, max_length = 30, threads = 1, results = whole_file,
                       progress = FALSE)
  raise <- list(
    signal = function() tools::pskill(Sys.getpid(), tools::SIGINT),
    condition = function() signalCondition(structure(class = c("interrupt", "condition"), list())))
  for (how in names(raise)) {
    out <- tempfile(fileext = ".csv")
    seen <- integer()
    progress <- function(percent) {
      seen <<- c(seen, percent)
      if (percent >= 10) raise[[how]]()
    }
    got <- tryCatch(quillon_run(f$pool, f$data, max_length = 30, threads = 1, results = out,
                                progress = progress),
                    interrupt = function(e) "interrupted")
    expect_identical(got, "interrupted", info = how)
    expect_false(identical(bytes(out), bytes(whole_file)), info = how)
    expect_lt(max(seen), 100)
    again <- quillon_run(f$pool, f$data, max_length = 30, threads = 1, progress = FALSE)
    expect_identical(again$results, whole$results, info = how)
  }
})

test_that("an error in the progress function ends the run and reaches the caller", {
  f <- generated()
  expect_error(quillon_run(f$pool, f$data, max_length = 30,
                           progress = function(p) stop("no display")), "no display")
  expect_equal(nrow(quillon_run(f$pool, f$data, max_length = 30, progress = FALSE)$results), 30)
})
