# Shared by the tests: the source tree (for the Python binding, dfq-run and
# the sales example), a PostgreSQL connection to the private server, and
# the sales example's tables.

source_dir <- function() {
  dir <- Sys.getenv("DFQ_SOURCE_DIR")
  if (!nzchar(dir)) skip("DFQ_SOURCE_DIR is not set: no source tree (examples, Python binding)")
  normalizePath(dir)
}

# A connection to the server DFQ_PG_CONNINFO names ("host=... port=...
# dbname=... user=..."), closed when the calling test ends.
pg_connect <- function(env = parent.frame()) {
  conninfo <- Sys.getenv("DFQ_PG_CONNINFO")
  if (!nzchar(conninfo)) skip("DFQ_PG_CONNINFO is not set: no PostgreSQL server")
  skip_if_not_installed("RPostgreSQL")
  pairs <- strsplit(strsplit(trimws(conninfo), "[[:space:]]+")[[1L]], "=", fixed = TRUE)
  args <- setNames(lapply(pairs, `[[`, 2L), vapply(pairs, `[[`, "", 1L))
  con <- do.call(DBI::dbConnect, c(list(RPostgreSQL::PostgreSQL()), args))
  DBI::dbExecute(con, "set client_min_messages to warning")
  withr::defer(DBI::dbDisconnect(con), envir = env)
  con
}

sqlite_connect <- function(env = parent.frame()) {
  skip_if_not_installed("RSQLite")
  con <- DBI::dbConnect(RSQLite::SQLite(), ":memory:")
  withr::defer(DBI::dbDisconnect(con), envir = env)
  con
}

# A dag closed when the calling test ends.
test_dag <- function(..., env = parent.frame()) {
  dag <- dfq_dag(...)
  withr::defer(close(dag), envir = env)
  dag
}

# A schema of its own on the PostgreSQL server, dropped at the end.
pg_schema <- function(con, name, env = parent.frame()) {
  DBI::dbExecute(con, sprintf('drop schema if exists "%s" cascade', name))
  DBI::dbExecute(con, sprintf('create schema "%s"', name))
  withr::defer(DBI::dbExecute(con, sprintf('drop schema if exists "%s" cascade', name)),
               envir = env)
  name
}

# The sales example's tables in `schema` (NULL: unqualified).
load_sales <- function(con, schema = NULL) {
  for (name in c("online_sales", "shop_sales", "regions")) {
    rows <- utils::read.csv(file.path(source_dir(), "examples", paste0(name, ".csv")))
    target <- if (is.null(schema)) name else c(schema, name)
    DBI::dbWriteTable(con, target, rows, row.names = FALSE)
    if (!is.null(schema) && "amount" %in% names(rows)) {
      # Amounts as exact decimals, as on a server they are (round(x, 2)
      # needs numeric there).
      DBI::dbExecute(con, sprintf('alter table "%s"."%s" alter column amount type numeric(12, 2)',
                                  schema, name))
    }
  }
}

# The sales example (examples/sales.dfq) as an R pipeline over tables named
# with `prefix`, its nodes in `schema`.
sales_pipeline <- function(dag, prefix = "") {
  online <- dfq_table(dag, paste0(prefix, "online_sales"))
  shop <- dfq_table(dag, paste0(prefix, "shop_sales"))
  regions <- dfq_table(dag, paste0(prefix, "regions"))
  dfq_union(online, shop, all = TRUE, columns = c(
    "'online' as channel, region_id, product, amount",
    "'shop' as channel, region_id, product, amount")) |>
    dfq_filter("amount >= 100") |>
    dfq_mutate("round(amount * 1.2, 2) as gross") |>
    dfq_inner_join(regions, by = "g.region_id = r.id", aliases = c("g", "r"),
                   columns = "r.region, g.channel, g.gross") |>
    dfq_group_by("region, channel") |>
    dfq_summarise("count(*) as orders, sum(gross) as revenue") |>
    dfq_arrange("revenue desc, region")
}

# What the loaded library has beyond the C API of old: the option form,
# semi and anti joins, dfq_topn. Each probe uses a dag of its own.
library_has <- function(feature) {
  dag <- dfq_dag()
  on.exit(close(dag))
  switch(feature,
    form = dfq:::has_option(dag, "form"),
    topn = dfq:::has_entry("dfq_topn"),
    semi_join = {
      t <- dfq_table(dag, "t")
      tryCatch({
        dfq_semi_join(t, t, by = "l.a = r.a")
        TRUE
      }, dfq_error = function(e) FALSE)
    })
}
