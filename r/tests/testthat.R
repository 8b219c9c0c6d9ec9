library(testthat)
library(dfq)

test_check("dfq")
