# The sales example gives the same rows in R as through the Python binding,
# on SQLite and on PostgreSQL.

# The Python binding's rows for the sales example (python/example.py's
# pipeline), as a data frame: on SQLite in memory with the example's CSV
# files, or on PostgreSQL over the tables in schema `tables`.
python_sales <- function(dialect, tables = NULL) {
  # The system Python, which has the PostgreSQL driver (scripts/setup.sh).
  python <- if (file.exists("/usr/bin/python3")) "/usr/bin/python3" else Sys.which("python3")
  if (!nzchar(python)) skip("no python3 for the Python binding")
  src <- source_dir()
  script <- sprintf('
import csv, os, sys
sys.path.insert(0, %s)
import dfq
sys.path.insert(0, os.path.join(%s, "python"))
import example
tables = %s
if tables is None:
    import sqlite3
    conn = sqlite3.connect(":memory:")
    for name in ("online_sales", "shop_sales", "regions"):
        example.load_csv(conn, name)
    prefix = ""
else:
    import psycopg2
    conn = psycopg2.connect(os.environ["DFQ_PG_CONNINFO"])
    prefix = tables + "."
with dfq.Dag(schema="py_work", dialect=%s) as dag:
    online, shop = dag.table(prefix + "online_sales"), dag.table(prefix + "shop_sales")
    regions = dag.table(prefix + "regions")
    orders = online.union(shop, all=True, columns=[
        "\'online\' as channel, region_id, product, amount",
        "\'shop\' as channel, region_id, product, amount"])
    large = orders.filter("amount >= 100").assign("round(amount * 1.2, 2) as gross")
    named = large.join(regions, on="g.region_id = r.id", aliases=("g", "r"),
                       columns="r.region, g.channel, g.gross")
    totals = named.group_by("region, channel").aggregate(
        "count(*) as orders, sum(gross) as revenue")
    result = totals.order_by("revenue desc, region").run(conn)
out = csv.writer(sys.stdout)
out.writerow(result.columns)
out.writerows(result.rows)
conn.commit()
', py_str(file.path(src, "python")), py_str(src), if (is.null(tables)) "None" else py_str(tables),
  py_str(dialect))
  file <- tempfile(fileext = ".py")
  writeLines(script, file)
  errors <- tempfile()
  on.exit(unlink(c(file, errors)))
  lines <- suppressWarnings(system2(python, file, stdout = TRUE, stderr = errors))
  if (!is.null(attr(lines, "status"))) {
    fail(paste(c("the Python binding failed:", readLines(errors)), collapse = "\n"))
  }
  utils::read.csv(text = lines, stringsAsFactors = FALSE)
}

py_str <- function(text) sprintf("'%s'", gsub("'", "\\\\'", text))

expect_same_rows <- function(r_rows, py_rows) {
  expect_identical(names(r_rows), c("region", "channel", "orders", "revenue"))
  expect_gt(nrow(r_rows), 3L)
  expect_identical(r_rows$region, py_rows$region)
  expect_identical(r_rows$channel, py_rows$channel)
  expect_equal(as.integer(r_rows$orders), py_rows$orders)
  expect_equal(as.numeric(r_rows$revenue), py_rows$revenue, tolerance = 1e-12)
}

test_that("the sales example gives Python's rows on SQLite", {
  con <- sqlite_connect()
  load_sales(con)
  dag <- test_dag(dialect = "sqlite", schema = "work")
  ranked <- sales_pipeline(dag)
  rows <- collect(ranked, con)
  expect_same_rows(rows, python_sales("sqlite"))
  # Its table stays and its node is executed: a second collect reads it.
  expect_true(dfq_is_executed(ranked))
  expect_identical(collect(ranked, con), rows)
})

test_that("the sales example gives Python's rows on PostgreSQL", {
  con <- pg_connect()
  tables <- pg_schema(con, "r_sales_tables")
  pg_schema(con, "r_work")
  pg_schema(con, "py_work")
  load_sales(con, tables)
  dag <- test_dag(dialect = "postgresql", schema = "r_work")
  rows <- collect(sales_pipeline(dag, paste0(tables, ".")), con)
  expect_same_rows(rows, python_sales("postgresql", tables))
})
