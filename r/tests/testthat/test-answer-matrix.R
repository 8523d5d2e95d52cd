# Response data as a matrix with its groups, and the names the two packages share.
sample_matrix <- function() {
  lines <- readLines(sample_file("samplepassfail.txt"))
  cells <- lapply(strsplit(substring(sprintf("%-313s", lines), 14), ""), function(x) {
    suppressWarnings(as.double(ifelse(x == " ", NA, x)))
  })
  list(answers = do.call(rbind, cells), groups = as.integer(substr(lines, 12, 12)) + 1L)
}

test_that("a matrix runs as its response file, byte for byte", {
  m <- sample_matrix()
  pool <- sample_file("samplepassfail_pool.csv")
  frame <- as.data.frame(m$answers)
  frame$grp <- m$groups
  given <- list(file = list(sample_file("samplepassfail.txt"), NULL),
                matrix = list(m$answers, m$groups), frame = list(frame, "grp"))
  written <- lapply(given, function(g) {
    out <- c(results = tempfile(fileext = ".csv"), exposure = tempfile(fileext = ".csv"),
             stopping = tempfile(fileext = ".csv"))
    quillon_run(pool, g[[1]], groups = g[[2]], max_length = 30, use_sprt = TRUE, threads = 2,
                results = out[["results"]], exposure = out[["exposure"]], stopping = out[["stopping"]],
                progress = FALSE)
    lapply(out, bytes)
  })
  expect_identical(written$matrix, written$file)
  expect_identical(written$frame, written$file)
})

test_that("exposure control is a run setting", {
  m <- sample_matrix()
  run <- quillon_run(sample_file("samplepassfail_pool.csv"), m$answers[1:50, ], groups = m$groups[1:50],
                     max_length = 10, exposure_control = "progressive", max_exposure = 0.3, progress = FALSE)
  expect_identical(run$record$settings[["exposure-control"]], "progressive")
  expect_error(quillon_run(sample_file("samplepassfail_pool.csv"), sample_file("samplepassfail.txt"),
                           exposure_control = "sometimes", progress = FALSE),
               class = "quillon_setting_error")
})

test_that("data that cannot be a matrix of answers are refused", {
  pool <- sample_file("samplepassfail_pool.csv")
  ones <- matrix(1, 2, 300)
  cases <- list(
    list(ones, NULL, "a matrix needs groups", NULL),
    list(1:300, NULL, "data must be a file path, or a matrix", NULL),
    list(sample_file("samplepassfail.txt"), 1:2, "give them only with data as a matrix", NULL),
    list(ones, 1, "The data have 2 examinees but 1 groups", "quillon_input_error"),
    list(matrix(0.5, 2, 300), 1:2, "0.5 is neither 1 (right), 0 (wrong) nor missing", "quillon_input_error"),
    list(ones, c(1, 3), "Examinee 2: group 3; a run takes groups from 1 to 2 (categories)",
         "quillon_input_error"),
    list(matrix(1, 2, 299), 1:2, "The data have 299 items but the pool has 300", "quillon_input_error"))
  for (c in cases) {
    err <- tryCatch(quillon_run(pool, c[[1]], groups = c[[2]], progress = FALSE), error = identity)
    expect_true(grepl(c[[3]], conditionMessage(err), fixed = TRUE), info = conditionMessage(err))
    if (!is.null(c[[4]])) expect_s3_class(err, c[[4]])
  }
})

test_that("check takes a matrix", {
  m <- sample_matrix()
  findings <- quillon_check(sample_file("samplepassfail_pool.csv"), m$answers[1:20, ], groups = m$groups[1:20])
  expect_false(any(findings$kind == "error"))
})

test_that("stop_probabilities is the older name of stop_probability", {
  m <- sample_matrix()
  run <- function(...) {
    quillon_run(sample_file("samplepassfail_pool.csv"), m$answers[1:40, ], groups = m$groups[1:40],
                max_length = 20, stopping = TRUE, progress = FALSE, ...)
  }
  new <- run(stop_probability = c(.9, .99))
  expect_warning(old <- run(stop_probabilities = c(.9, .99)), "use stop_probability", class = "quillon_deprecated")
  expect_identical(old$stopping, new$stopping)
})
