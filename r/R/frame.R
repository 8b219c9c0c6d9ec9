# Frames: one node of the graph each. Every verb adds a node and returns a
# new frame; nothing runs until collect() or compute().

new_frame <- function(dag, nodeid, kind, table, schema, parents = list(), query = NULL,
                      grouped = FALSE) {
  # The library reads a free query by its output name from the start, so
  # running a frame first creates the tables of the free queries it reads.
  queries <- unlist(lapply(parents, `[[`, "queries"), recursive = FALSE)
  frame <- structure(class = "dfq_frame", list(
    dag = dag, nodeid = nodeid, kind = kind, table = table, schema = schema,
    queries = queries, grouped = grouped))
  if (!is.null(query)) {
    frame$queries <- c(frame$queries, list(list(schema = schema, table = table, sql = query)))
  }
  frame
}

print.dfq_frame <- function(x, ...) {
  cat(sprintf("<dfq_frame %s %s (node %s)%s>\n", x$kind, output_sql_name(x), x$nodeid,
              if (isTRUE(x$dag$open)) "" else ", closed dag"))
  invisible(x)
}

# The frame's output as SQL: "schema"."table", or the bare table.
output_sql_name <- function(x) {
  if (!nzchar(x$schema)) return(x$table)
  sprintf('"%s"."%s"', x$schema, x$table)
}

check_frame <- function(x, what = "x") {
  if (!inherits(x, "dfq_frame")) {
    argument_error("%s must be a frame (dfq_frame), not %s", what, class(x)[1L])
  }
  check_open(x$dag)
  x
}

# A grouping feeds an aggregate only: any other verb would drop the
# grouping or read a table that is never made.
check_ungrouped <- function(x, operation) {
  if (isTRUE(x$grouped)) {
    argument_error(paste0("%s() on a grouped frame: summarise it first, e.g. ",
                          "x |> dfq_group_by(...) |> dfq_summarise(\"count(*) as n\") |> %s(...)"),
                   operation, operation)
  }
}

check_same_dag <- function(x, others, operation) {
  for (other in others) {
    check_frame(other, "each input")
    check_ungrouped(other, operation)
    if (!identical(other$dag, x$dag)) {
      stop(dfq_condition("dfq_dag_error", "frames of different dags cannot be combined"))
    }
  }
}

# Calls a node-creating entry with the node-id output between `before`
# and `after`; returns the new id. The output arrives non-empty, as some
# entries require.
new_node <- function(dag, name, before, after = list()) {
  out <- do.call(native_call, c(list(dag, name), before, list(buffer(NODEID_SIZE)), after))
  out[[length(before) + 1L]]
}

# ---- sources ----------------------------------------------------------

dfq_table <- function(dag, source) {
  check_dag(dag)
  source <- texts(dag, source = source)
  node <- new_node(dag, "dfq_table", list("source", source, "", ""))
  new_frame(dag, node, "table", source, "")
}

dfq_query <- function(dag, sql, name = NULL) {
  check_dag(dag)
  sql <- texts(dag, sql = sql)
  out <- output_name(dag, name, "query")
  node <- new_node(dag, "dfq_query", list(
    "query", sql, texts(dag, name = out$table), texts(dag, name = out$schema)))
  new_frame(dag, node, "query", out$table, out$schema, query = sql)
}

# ---- single-input verbs --------------------------------------------------

single <- function(x, entry_name, op, values, name, after = list(), kind = op) {
  check_frame(x)
  if (kind != "summarise") check_ungrouped(x, paste0("dfq_", kind))
  dag <- x$dag
  values <- do.call(texts, c(list(dag), values))
  out <- output_name(dag, name, op)
  before <- list(x$nodeid, op, values, texts(dag, name = out$table),
                 texts(dag, name = out$schema))
  new_frame(dag, new_node(dag, entry_name, before, after), kind, out$table, out$schema,
            parents = list(x))
}

dfq_filter <- function(x, condition, name = NULL) {
  single(x, "dfq_filter", "filter", list(condition = condition), name)
}

dfq_select <- function(x, columns, name = NULL, prefix = NULL) {
  single(x, "dfq_select", "select", list(columns = columns, prefix = prefix %||% ""), name,
         list(if (is.null(prefix)) 1L else 2L))
}

dfq_mutate <- function(x, expressions, drop = FALSE, name = NULL) {
  drop <- if (flag_arg(drop, "drop")) "Y" else "N"
  single(x, "dfq_assign", "assign", list(expressions = expressions, drop = drop), name,
         kind = "mutate")
}

dfq_arrange <- function(x, ordering, name = NULL) {
  single(x, "dfq_orderby", "orderby", list(ordering = ordering), name, kind = "arrange")
}

dfq_head <- function(x, n, name = NULL) {
  n <- as.character(count_arg(n, "n"))
  single(x, "dfq_select", "top", list(n = n, prefix = ""), name, list(1L), kind = "head")
}

dfq_top <- function(x, n, order_by, name = NULL) {
  n <- count_arg(n, "n")
  check_frame(x)
  check_ungrouped(x, "dfq_top")
  dag <- x$dag
  order_by <- texts(dag, order_by = order_by)
  out <- output_name(dag, name, "topn")
  entry("dfq_topn")
  before <- list(x$nodeid, "topn", order_by, n, texts(dag, name = out$table),
                 texts(dag, name = out$schema))
  new_frame(dag, new_node(dag, "dfq_topn", before), "topn", out$table, out$schema,
            parents = list(x))
}

dfq_summarise <- function(x, expressions, name = NULL) {
  single(x, "dfq_aggregate", "aggregate", list(expressions = expressions), name,
         kind = "summarise")
}

dfq_summarize <- dfq_summarise

dfq_group_by <- function(x, columns, fun = "") {
  columns <- text_arg(columns, "columns")
  fun <- text_arg(fun, "fun")
  grouping(x, "dfq_groupby", "groupby", list(columns = paste0(fun, "|by ", columns)),
           "group_by")
}

dfq_group_by_time <- function(x, interval, columns = "", timecode = "", timecode_option = "",
                              fill = "") {
  grouping(x, "dfq_groupby_time", "groupbytime", list(
    interval = interval, columns = columns, timecode = timecode,
    timecode_option = timecode_option, fill = fill), "group_by_time")
}

# A grouping keeps its input's output name: the library writes the input's
# names into both outputs, so their buffers are sized for any name.
grouping <- function(x, entry_name, op, values, kind) {
  check_frame(x)
  check_ungrouped(x, paste0("dfq_", kind))
  dag <- x$dag
  values <- do.call(texts, c(list(dag), values))
  size <- max(MIN_BUFFER, dag$longest + 1L)
  before <- list(x$nodeid, op, values, buffer(size), buffer(size))
  new_frame(dag, new_node(dag, entry_name, before), kind, x$table, x$schema,
            parents = list(x), grouped = TRUE)
}

dfq_sample <- function(x, n = NULL, prop = NULL, columns = "*", replace = FALSE,
                       randomized = FALSE, cases = NULL, else_value = "", name = NULL) {
  check_frame(x)
  check_ungrouped(x, "dfq_sample")
  dag <- x$dag
  given <- !c(is.null(n), is.null(prop), is.null(cases))
  if (sum(given) != 1L) argument_error("give exactly one of n, prop and cases")
  fractions <- ""
  whens <- ""
  thens <- ""
  if (!is.null(n)) {
    if (!is.numeric(n) || length(n) == 0L || anyNA(n) || any(n < 0 | n != floor(n))) {
      argument_error("n must be whole numbers of rows, 0 or more")
    }
    fractions <- paste(format(n, scientific = FALSE, trim = TRUE), collapse = ", ")
  } else if (!is.null(prop)) {
    if (!is.numeric(prop) || length(prop) == 0L || anyNA(prop) || any(prop < 0 | prop > 1)) {
      argument_error("prop must be fractions from 0 to 1")
    }
    fractions <- paste(vapply(prop, fraction_text, ""), collapse = ", ")
  } else {
    if (!is.character(cases) || length(cases) == 0L || anyNA(cases) ||
        is.null(names(cases)) || anyNA(names(cases)) || !all(nzchar(names(cases)))) {
      argument_error("cases must be sizes (strings) named by their conditions")
    }
    whens <- do.call(texts, c(list(dag), as.list(setNames(names(cases),
                                                           rep("case condition", length(cases))))))
    thens <- do.call(texts, c(list(dag), as.list(setNames(unname(cases),
                                                           rep("case size", length(cases))))))
  }
  values <- texts(dag, columns = columns,
                  replace = if (flag_arg(replace, "replace")) "Y" else "N",
                  randomized = if (flag_arg(randomized, "randomized")) "Y" else "N",
                  fractions = fractions, else_value = else_value)
  out <- output_name(dag, name, "sample")
  before <- list(x$nodeid, c("sample", "with_replacement", "randomized", "fractions", "else"),
                 values, texts(dag, name = out$table), texts(dag, name = out$schema))
  after <- list(whens, thens, if (is.null(cases)) 0L else length(cases))
  new_frame(dag, new_node(dag, "dfq_sample", before, after), "sample", out$table, out$schema,
            parents = list(x))
}

# A fraction written with a decimal point, as the library tells fractions
# from counts.
fraction_text <- function(p) {
  text <- format(p, scientific = FALSE, digits = 15, trim = TRUE)
  if (!grepl(".", text, fixed = TRUE)) text <- paste0(text, ".0")
  text
}

# ---- joins -------------------------------------------------------------

join <- function(how, x, y, by, columns, aliases, name) {
  check_frame(x)
  check_ungrouped(x, paste0("dfq_", how, "_join"))
  check_same_dag(x, list(y), paste0("dfq_", how, "_join"))
  dag <- x$dag
  if (!is.character(aliases) || length(aliases) != 2L || anyNA(aliases)) {
    argument_error("aliases must be two strings")
  }
  names <- c(how, "left_alias", "right_alias", "columns")
  values <- texts(dag, by = by, alias = aliases[[1L]], alias = aliases[[2L]],
                  columns = columns)
  out <- output_name(dag, name, "join")
  before <- list(c(x$nodeid, y$nodeid), names, values, texts(dag, name = out$table),
                 texts(dag, name = out$schema))
  new_frame(dag, new_node(dag, "dfq_join", before), paste0(how, "_join"), out$table,
            out$schema, parents = list(x, y))
}

dfq_inner_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("inner", x, y, by, columns, aliases, name)
}

dfq_left_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("left", x, y, by, columns, aliases, name)
}

dfq_right_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("right", x, y, by, columns, aliases, name)
}

dfq_full_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("full", x, y, by, columns, aliases, name)
}

dfq_cross_join <- function(x, y, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("cross", x, y, "", columns, aliases, name)
}

dfq_semi_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("semi", x, y, by, columns, aliases, name)
}

dfq_anti_join <- function(x, y, by, columns = "*", aliases = c("l", "r"), name = NULL) {
  join("anti", x, y, by, columns, aliases, name)
}

# ---- set operations ---------------------------------------------------------

setop <- function(op, x, others, columns, name) {
  verb <- c(union = "dfq_union", unionall = "dfq_union", intersect = "dfq_intersect",
            intersectall = "dfq_intersect", minus = "dfq_setdiff", minusall = "dfq_setdiff")[[op]]
  check_frame(x)
  check_ungrouped(x, verb)
  check_same_dag(x, others, verb)
  dag <- x$dag
  frames <- c(list(x), others)
  if (!is.character(columns) || anyNA(columns) ||
      !(length(columns) %in% c(1L, length(frames)))) {
    argument_error("columns must be one string, or one per input (%d)", length(frames))
  }
  columns <- rep_len(columns, length(frames))
  lists <- do.call(texts, c(list(dag), as.list(setNames(columns, rep("columns", length(frames))))))
  out <- output_name(dag, name, op)
  before <- list(vapply(frames, `[[`, "", "nodeid"), op, lists, texts(dag, name = out$table),
                 texts(dag, name = out$schema), length(frames))
  new_frame(dag, new_node(dag, "dfq_setop", before), op, out$table, out$schema,
            parents = frames)
}

dfq_union <- function(x, y, ..., columns = "*", all = FALSE, name = NULL) {
  setop(if (flag_arg(all, "all")) "unionall" else "union", x, list(y, ...), columns, name)
}

dfq_intersect <- function(x, y, ..., columns = "*", all = FALSE, name = NULL) {
  setop(if (flag_arg(all, "all")) "intersectall" else "intersect", x, list(y, ...), columns,
        name)
}

dfq_setdiff <- function(x, y, ..., columns = "*", all = FALSE, name = NULL) {
  setop(if (flag_arg(all, "all")) "minusall" else "minus", x, list(y, ...), columns, name)
}

dfq_is_executed <- function(x) {
  check_frame(x)
  native_call(x$dag, "dfq_is_node_executed", x$nodeid, 0L)[[2L]] == 1L
}
