# The statement form, semi and anti joins and top rows: each runs once the
# loaded library has it, and is skipped (with the reason) until then.

skip_without <- function(feature) {
  if (!library_has(feature)) skip(sprintf("this libdfq has no %s", feature))
}

seed <- function(con) {
  DBI::dbWriteTable(con, "l", data.frame(a = c(1L, 2L, 3L, NA, 5L), b = c("p", "q", "r", "s", "t")))
  DBI::dbWriteTable(con, "r", data.frame(a = c(2L, NA, 3L, 3L), c = c(10, 20, 30, 40)))
}

test_that("dfq_dag(form = 'cte') writes common table expressions with the same rows", {
  skip_without("form")
  con <- sqlite_connect()
  seed(con)
  pipeline <- function(dag) {
    base <- dfq_filter(dfq_table(dag, "l"), "a is not null")
    dfq_inner_join(base, base, by = "x.a = y.a", aliases = c("x", "y"),
                   columns = "x.a, y.b") |>
      dfq_arrange("a")
  }
  nested <- local({
    dag <- test_dag(dialect = "sqlite")
    list(rows = collect(pipeline(dag), con), sql = sql_statements(pipeline(dag))$sql)
  })
  dag <- test_dag(dialect = "sqlite", form = "cte")
  expect_identical(dfq_get_option(dag, "form"), "cte")
  cte <- pipeline(dag)
  expect_match(sql_statements(cte)$sql[[1L]], "^with ")
  expect_identical(collect(cte, con, replace = TRUE), nested$rows)
  close(dag)
  expect_error(dfq_dag(form = "flat"), class = "dfq_error")
})

test_that("semi and anti joins keep the rows that have (or lack) a match, with nulls", {
  con <- sqlite_connect()
  seed(con)
  skip_without("semi_join")
  dag <- test_dag(dialect = "sqlite")
  l <- dfq_table(dag, "l")
  r <- dfq_table(dag, "r")
  semi <- dfq_semi_join(l, r, by = "l.a = r.a", columns = "l.*") |> dfq_arrange("a")
  anti <- dfq_anti_join(l, r, by = "l.a = r.a", columns = "l.*") |> dfq_arrange("a")
  expect_identical(collect(semi, con),
                   DBI::dbGetQuery(con, "select * from l where a in (select a from r) order by a"))
  # Rows without a match, the null key included (not in would keep none).
  expect_identical(collect(anti, con)$b, c("s", "p", "t"))
  expect_error(dfq_semi_join(l, r, by = ""), class = "dfq_error")
})

test_that("dfq_top keeps the first n rows under an ordering, ties and 0 included", {
  skip_without("topn")
  con <- sqlite_connect()
  seed(con)
  dag <- test_dag(dialect = "sqlite")
  r <- dfq_table(dag, "r")
  top <- dfq_top(r, 2, "c desc")
  expect_identical(collect(top, con)$c, c(40, 30))
  # Under a tie at the boundary, n rows all the same.
  expect_identical(collect(dfq_top(r, 1, "a desc"), con)$a, 3L)
  # Later nodes read it.
  expect_identical(collect(dfq_summarise(dfq_group_by(top, "a"), "count(*) as n"), con)$n, 2L)
  expect_identical(nrow(collect(dfq_top(r, 0, "c"), con)), 0L)
  expect_error(dfq_top(r, -1, "c"), class = "dfq_argument_error")
})

test_that("with dplyr, its generics reach frames", {
  skip_if_not_installed("dplyr")
  con <- sqlite_connect()
  seed(con)
  dag <- test_dag(dialect = "sqlite")
  r <- dfq_filter(dfq_table(dag, "r"), "c > 15")
  dplyr_fn <- function(name) getExportedValue("dplyr", name)
  expect_output(dplyr_fn("show_query")(r), "where c > 15")
  expect_identical(dplyr_fn("collect")(r, con)$c, c(20, 30, 40))
  expect_identical(dplyr_fn("compute")(r, con, replace = TRUE), r)
  # dfq's generics hand dplyr's objects to dplyr, and refuse the others.
  rows <- data.frame(a = 1)
  expect_identical(collect(rows), dplyr_fn("collect")(rows))
  expect_error(collect(1), class = "dfq_argument_error")
})
