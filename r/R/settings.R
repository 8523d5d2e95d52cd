#' @useDynLib quillon, .registration = TRUE
NULL

# The runner's long options, as named settings of a run.
quillon_settings <- function() {
  s <- .settingNames()
  s$argument <- gsub("-", "_", s$name, fixed = TRUE)
  s[, c("argument", "name", "kind")]
}
