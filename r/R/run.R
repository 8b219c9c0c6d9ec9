# Statements and running them: sql_statements(), show_query(), collect()
# and compute() on a DBI connection.

sql_statements <- function(x, ...) UseMethod("sql_statements")

# The statements that materialise `x`, in the library's order (they run
# from the last to the first).
sql_statements.dfq_frame <- function(x, ...) {
  check_frame(x)
  dag <- x$dag
  count <- native_call(dag, "dfq_gen_exec_queries", x$nodeid, 0L)[[2L]]
  if (count <= 0L) return(no_statements())
  lengths <- native_call(dag, "dfq_get_exec_querysize", x$nodeid, count, integer(count))[[3L]]
  out <- native_call(dag, "dfq_get_exec_query", x$nodeid, count,
                     vapply(lengths, buffer, ""),
                     buffer(max(MIN_BUFFER, 2L * dag$longest + 8L), count),
                     buffer(SHORT_TEXT, count), buffer(NODEID_SIZE, count))
  data.frame(sql = out[[3L]], name = out[[4L]], query_type = out[[5L]], nodeid = out[[6L]],
             stringsAsFactors = FALSE)
}

no_statements <- function() {
  data.frame(sql = character(), name = character(), query_type = character(),
             nodeid = character(), stringsAsFactors = FALSE)
}

show_query <- function(x, ...) UseMethod("show_query")

show_query.dfq_frame <- function(x, ...) {
  statements <- sql_statements(x)
  for (i in seq_len(nrow(statements))) {
    cat(sprintf("-- %s (%s)\n%s\n", statements$name[[i]], statements$query_type[[i]],
                statements$sql[[i]]))
  }
  invisible(x)
}

collect <- function(x, ...) UseMethod("collect")

# Runs the statements of `x` on the DBI connection `con`, each created as a
# table named by its statement name, and returns the rows of `x`.
collect.dfq_frame <- function(x, con, replace = FALSE, ...) {
  run_frame(x, con, replace, read = TRUE)
}

compute <- function(x, ...) UseMethod("compute")

# As collect(), leaving the table of `x` (and of the steps it needed) on
# the database; returns `x`.
compute.dfq_frame <- function(x, con, replace = FALSE, ...) {
  run_frame(x, con, replace, read = FALSE)
  invisible(x)
}

# Without dplyr these generics know only frames; with dplyr loaded, other
# objects go to dplyr's own generic.
show_query.default <- function(x, ...) dplyr_fallback("show_query", x, ...)
collect.default <- function(x, ...) dplyr_fallback("collect", x, ...)
compute.default <- function(x, ...) dplyr_fallback("compute", x, ...)

dplyr_fallback <- function(generic, x, ...) {
  if (isNamespaceLoaded("dplyr")) {
    dplyr <- asNamespace("dplyr")
    # Only objects dplyr has a method for: its generic, called from here,
    # would find this default method again for any other.
    for (class in class(x)) {
      if (!is.null(utils::getS3method(generic, class, optional = TRUE, envir = dplyr))) {
        return(getExportedValue("dplyr", generic)(x, ...))
      }
    }
  }
  argument_error("%s() needs a frame (dfq_frame), not %s", generic, class(x)[1L])
}

run_frame <- function(x, con, replace, read) {
  check_frame(x)
  check_ungrouped(x, if (read) "collect" else "compute")
  replace <- flag_arg(replace, "replace")
  if (!inherits(con, "DBIConnection")) {
    argument_error("con must be a DBI connection, not %s", class(con)[1L])
  }
  dag <- x$dag
  engine <- engine_for(con)
  statements <- if (dfq_is_executed(x)) no_statements() else sql_statements(x)
  # Each free query once, also when several inputs read it.
  free <- lapply(x$queries, function(q) {
    list(schema = q$schema, table = q$table, sql = q$sql, name = qualified(q$schema, q$table),
         free = TRUE)
  })
  free <- free[!duplicated(vapply(free, `[[`, "", "name"))]
  work <- c(free, lapply(rev(seq_len(nrow(statements))), function(i) {
    parts <- split_name(statements$name[[i]])
    list(schema = parts[[1L]], table = parts[[2L]], sql = statements$sql[[i]],
         name = statements$name[[i]], free = FALSE)
  }))
  # Nothing runs when any statement holds a second statement.
  for (w in work) {
    at <- second_statement(w$sql, engine$lexers)
    if (at > 0L) {
      stop(dfq_condition("dfq_db_error", sprintf(paste0(
        "statement %s holds a second statement (after the ';' at byte %d); ",
        "nothing was run"), w$name, at), statement = w$name))
    }
  }
  schemas <- unique(unlist(lapply(work, `[[`, "schema")))
  engine$attach(schemas)
  DBI::dbBegin(con)
  done <- FALSE
  on.exit(if (!done) try(DBI::dbRollback(con), silent = TRUE))
  current <- NULL
  rows <- withCallingHandlers({
    engine$create_schemas(schemas)
    for (w in work) {
      current <- w$name
      kind <- engine$kind_of(w$schema, w$table)
      if (replace && !is.null(kind)) {
        DBI::dbExecute(con, sprintf("drop %s %s", kind, qualified(w$schema, w$table)))
      } else if (w$free && !is.null(kind)) {
        next
      }
      DBI::dbExecute(con, sprintf("create table %s as %s", qualified(w$schema, w$table), w$sql))
    }
    current <- NULL
    if (read) DBI::dbGetQuery(con, sprintf("select * from %s", output_sql_name(x))) else NULL
  }, error = function(e) {
    if (!inherits(e, "dfq_error")) {
      stop(dfq_condition("dfq_db_error", sprintf(
        "%s: %s", if (is.null(current)) "reading the result" else current,
        conditionMessage(e)), statement = current, parent = e))
    }
  })
  DBI::dbCommit(con)
  done <- TRUE
  # Only the nodes with a table of their own are executed; the others were
  # inlined into a statement.
  for (nodeid in unique(statements$nodeid)) {
    native_call(dag, "dfq_update_node_state_single", nodeid, 1L)
  }
  rows
}

# (schema, table) of a statement name "schema"."table"; schema is NULL for
# a bare name.
split_name <- function(name) {
  m <- regmatches(name, regexec('^"(.*)"\\."(.*)"$', name))[[1L]]
  if (length(m) == 3L) return(list(m[[2L]], m[[3L]]))
  m <- regmatches(name, regexec('^"(.*)"$', name))[[1L]]
  if (length(m) == 2L) return(list(NULL, m[[2L]]))
  list(NULL, name)
}

quoted <- function(name) paste0('"', gsub('"', '""', name, fixed = TRUE), '"')

literal <- function(text) paste0("'", gsub("'", "''", text, fixed = TRUE), "'")

qualified <- function(schema, table) {
  if (is.null(schema) || !nzchar(schema)) quoted(table) else paste0(quoted(schema), ".",
                                                                     quoted(table))
}
