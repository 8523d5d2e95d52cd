# quillon_calibrate and quillon_score: data in every form gives the same pool, which runs and scores.

# Answers of two groups (NA not administered) from fixed probabilities, and the groups.
pilot <- function(seed = 3, examinees = 300, items = 12, missing = 0.2) {
  set.seed(seed)
  groups <- sample(1:2, examinees, replace = TRUE)
  p <- matrix(ifelse(groups == 1, 0.3, 0.75), examinees, items)
  answers <- (matrix(stats::runif(examinees * items), examinees) < p) + 0
  answers[matrix(stats::runif(examinees * items), examinees) < missing] <- NA
  list(answers = answers, groups = groups)
}

# The same answers as response lines: id, group digit (group - 1), a blank where not given.
write_responses <- function(answers, groups, path) {
  cells <- apply(answers, 1, function(row) paste(ifelse(is.na(row), " ", row), collapse = ""))
  lines <- sprintf("E%010d%d %s", seq_along(groups), groups - 1L, cells)
  writeLines(lines, path)
  path
}

test_that("a matrix, a data frame and a file give the same pool", {
  d <- pilot()
  from_file <- quillon_calibrate(write_responses(d$answers, d$groups, tempfile(fileext = ".txt")))
  from_matrix <- quillon_calibrate(d$answers, d$groups)
  expect_identical(from_matrix$pool, from_file$pool)
  expect_identical(from_matrix$calibration, from_file$calibration)
  frame <- as.data.frame(d$answers)
  names(frame) <- sprintf("Q%d", seq_len(ncol(frame)))
  frame$grp <- d$groups
  from_frame <- quillon_calibrate(frame, "grp")
  expect_identical(from_frame$pool$item, names(frame)[-ncol(frame)])
  expect_identical(from_frame$pool[-1], from_file$pool[-1])
})

test_that("NA is not administered", {
  d <- pilot(missing = 0.4)
  table <- quillon_calibrate(d$answers, d$groups, min_answers = 0)$calibration
  for (g in 1:2) {
    rows <- table[table$group == g, ]
    mine <- d$answers[d$groups == g, ]
    expect_equal(rows$answers, unname(colSums(!is.na(mine))))
    expect_equal(rows$right, unname(colSums(mine == 1, na.rm = TRUE)))
  }
})

test_that("the pool runs as its file does and scores every examinee", {
  f <- generated()
  pool_file <- tempfile(fileext = ".csv")
  expect_equal(run_runner(c("calibrate", "--data", f$data, "--out", pool_file))$status, 0)
  cal <- quillon_calibrate(f$data)
  expect_named(cal$pool, c("item", "collection", "drop", "p_group_1", "p_group_2"))
  from_file <- quillon_run(pool_file, f$data, max_length = 20, no_uniform_priors = TRUE, progress = FALSE)
  from_frame <- quillon_run(cal$pool, f$data, max_length = 20, no_uniform_priors = TRUE, progress = FALSE)
  expect_identical(from_frame$results, from_file$results)
  scores <- quillon_score(cal$pool, f$data)
  expect_equal(nrow(scores), length(readLines(f$data)))
  posterior <- scores[startsWith(names(scores), "p_group_")]
  expect_equal(ncol(posterior), 2)
  expect_equal(rowSums(posterior), rep(1, nrow(scores)), tolerance = 1e-12)
})

test_that("bad data are errors of class quillon_error with the system's message", {
  f <- generated()
  cases <- list(
    list(quote(quillon_calibrate(matrix(c(1, 2), 1), 1)), "quillon_input_error", "2 is neither"),
    list(quote(quillon_calibrate(matrix(1, 3, 2), 1:2)), "quillon_input_error", "3 examinees but 2 groups"),
    list(quote(quillon_calibrate(f$data, prior = c("x", "1"))), "quillon_setting_error", "setting prior"),
    list(quote(quillon_score(f$pool, f$data, max_lenght = 3)), "quillon_setting_name_error", "max_length"))
  for (case in cases) {
    err <- tryCatch(eval(case[[1]]), error = function(e) e)
    expect_s3_class(err, case[[2]])
    expect_match(conditionMessage(err), case[[3]], fixed = TRUE)
  }
})
