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
