# Misuse: closed and dropped dags, a second open dag, wrong types, NULL and
# NA arguments, library refusals as dfq_error, and failing statements that
# leave nothing behind.

test_that("a closed dag and its frames refuse every use; a second open dag is refused", {
  dag <- dfq_dag(dialect = "sqlite")
  sales <- dfq_table(dag, "sales")
  expect_error(dfq_dag(), class = "dfq_dag_error", regexp = "already open")
  close(dag)
  close(dag) # closing twice is harmless
  expect_output(print(dag), "closed")
  expect_output(print(sales), "closed dag")
  for (use in list(function() dfq_filter(sales, "a > 1"), function() show_query(sales),
                   function() sql_statements(sales), function() dfq_table(dag, "x"),
                   function() dfq_get_option(dag, "dialect"),
                   function() collect(sales, DBI::ANSI()))) {
    expect_error(use(), class = "dfq_dag_error", regexp = "closed")
  }
  # The next dag's graph does not let the old frames in.
  other <- test_dag()
  expect_error(dfq_filter(sales, "a > 1"), class = "dfq_dag_error")
  expect_error(dfq_union(dfq_table(other, "x"), sales), class = "dfq_dag_error")
})

test_that("a dag collected while open is closed, so the next dfq_dag() starts afresh", {
  local({
    dropped <- dfq_dag(dialect = "sqlite")
    dfq_filter(dfq_table(dropped, "sales"), "a > 1")
  })
  dag <- test_dag()
  # A new instance: the dropped one's dialect is gone.
  expect_identical(dfq_get_option(dag, "dialect"), "default")
  expect_match(sql_statements(dfq_filter(dfq_table(dag, "t"), "a > 1"))$sql,
               "^select \\* from t where a > 1$")
})

test_that("wrong types, NULL and NA are refused before the library is called", {
  dag <- test_dag()
  t <- dfq_table(dag, "t")
  bad_texts <- list(NULL, NA, NA_character_, 1, c("a", "b"), character(), list("a"), TRUE)
  for (bad in bad_texts) {
    expect_error(dfq_filter(t, bad), class = "dfq_argument_error")
    expect_error(dfq_table(dag, bad), class = "dfq_argument_error")
    expect_error(dfq_inner_join(t, t, by = bad), class = "dfq_argument_error")
    if (!is.null(bad)) {
      expect_error(dfq_filter(t, "a > 1", name = bad), class = "dfq_argument_error")
    }
  }
  expect_error(dfq_filter(t, NA), "not NA")
  expect_error(dfq_filter(t, NULL), "not NULL")
  expect_error(dfq_filter("t", "a > 1"), class = "dfq_argument_error")
  expect_error(dfq_table(list(), "t"), class = "dfq_argument_error")
  expect_error(dfq_inner_join(t, "t", by = "x"), class = "dfq_argument_error")
  expect_error(dfq_head(t, -1), class = "dfq_argument_error")
  expect_error(dfq_head(t, 1.5), class = "dfq_argument_error")
  expect_error(dfq_head(t, NA), class = "dfq_argument_error")
  expect_error(dfq_mutate(t, "a as b", drop = NA), class = "dfq_argument_error")
  expect_error(dfq_sample(t), class = "dfq_argument_error")
  expect_error(dfq_sample(t, n = 1, prop = 0.5), class = "dfq_argument_error")
  expect_error(dfq_filter(t, "a", name = "s."), "empty schema or table")
  expect_error(dfq_filter(t, "a", name = 's.a"b'), "cannot contain")
  expect_error(collect(dfq_filter(t, "a > 1"), "not a connection"),
               class = "dfq_argument_error")
  expect_error(dfq_dag(schema = NA), class = "dfq_argument_error")
  # None of these added a node: the graph still gives t's statements only.
  expect_identical(sql_statements(dfq_filter(t, "a > 1"))$sql, "select * from t where a > 1")
})

test_that("library refusals are dfq_error conditions with the code and the message", {
  dag <- test_dag(dialect = "sqlite")
  t <- dfq_table(dag, "t")
  e <- tryCatch(dfq_filter(dfq_arrange(t, "a"), "a > 1"), dfq_error = identity)
  expect_s3_class(e, "dfq_error")
  expect_identical(e$code, 1203L)
  expect_true(nzchar(e$library_message))
  expect_identical(conditionMessage(e), paste0("DFQ-1203: ", e$library_message))
  e <- tryCatch(dfq_set_option(dag, "colour", "red"), dfq_error = identity)
  expect_identical(c(e$code, e$library_message), c("1601", "Unknown option colour"))
  e <- tryCatch(dfq_setdiff(t, t, all = TRUE), dfq_error = identity)
  expect_identical(e$code, 1611L)
  close(dag)
  expect_error(dfq_dag(dialect = "mysql"), class = "dfq_error", regexp = "DFQ-1602")
  # The failed dfq_dag() closed its instance: a new one opens.
  test_dag()
})

# A run whose later statement fails, and one holding a second statement:
# neither leaves a table, and no node is marked executed.
expect_nothing_left <- function(con, schema, tables) {
  for (table in tables) {
    found <- DBI::dbGetQuery(con, sprintf(
      "select count(*) as n from information_schema.tables where table_schema = '%s' and table_name = '%s'",
      schema, table))
    expect_identical(as.integer(found$n), 0L, info = table)
  }
}

failing_runs <- function(dag, con, prefix, exists) {
  named <- function(table) paste0(prefix, ".", table)
  kept <- dfq_query(dag, "select 1 as a, 'x' as b", name = named("base")) |>
    dfq_filter("a = 1", name = named("kept"))
  compute(kept, con)
  # Statements run from the last to the first: the free query's table, the
  # statement split off at the size limit, then the failing join.
  fresh <- dfq_query(dag, "select 2 as a", name = named("fresh"))
  pad <- strrep("x", 500000L)
  left <- dfq_filter(fresh, sprintf("a > 0 /* %s */", pad), name = named("left")) |>
    dfq_filter(sprintf("a > 1 /* %s */", pad), name = named("left2"))
  bad <- dfq_inner_join(left, kept, by = "l.a = r.no_such_column", name = named("bad"))
  expect_gt(nrow(sql_statements(bad)), 1L)
  expect_error(collect(bad, con), class = "dfq_db_error", regexp = "no_such_column")
  for (table in c("fresh", "left", "left2", "bad")) expect_false(exists(table), info = table)
  expect_false(dfq_is_executed(bad))
  expect_false(dfq_is_executed(left))
  expect_true(dfq_is_executed(kept))
  # A condition that ends the statement and starts another: refused before
  # anything runs, whatever the database would do with it.
  for (evil in c("a > 0; drop table kept", "a > 0 -- x\n; delete from kept",
                 "b = ';' ; select 1")) {
    sneaky <- dfq_filter(kept, evil, name = named("sneaky"))
    expect_error(compute(sneaky, con), class = "dfq_db_error", regexp = "second statement")
    expect_false(dfq_is_executed(sneaky))
    expect_false(exists("sneaky"))
  }
  # A ';' inside quotes, comments or at the end is one statement.
  fine <- dfq_filter(kept, "b <> ';' /* ; */ -- ;\n", name = named("fine"))
  expect_identical(nrow(collect(fine, con)), 1L)
  expect_true(exists("fine"))
}

test_that("a failing statement on SQLite leaves nothing behind", {
  con <- sqlite_connect()
  dag <- test_dag(dialect = "sqlite")
  exists <- function(table) {
    found <- DBI::dbGetQuery(con, "select name from main.sqlite_master union all select name from w.sqlite_master")
    table %in% found$name
  }
  DBI::dbExecute(con, "attach ':memory:' as w")
  failing_runs(dag, con, "w", exists)
})

test_that("a failing statement on PostgreSQL leaves nothing behind", {
  con <- pg_connect()
  schema <- pg_schema(con, "r_misuse")
  dag <- test_dag(dialect = "postgresql")
  exists <- function(table) {
    found <- DBI::dbGetQuery(con, sprintf(
      "select count(*) as n from information_schema.tables where table_schema = '%s' and table_name = '%s'",
      schema, table))
    found$n > 0
  }
  failing_runs(dag, con, schema, exists)
})

test_that("the library is found on the system's search path when it is nowhere else", {
  library <- Sys.getenv("DFQ_LIBRARY")
  if (!nzchar(library)) skip("DFQ_LIBRARY is not set")
  folder <- normalizePath(dirname(library))
  skip_if_not(file.exists(file.path(folder, "libdfq.so.1")))
  withr::local_envvar(LD_LIBRARY_PATH = paste0("/nonexistent:", folder))
  expect_identical(dfq:::system_library(), file.path(folder, "libdfq.so.1"))
  withr::local_envvar(LD_LIBRARY_PATH = "", DFQ_LIBRARY = "/elsewhere/libdfq.so")
  expect_identical(dfq_library_path(), "/elsewhere/libdfq.so")
})

test_that("a grouped frame feeds dfq_summarise only", {
  dag <- test_dag(dialect = "sqlite")
  t <- dfq_table(dag, "t")
  grouped <- dfq_group_by(t, "a")
  refusals <- list(function() dfq_filter(grouped, "a > 1"), function() dfq_head(grouped, 1),
                   function() dfq_group_by(grouped, "b"), function() dfq_inner_join(t, grouped, "l.a = r.a"),
                   function() dfq_inner_join(grouped, t, "l.a = r.a"), function() dfq_union(t, grouped),
                   function() dfq_sample(grouped, n = 1), function() collect(grouped, DBI::ANSI()))
  for (refused in refusals) {
    expect_error(refused(), class = "dfq_argument_error", regexp = "grouped frame: summarise it first")
  }
  expect_match(sql_statements(dfq_summarise(grouped, "count(*) as n"))$sql,
               "select a, count\\(\\*\\) as n from t group by a")
})

test_that("a second statement is found as each database reads the text", {
  # Texts and the ';' position each reader reports (0: one statement).
  cases <- list(
    list("select 1; -- done\n /* end */ ;", c(0, 0, 0)),
    list("select ';' as a, \"b;\" from t", c(0, 0, 0)),
    list("select 1; select 2", c(9, 9, 9)),
    # SQLite quotes with backticks and brackets, PostgreSQL does not.
    list("select `a';` from t; drop table x; -- '", c(20, 0, 0)),
    list("select [a;b] from t", c(0, 10, 10)),
    # PostgreSQL's dollar quotes and nested comments hide what SQLite sees.
    list("select $$ ' $$ ; drop table x; -- '", c(0, 16, 16)),
    list("select /* /* */ ' */ ; drop table x; -- '", c(0, 22, 22)),
    # Backslash escapes: E'...' always, '...' with standard strings off.
    list("select E'\\' ; drop table x; -- '", c(13, 0, 0)),
    list("select 'a\\' ; drop table x; -- '", c(13, 13, 0)),
    list("select a$b$ ; c $b$ x", c(13, 13, 13)))
  lexers <- c("sqlite", "postgresql", "postgresql_backslash")
  for (case in cases) {
    found <- vapply(lexers, function(l) dfq:::second_statement(case[[1L]], l), 0L)
    expect_identical(unname(found), as.integer(case[[2L]]), info = case[[1L]])
  }
  expect_identical(dfq:::second_statement("select $$ ' $$ ; drop table x; -- '", lexers), 16L)
})

test_that("the readers agree with the statement cases dfq-run and Python share", {
  file <- file.path(source_dir(), "tools", "tests", "statement_cases.txt")
  lines <- grep("^[01] [01] [01] ", readLines(file, encoding = "UTF-8"), value = TRUE)
  expect_gt(length(lines), 20L)
  for (line in lines) {
    expected <- as.integer(strsplit(substr(line, 1L, 5L), " ", fixed = TRUE)[[1L]])
    text <- gsub("{NL}", "\n", substr(line, 7L, nchar(line)), fixed = TRUE)
    found <- function(lexers) as.integer(dfq:::second_statement(text, lexers) > 0L)
    expect_identical(found("sqlite"), expected[[1L]], info = line)
    expect_identical(found("postgresql"), expected[[2L]], info = line)
    # A PostgreSQL connection also reads every string with backslash
    # escapes (a server with standard_conforming_strings off): it refuses
    # at least what the standard reading refuses.
    expect_gte(found(c("postgresql", "postgresql_backslash")), expected[[2L]], label = line)
  }
})
