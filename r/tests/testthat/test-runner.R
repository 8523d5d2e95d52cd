# The package writes through the runner's own writers: the same settings give the same bytes.
test_that("the tables are the runner's, byte for byte, for the sample data", {
  pool <- sample_file("samplepassfail_pool.csv")
  data <- sample_file("samplepassfail.txt")
  script <- sample_file("samplepassfail_script.csv")
  enemies <- sample_file("samplepassfail_enemies.csv")
  cases <- list(
    defaults = list(r = list(), cli = character(), reports = FALSE),
    scripted = list(
      r = list(method = "MinCost", max_length = 40, randomization = 3, follow_script = TRUE,
               block_enemies = TRUE, use_sprt = TRUE, trace_candidates = 2, trace_examinees = 25,
               stop_probability = c(.9, .99), seed = 12345),
      cli = c("--method", "MinCost", "--max-length", "40", "--randomization", "3",
              "--follow-script", "--block-enemies", "--use-sprt", "--trace-candidates", "2",
              "--trace-examinees", "25", "--stop-probability", ".9", "--stop-probability", ".99",
              "--seed", "12345"),
      reports = TRUE))
  tables <- c("results", "exposure", "stopping", "confusion", "trace")
  for (name in names(cases)) {
    case <- cases[[name]]
    dir <- tempfile(name)
    dir.create(file.path(dir, "r"), recursive = TRUE)
    dir.create(file.path(dir, "sim"))
    kept <- if (case$reports) tables else tables[1:2]
    path <- function(side, table) file.path(dir, side, paste0(table, ".csv"))
    cli_paths <- unlist(lapply(kept, function(t) c(paste0("--", t), path("sim", t))))
    sim <- run_runner(c("--pool", pool, "--data", data, "--script", script, "--enemies", enemies,
                        "--threads", "1", case$cli, cli_paths))
    expect_equal(sim$status, 0L, info = name)

    r_paths <- stats::setNames(lapply(kept, function(t) path("r", t)), kept)
    run <- do.call(quillon_run, c(list(pool, data, script = script, enemies = enemies,
                                       threads = 2, progress = FALSE), case$r, r_paths))
    for (t in kept) {
      expect_identical(bytes(path("r", t)), bytes(path("sim", t)), info = paste(name, t))
      written <- quillon_read_results(path("sim", t))
      if (t == "results") {
        # The SPRT's shares have nothing to divide by exactly where it decided no test at that
        # length: NA in the data frame, .0000 in the file.
        gaps <- differences_from_written(run$results, written, results_rounding, paste(name, t))
        undecided <- which(run$results$sprt_decided == 0)
        expect_gt(length(undecided), 0)
        expect_identical(gaps, list(sprt_accurate = undecided, sprt_false_pos = undecided,
                                    sprt_false_neg = undecided), info = name)
        expect_true(all(written$sprt_accurate[undecided] == 0), info = name)
      } else {
        # Counts and round-trip numbers come back exactly; the stopping table's means keep 15 digits.
        gaps <- differences_from_written(run[[t]], written, function(column) 1e-13, paste(name, t))
        expect_length(gaps, 0)
      }
    }
  }
})

test_that("shares over no test at all are NA, and the file keeps its format", {
  pool <- sample_file("samplepassfail_pool.csv")
  empty <- tempfile(fileext = ".txt")
  file.create(empty)
  out <- tempfile(fileext = ".csv")
  run <- quillon_run(pool, empty, max_length = 3, stopping = TRUE, results = out, progress = FALSE)
  expect_identical(run$results$length, 1:3)
  expect_true(all(is.na(run$results[, -1])))
  summary <- run$stopping[run$stopping$kind == "summary", ]
  expect_true(all(summary$tests == 0) && all(is.na(summary[, c("atl", "pcc", "fixed_pcc")])))
  expect_identical(readLines(out)[2], "1,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000")
})

test_that("a run makes no temporary file, not even while it goes on", {
  tmp <- tempfile("tmpdir")
  dir.create(tmp)
  old <- Sys.getenv("TMPDIR", unset = NA)
  Sys.setenv(TMPDIR = tmp)
  on.exit(if (is.na(old)) Sys.unsetenv("TMPDIR") else Sys.setenv(TMPDIR = old), add = TRUE)
  p <- read_pool(sample_file("samplepassfail_pool.csv"))
  seen <- character()
  run <- quillon_run(p$pool, sample_file("samplepassfail.txt"), priors = p$priors, max_length = 20,
                     trace = TRUE, stopping = TRUE, confusion = TRUE, threads = 2,
                     progress = function(percent) seen <<- c(seen, list.files(tmp, all.files = TRUE, no.. = TRUE)))
  expect_length(seen, 0)
  expect_length(list.files(tmp, all.files = TRUE, no.. = TRUE), 0)
  expect_equal(nrow(run$trace), 2000 * 20)
})

test_that("generate takes every option the runner's generate has", {
  runner_dir <- tempfile("sim")
  status <- system2(runner(), c("generate", "--quiet", "--out", runner_dir, "--items", "90",
                                "--collections", "3", "--groups", "3", "--examinees", "120",
                                "--script-length", "25", "--blank-share", "0.05",
                                "--group-shares", ".2,.3,.5", "--item-quality", "1.5", "--seed", "9"))
  expect_equal(status, 0L)
  args <- list(items = 90, collections = 3, groups = 3, examinees = 120, script_length = 25,
               blank_share = 0.05, group_shares = c(.2, .3, .5), item_quality = 1.5, seed = 9)
  dir <- tempfile("r")
  files <- do.call(quillon_generate, c(list(dir), args))
  for (f in files) expect_identical(bytes(f), bytes(file.path(runner_dir, basename(f))), info = f)
  expect_error(do.call(quillon_generate, c(list(dir), args)), "Use --force", class = "quillon_error")
  expect_identical(do.call(quillon_generate, c(list(dir, force = TRUE), args)), files)
  err <- tryCatch(quillon_generate(tempfile(), item_qualty = 2), error = function(e) e)
  expect_s3_class(err, "quillon_setting_name_error")
  expect_match(conditionMessage(err), "the closest valid name is \"item_quality\"", fixed = TRUE)
  err <- tryCatch(quillon_generate(tempfile(), group_shares = c(.5, .6)), error = function(e) e)
  expect_s3_class(err, "quillon_setting_error")
  expect_match(conditionMessage(err), "--group-shares must add up to 1", fixed = TRUE)
})

test_that("a message that stops a run is the runner's text", {
  data <- sample_file("samplepassfail.txt")
  missing <- file.path(tempdir(), "no_such_pool.csv")
  sim <- run_runner(c("--pool", missing, "--data", data, "--results", tempfile(), "--no-exposure"))
  expect_equal(sim$status, 1L)
  err <- tryCatch(quillon_run(missing, data, progress = FALSE), quillon_error = function(e) e)
  expect_s3_class(err, "quillon_error")
  expect_true(startsWith(paste(sim$stderr, collapse = "\n"), conditionMessage(err)))
})

# The examinees table is the runner's --examinees file value for value, for one thread and two:
# lengths and groups whole, NA exactly where the file's fields are empty, map_prob as written.
test_that("the examinees table is the runner's file", {
  pool <- sample_file("samplepassfail_pool.csv")
  data <- sample_file("samplepassfail.txt")
  for (threads in 1:2) {
    dir <- tempfile("examinees")
    dir.create(dir)
    sim_file <- file.path(dir, "sim.csv")
    r_file <- file.path(dir, "r.csv")
    sim <- run_runner(c("--pool", pool, "--data", data, "--results", file.path(dir, "results.csv"),
                        "--no-exposure", "--stop-probability", ".9", "--stop-probability", ".99",
                        "--tests-per-person", "2", "--threads", threads, "--examinees", sim_file))
    expect_equal(sim$status, 0L)
    run <- quillon_run(pool, data, no_exposure = TRUE, stop_probability = c(.9, .99),
                       tests_per_person = 2, threads = threads, examinees = r_file, progress = FALSE)
    expect_identical(bytes(r_file), bytes(sim_file), info = threads)
    # The file's own fields, read as text: nothing of the package's reader in between.
    fields <- utils::read.csv(sim_file, colClasses = "character", check.names = FALSE,
                              na.strings = character())
    expect_identical(names(run$examinees), names(fields))
    expect_equal(nrow(run$examinees), 4000L)
    empty <- 0
    for (name in names(fields)) {
      kept <- run$examinees[[name]]
      if (name == "examinee_id") {
        expect_identical(kept, fields[[name]])
        next
      }
      expect_identical(typeof(kept), if (name == "map_prob") "double" else "integer", info = name)
      expect_identical(is.na(kept), fields[[name]] == "", info = name)
      given <- fields[[name]] != ""
      # R's own reading of a 17-digit number may miss the last bit; the reader below is exact.
      expect_equal(as.double(kept[given]), as.double(fields[[name]][given]), tolerance = 1e-15,
                   info = name)
      empty <- empty + sum(!given)
    }
    expect_gt(empty, 0)
    expect_identical(run$examinees, quillon_read_results(sim_file))
    expect_identical(run$summary$threads, threads)
    expect_identical(run$summary$worker_threads, threads)
  }
})

test_that("a run returns its record, the one it writes beside its results", {
  out <- tempfile(fileext = ".csv")
  run <- quillon_run(sample_file("samplepassfail_pool.csv"), sample_file("samplepassfail.txt"), max_length = 5,
                     seed = 3, stop_probability = c(.9, .99), results = out, no_exposure = TRUE, progress = FALSE)
  record <- run$record
  expect_equal(record$seed, 3)
  expect_equal(record$tests, 2000)
  expect_identical(record$settings$`max-length`, 5)
  expect_identical(record$settings$`stop-probability`, c(.9, .99))
  expect_identical(record$settings$`no-exposure`, TRUE)
  expect_identical(vapply(record$inputs, `[[`, "", "role"), c("pool", "data"))
  expect_identical(record$outputs[[1]]$path, out)
  expect_equal(record$outputs[[1]]$bytes, file.size(out))
  beside <- sub("\\.csv$", "_run.json", out)
  expect_true(file.exists(beside))
  expect_true(any(grepl(record$outputs[[1]]$fnv1a, readLines(beside), fixed = TRUE)))
})
