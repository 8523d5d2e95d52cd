# A copy of the sample study in a folder of its own, its output beside it: the repository stays
# clean. `edit` changes the study file's text.
study_copy <- function(edit = identity) {
  dir <- tempfile("study")
  dir.create(dir)
  file <- file.path(dir, "study.toml")
  writeLines(edit(readLines(sample_file("sample_study.toml"))), file)
  file
}

read_study_table <- function(path) {
  utils::read.csv(path, check.names = FALSE, colClasses = c(method = "character", `max-length` = "character"))
}

test_that("a study gives the tables and the bytes the runner writes", {
  cli_file <- study_copy()
  sim <- system2(runner(), c("study", "--quiet", cli_file), stdout = FALSE, stderr = FALSE)
  expect_equal(sim, 0L)
  r_file <- study_copy()
  seen <- numeric()
  study <- quillon_study(r_file, threads = 2, progress = function(p) seen <<- c(seen, p))
  expect_equal(normalizePath(study$output), normalizePath(file.path(dirname(r_file), "sample_study_output")))
  for (name in c("results", "summary")) {
    written <- file.path(dirname(cli_file), "sample_study_output", paste0("study_", name, ".csv"))
    expect_equal(study[[name]], read_study_table(written), ignore_attr = TRUE, info = name)
    expect_identical(study[[name]]$`max-length`[1], "10")
    expect_identical(bytes(file.path(study$output, paste0("study_", name, ".csv"))), bytes(written), info = name)
  }
  expect_equal(max(seen), 100)
  expect_false(is.unsorted(seen))
  again <- quillon_study(r_file, progress = FALSE)
  expect_identical(again$summary, study$summary)
})

test_that("a study file the runner refuses is an error with the runner's message", {
  file <- study_copy(function(lines) sub("^replications = 3$", "replications = 3\nreplicashuns = 2", lines))
  err <- tempfile()
  status <- system2(runner(), c("study", "--quiet", file), stdout = FALSE, stderr = err)
  expect_equal(status, 1L)
  message <- sub("^quillon-sim study: ", "", paste(readLines(err), collapse = "\n"))
  expect_match(message, "replicashuns", fixed = TRUE)
  got <- tryCatch(quillon_study(file, progress = FALSE), quillon_error = function(e) conditionMessage(e))
  expect_identical(got, message)
  expect_false(dir.exists(file.path(dirname(file), "sample_study_output")))
})

test_that("an interrupt stops a study and the next call finishes it", {
  # Long enough to be stopped halfway.
  file <- study_copy(function(lines) sub("^examinees = 300$", "examinees = 4000", lines))
  expect_true("examinees = 4000" %in% readLines(file))
  got <- tryCatch(quillon_study(file, threads = 1, progress = function(p) {
    if (p >= 10) tools::pskill(Sys.getpid(), tools::SIGINT)
  }), interrupt = function(e) "interrupted")
  expect_identical(got, "interrupted")
  output <- file.path(dirname(file), "sample_study_output")
  expect_false(file.exists(file.path(output, "study_results.csv")))
  expect_equal(nrow(quillon_study(file, progress = FALSE)$results), 3 * 2 * (10 + 20))
})
