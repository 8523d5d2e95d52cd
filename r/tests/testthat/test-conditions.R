# Problems arrive as R conditions of their own class, with the system's texts.
test_that("bad settings and inputs are errors of class quillon_error", {
  f <- generated()
  cases <- list(
    list(quote(quillon_run(f$pool, f$data, max_lenght = 30, progress = FALSE)),
         "no setting named \"max-lenght\""),
    list(quote(quillon_run(f$pool, f$data, max_length = "forty", progress = FALSE)),
         "not a whole number"),
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

test_that("arguments R cannot pass on are plain R errors", {
  f <- generated()
  expect_error(quillon_run(f$pool, f$data, 30, progress = FALSE), "must be named")
  expect_error(quillon_run(f$pool, f$data, max_length = c(1, 2), progress = FALSE), "single value")
  expect_error(quillon_run(42, f$data, progress = FALSE), "file path or a data frame")
  expect_error(quillon_run(f$pool, f$data, seed = -1, progress = FALSE), "seed must be")
  expect_error(quillon_run(f$pool, f$data, seed = 2^32, progress = FALSE), "seed must be")
  expect_error(quillon_run(f$pool, f$data, threads = 1.5, progress = FALSE), "threads must be")
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
