# citation("talven") gives the package and the three papers of the method, each identifiable by
# its journal, volume and pages.
test_that("the citation names the software and the method's sources", {
  entries <- citation("talven")
  expect_length(entries, 4L)
  expect_match(format(entries[[1L]], style = "text"), "R package version")
  papers <- vapply(entries[-1L], function(e) paste(e$journal, e$volume, e$pages, e$year), "")
  expect_identical(papers, c("Machine Learning 8 279--292 1992",
                             "Statistics in Medicine 24 1455--1481 2005",
                             "Electronic Journal of Statistics 8 1225--1272 2014"))
})
