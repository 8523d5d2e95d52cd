test_that("the package's version is the engine's, and the citation names it without warnings", {
  expect_identical(as.character(packageVersion("quillon")), quillon:::.engineVersion())
  expect_no_warning(entry <- format(citation("quillon"), style = "text"))
  expect_match(entry, paste0("^Quillon developers \\([0-9]{4}\\)\\..*R package version ",
                             gsub(".", "\\.", quillon:::.engineVersion(), fixed = TRUE), "\\.$"))
  expect_false(grepl("????", entry, fixed = TRUE))
})
