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
      expect_equal(run[[t]], quillon_read_results(path("sim", t)), info = paste(name, t))
    }
  }
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
