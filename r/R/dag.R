# The dag: the process's DAG instance in the library. The library keeps one
# per process, so one dag is open at a time. A dag that is collected while
# open is closed by its finalizer, and dfq_dag() runs the collector first
# when the open dag may be garbage, so a dropped dag never blocks the next.

dfq_dag <- function(dialect = NULL, form = "cte", schema = "main", log_level = NULL) {
  schema <- name_part(text_arg(schema, "schema"), schema)
  if (!is.null(dialect)) dialect <- text_arg(dialect, "dialect")
  # Like the other hosts, the package writes common table expressions unless
  # asked otherwise; NULL keeps the library's own default (nested).
  if (!is.null(form)) form <- text_arg(form, "form")
  # The library writes no record at level 5 (FATAL), so that level keeps
  # its log off standard error: each refusal is raised with its message.
  level <- if (is.null(log_level)) 5L else count_arg(log_level, "log_level")
  if (level > 5L) argument_error("log_level must be 0 to 5 or NULL")
  native_dll()
  if (!is.null(.state$current)) {
    gc(verbose = FALSE)   # runs the finalizer of a dropped open dag
    if (!is.null(.state$current)) {
      stop(dfq_condition("dfq_dag_error", paste0(
        "a dag is already open in this R session (the library keeps one DAG instance per ",
        "process): close() it first")))
    }
  }
  .state$dags <- .state$dags + 1L
  dag <- new.env(parent = emptyenv())
  dag$id <- .state$dags
  dag$schema <- schema
  dag$names <- 0L
  dag$longest <- 0L
  dag$open <- TRUE
  class(dag) <- "dfq_dag"
  .state$current <- dag$id
  ok <- FALSE
  on.exit(if (!ok) close(dag))
  native_call(dag, "init_dag", "", "", level, "")
  if (!is.null(dialect)) dfq_set_option(dag, "dialect", dialect)
  if (!is.null(form)) dfq_set_option(dag, "form", form)
  reg.finalizer(dag, dag_finalizer)
  ok <- TRUE
  dag
}

dag_finalizer <- function(dag) {
  if (isTRUE(dag$open) && identical(.state$current, dag$id)) close(dag)
}

close.dfq_dag <- function(con, ...) {
  if (isTRUE(con$open)) {
    con$open <- FALSE
    if (identical(.state$current, con$id)) {
      .state$current <- NULL
      close_library_dag()
    }
  }
  invisible(NULL)
}

print.dfq_dag <- function(x, ...) {
  cat(sprintf("<dfq_dag %s, schema %s>\n", if (isTRUE(x$open)) "open" else "closed",
              x$schema))
  invisible(x)
}

check_open <- function(dag) {
  if (!isTRUE(dag$open)) {
    stop(dfq_condition("dfq_dag_error", paste0(
      "this dag is closed: its frames cannot be used any more; open a new one with dfq_dag()")))
  }
}

check_dag <- function(dag) {
  if (!inherits(dag, "dfq_dag")) {
    argument_error("expected a dag from dfq_dag(), not %s", class(dag)[1L])
  }
  check_open(dag)
  dag
}

dfq_set_option <- function(dag, name, value) {
  check_dag(dag)
  native_call(dag, "dfq_set_option", texts(dag, name = name),
              texts(dag, value = value))
  invisible(dag)
}

dfq_get_option <- function(dag, name) {
  check_dag(dag)
  name <- texts(dag, name = name)
  size <- SHORT_TEXT
  for (attempt in 1:2) {
    check_open(dag)
    out <- native_c("dfq_get_option", name, buffer(size), size = size, ret_code = 0L)
    if (out$ret_code == 0L) return(out[[2L]])
    if (out$ret_code != OPTION_BUFFER_TOO_SMALL) break
    size <- out$size
  }
  stop(dfq_error(out$ret_code, error_message(dag, out$ret_code)))
}

# Whether the loaded library knows option `name` (a library that predates
# it answers 1601).
has_option <- function(dag, name) {
  tryCatch({
    dfq_get_option(dag, name)
    TRUE
  }, dfq_error = function(e) {
    if (e$code != UNKNOWN_OPTION) stop(e)
    FALSE
  })
}

# Checked texts for the library, given as what = value pairs; remembers the
# longest, to size the outputs that have no length call.
texts <- function(dag, ...) {
  values <- list(...)
  what <- names(values)
  out <- vapply(seq_along(values), function(i) text_arg(values[[i]], what[[i]]), "")
  dag$longest <- max(dag$longest, nchar(out, type = "bytes"))
  out
}

name_part <- function(part, name) {
  if (!nzchar(part)) argument_error("invalid output name '%s': empty schema or table", name)
  if (grepl('"', part, fixed = TRUE)) {
    argument_error("invalid output name '%s': a name cannot contain '\"'", name)
  }
  part
}

# Output table and schema of a new node: `name` may be "schema.table";
# without one, the operation's name and a number in the dag's schema.
output_name <- function(dag, name, op) {
  if (is.null(name)) {
    dag$names <- dag$names + 1L
    name <- sprintf("%s_%d", op, dag$names)
  }
  name <- text_arg(name, "name")
  dot <- regexpr(".", name, fixed = TRUE)
  if (dot > 0L) {
    schema <- substr(name, 1L, dot - 1L)
    table <- substr(name, dot + 1L, nchar(name))
  } else {
    schema <- dag$schema
    table <- name
  }
  list(table = name_part(table, name), schema = name_part(schema, name))
}
