library(testthat)
library(talven)

test_check("talven")
