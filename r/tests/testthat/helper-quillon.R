# The runner and the repository's sample data, given by the repository's test (tests/CMakeLists.txt);
# R CMD check on a tarball has neither and skips the comparisons that need them.
runner <- function() {
  sim <- Sys.getenv("QUILLON_SIM")
  if (!nzchar(sim) || !file.exists(sim)) skip("QUILLON_SIM does not name the runner")
  sim
}

sample_file <- function(name) {
  dir <- Sys.getenv("QUILLON_SOURCE_DIR")
  if (!nzchar(dir)) skip("QUILLON_SOURCE_DIR is not set")
  file.path(dir, "data", name)
}

bytes <- function(path) readBin(path, "raw", file.info(path)$size)

# Runs the runner; its exit code and standard error.
run_runner <- function(args) {
  err <- tempfile()
  status <- system2(runner(), c("--quiet", args), stdout = FALSE, stderr = err)
  list(status = status, stderr = readLines(err, warn = FALSE))
}

# A small consistent set of input files, made once per test file.
generated <- local({
  files <- NULL
  function() {
    if (is.null(files)) {
      files <<- quillon_generate(tempfile("quillon"), items = 150, examinees = 2000, seed = 11)
    }
    files
  }
})

# A table kept in memory against the runner's file read back: the same columns and texts, each
# number within tolerance(column) of the written one, NA wherever the file's field is empty.
# Returns, per column, the rows where only the kept table is NA.
differences_from_written <- function(kept, written, tolerance, info = "") {
  expect_identical(names(kept), names(written), info = info)
  gaps <- list()
  for (name in names(kept)) {
    a <- kept[[name]]
    b <- written[[name]]
    if (is.character(a)) {
      expect_identical(a, b, info = paste(info, name))
      next
    }
    expect_identical(typeof(a), typeof(b), info = paste(info, name))
    expect_false(any(is.na(b) & !is.na(a)), info = paste(info, name))
    both <- !is.na(a) & !is.na(b)
    expect_true(all(abs(a[both] - b[both]) <= tolerance(name)), info = paste(info, name))
    rows <- which(is.na(a) & !is.na(b))
    if (length(rows) > 0) gaps[[name]] <- rows
  }
  gaps
}

# Half a unit of the results table's last written decimal (#.0000; #.000 for the decided share).
results_rounding <- function(name) if (name == "sprt_decided") 5e-4 + 1e-12 else 5e-5 + 1e-12

# A pool file as the data frame the packages take, with its priors.
read_pool <- function(path) {
  lines <- readLines(path)
  priors <- as.numeric(strsplit(lines[3], ",")[[1]][-(1:4)])
  items <- utils::read.csv(path, skip = 3, header = FALSE, colClasses = "character")
  groups <- ncol(items) - 4
  pool <- data.frame(item = items[[1]], collection = as.numeric(items[[2]]),
                     drop = as.numeric(items[[4]]))
  for (g in seq_len(groups)) pool[[paste0("p_group_", g)]] <- as.numeric(items[[4 + g]])
  list(pool = pool, priors = priors)
}
