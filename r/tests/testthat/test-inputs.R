# A pool, script and enemies given as data frames run exactly as the files they were read from.
read_script <- function(path) {
  s <- utils::read.csv(path)
  data.frame(collection = s$Collection, randomization = s$Factor)
}

read_enemies <- function(path) {
  rows <- lapply(strsplit(readLines(path)[-1], ","), function(f) {
    data.frame(set = f[1], item = f[-(1:2)])
  })
  do.call(rbind, rows)
}

test_that("data frames give the same tables as the files they were read from", {
  f <- generated()
  p <- read_pool(f$pool)
  cases <- list(
    adaptive = list(method = "MaxDiscr", max_length = 30, no_uniform_priors = TRUE),
    scripted = list(max_length = 30, follow_script = TRUE, block_enemies = TRUE,
                    randomization = 2))
  for (name in names(cases)) {
    from_files <- tempfile(fileext = ".csv")
    from_frames <- tempfile(fileext = ".csv")
    a <- do.call(quillon_run, c(list(f$pool, f$data, script = f$script, enemies = f$enemies,
                                     results = from_files, progress = FALSE), cases[[name]]))
    b <- do.call(quillon_run, c(list(p$pool, f$data, script = read_script(f$script),
                                     enemies = read_enemies(f$enemies), priors = p$priors,
                                     results = from_frames, progress = FALSE), cases[[name]]))
    expect_identical(bytes(from_frames), bytes(from_files), info = name)
    expect_identical(b$results, a$results, info = name)
    expect_identical(b$exposure, a$exposure, info = name)
  }
})

test_that("an exposure table serves as the next run's pool", {
  f <- generated()
  first <- quillon_run(f$pool, f$data, max_length = 30, progress = FALSE)
  expect_named(first$exposure, c("item", "collection", "uses", "drop", "p_group_1", "p_group_2"))
  again <- quillon_run(first$exposure[, -3], f$data, max_length = 30, progress = FALSE)
  expect_identical(again$results, first$results)
})

test_that("results come back with the plain column names, one row per length", {
  f <- generated()
  run <- quillon_run(f$pool, f$data, max_length = 30, progress = FALSE)
  expect_named(run$results, c("length", "map_accurate", "map_false_pos", "map_false_neg",
                              "map_mean_prob", "sprt_decided", "sprt_accurate", "sprt_false_pos",
                              "sprt_false_neg", "br_accurate", "br_false_pos", "br_false_neg",
                              "br_mean_prob"))
  expect_identical(run$results$length, 1:30)
  expect_type(run$exposure$uses, "integer")
  shares <- run$results$map_accurate + run$results$map_false_pos + run$results$map_false_neg
  expect_equal(shares, rep(1, 30), tolerance = 1e-12)
  expect_null(run$trace)
  expect_true(grepl("^Done", run$done))
})
