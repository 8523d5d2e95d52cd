library(testthat)
library(quillon)

test_check("quillon")
