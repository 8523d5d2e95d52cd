# A copy of the sample study in a folder of its own, its output beside it: the repository stays
# clean. `edit` changes the study file's text.
study_copy <- function(edit = identity) {
  dir <- tempfile("study")
  dir.create(dir)
  file <- file.path(dir, "study.toml")
  writeLines(edit(readLines(sample_file("sample_study.toml"))), file)
  file
}

study_tables <- c("results", "outcomes", "summary", "conditions")

# The sample study as a design in code, snake_case keys, with fewer examinees; its output folder
# is relative to the working directory.
sample_design <- function(output) {
  list(study = list(name = "sample_study", seed = 20261207, replications = 3, output = output,
                    reference = list(method = "Shannon")),
       settings = list(randomization = 2, use_sprt = FALSE, stop_probability = c(0.9, 0.95),
                       max_exposure = 0.4),
       factors = list(method = c("Shannon", "MinCost"),
                      exposure_control = c("none", "eligibility", "progressive", "sympson-hetter"),
                      max_length = c(10, 20)),
       data = list(generate = list(items = 120, examinees = 100, script_length = 20)))
}

test_that("a study designed in R gives the bytes of its study file and reads back", {
  cli_file <- study_copy(function(lines) sub("^examinees = 300$", "examinees = 100", lines))
  expect_equal(system2(runner(), c("study", "--quiet", cli_file), stdout = FALSE, stderr = FALSE), 0L)
  written <- file.path(dirname(cli_file), "sample_study_output")
  dir <- tempfile("design")
  dir.create(dir)
  old <- setwd(dir)
  on.exit(setwd(old))
  seen <- numeric()
  study <- quillon_study(sample_design("designed"), threads = 2, progress = function(p) seen <<- c(seen, p))
  expect_equal(normalizePath(study$output), normalizePath(file.path(dir, "designed")))
  expect_equal(normalizePath(study$file), normalizePath(file.path(dir, "designed", "study.toml")))
  read <- quillon_read_study(study$output)
  for (name in study_tables) {
    file <- paste0("study_", name, ".csv")
    expect_identical(bytes(file.path(study$output, file)), bytes(file.path(written, file)), info = name)
    expected <- utils::read.csv(file.path(written, file), check.names = FALSE, na.strings = "")
    expected[] <- lapply(expected, function(x) if (is.logical(x)) as.numeric(x) else x)  # all empty
    for (text in intersect(c("rule", "outcome"), names(expected))) expected[[text]][is.na(expected[[text]])] <- ""
    expect_equal(study[[name]], expected, ignore_attr = TRUE, info = name)
    expect_identical(read[[name]], study[[name]], info = name)
  }
  # Factor columns keep their types; an empty field is NA, not 0.
  expect_true(is.numeric(study$results$max_length))
  expect_true(is.character(study$results$method))
  expect_true(anyNA(study$conditions$difference_mean))
  expect_equal(max(seen), 100)
  # Another design is refused where a study.toml is; a refused design leaves none behind.
  toml <- bytes(study$file)
  changed <- sample_design("designed")
  changed$settings$randomization <- 3
  expect_error(quillon_study(changed, progress = FALSE), class = "quillon_output_error")
  expect_identical(bytes(study$file), toml)
  bad <- sample_design("bad")
  names(bad$settings)[1] <- "randomisation"
  expect_error(quillon_study(bad, progress = FALSE), "settings.randomisation", class = "quillon_input_error")
  expect_false(dir.exists(file.path(dir, "bad")))
  expect_error(quillon_study(list(settings = list(alpha = NA)), progress = FALSE), "missing value",
               class = "quillon_input_error")
  expect_error(quillon_read_results(file.path(study$output, "study_summary.csv")), "quillon_read_study",
               class = "quillon_input_error")
  expect_error(quillon_read_study(dir), "study_results.csv", class = "quillon_input_error")
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
  expect_equal(nrow(quillon_study(file, progress = FALSE)$results), 3 * 2 * 4 * (10 + 20))
})
