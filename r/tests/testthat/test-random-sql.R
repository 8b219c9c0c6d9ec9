# Random pipelines give the same statements from R as from the C API
# through dfq-run (a C++ host over the same entries): the same texts, names
# and query types, with the statements of one node in the same places.

dfq_run_path <- function() {
  path <- Sys.getenv("DFQ_RUN")
  if (!nzchar(path) || !file.exists(path)) skip("DFQ_RUN does not name dfq-run")
  path
}

CONDITIONS <- c("a > 1", "b = 'x;y'", "a between 2 and 5", "\"a\" is not null",
                "b like '%--%'", "a in (1, 2, 3) /* ; */")
COLUMNS <- c("*", "a, b", "a", "b, a as c", "a + 1 as a, b")

# A random pipeline: steps of (label, op, inputs, text, clauses), where
# inputs are earlier labels that a later node can read.
random_pipeline <- function(size, dialect, long_text, has) {
  steps <- list(list(label = "t1", op = "table", text = "t1"),
                list(label = "t2", op = "table", text = "t2"))
  readable <- c("t1", "t2")
  # With long texts, a chain: each node reads the one before.
  pick <- function() if (long_text) readable[[length(readable)]] else sample(readable, 1L)
  setops <- c("union", "unionall", "intersect", "minus",
              if (dialect != "sqlite") c("intersectall", "minusall"))
  for (i in seq_len(size)) {
    label <- sprintf("n%d", i)
    op <- sample(c("filter", "select", "assign", "top", "join", "setop", "sample", "group",
                   "topn"), 1L,
                 prob = c(if (long_text) 8 else 1, rep(1, 7), if (has$topn) 1 else 0))
    step <- switch(op,
      filter = list(op = "filter", inputs = pick(), text = sample(CONDITIONS, 1L)),
      select = list(op = "select", inputs = pick(), text = sample(COLUMNS[-1L], 1L),
                    prefix = if (runif(1L) < 0.3) "/* prefix */" else NULL),
      assign = list(op = "assign", inputs = pick(), text = "a * 2 as d",
                    drop = runif(1L) < 0.5),
      top = list(op = "top", inputs = pick(), text = as.character(sample(0:9, 1L))),
      join = list(op = "join", how = sample(c("inner", "left", "right", "full", "cross",
                                              if (has$semi_join) c("semi", "anti")), 1L),
                  inputs = c(pick(), pick()), text = "x.a = y.a",
                  columns = sample(c("*", "x.a, y.b"), 1L)),
      topn = list(op = "topn", inputs = pick(), text = as.character(sample(0:9, 1L)),
                  by = sample(c("a desc", "b, a"), 1L)),
      setop = list(op = "setop", how = sample(setops, 1L), inputs = c(pick(), pick()),
                   text = sample(COLUMNS, 1L)),
      sample = list(op = "sample", inputs = pick(), text = as.character(sample(1:20, 1L))),
      group = list(op = "group", inputs = pick(), text = "a",
                   aggregate = "count(*) as c, max(b) as b"))
    if (step$op == "join" && step$how %in% c("semi", "anti")) step$columns <- "*"
    if (op == "filter" && long_text) {
      # Statements split before they reach 921,600 characters.
      step$text <- paste0(step$text, " /* ", strrep("x", 300000L), " */")
    }
    step$label <- label
    steps[[length(steps) + 1L]] <- step
    readable <- c(readable, label)
  }
  steps[[length(steps) + 1L]] <- list(label = "last", op = "orderby",
                                       inputs = readable[[length(readable)]], text = "a desc")
  steps
}

# The pipeline as a dfq-run file (nodes in schema s), asking for the last
# node's statements.
pipeline_file <- function(steps) {
  lines <- "schema s"
  for (s in steps) {
    lines <- c(lines, switch(s$op,
      table = sprintf("%s = table %s", s$label, s$text),
      select = c(sprintf("%s = select %s: %s", s$label, s$inputs, s$text),
                 if (!is.null(s$prefix)) sprintf("    prefix: %s", s$prefix)),
      assign = c(sprintf("%s = assign %s: %s", s$label, s$inputs, s$text),
                 if (s$drop) "    drop: yes"),
      join = c(if (s$how == "cross") {
                 sprintf("%s = join cross %s as x, %s as y", s$label, s$inputs[[1L]],
                         s$inputs[[2L]])
               } else {
                 sprintf("%s = join %s %s as x, %s as y: %s", s$label, s$how, s$inputs[[1L]],
                         s$inputs[[2L]], s$text)
               }, sprintf("    columns: %s", s$columns)),
      setop = sprintf("%s = setop %s %s: %s", s$label, s$how,
                      paste(s$inputs, collapse = ", "), s$text),
      topn = c(sprintf("%s = top %s: %s", s$label, s$inputs, s$text),
               sprintf("    by: %s", s$by)),
      group = c(sprintf("g_%s = groupby %s: %s", s$label, s$inputs, s$text),
                sprintf("%s = aggregate g_%s: %s", s$label, s$label, s$aggregate)),
      sprintf("%s = %s %s: %s", s$label, s$op, s$inputs, s$text)))
  }
  c(lines, "sql last")
}

# The same pipeline through the R verbs.
r_pipeline <- function(dag, steps) {
  frames <- list()
  name <- function(s) paste0("s.", s$label)
  for (s in steps) {
    x <- if (is.null(s$inputs)) NULL else frames[[s$inputs[[1L]]]]
    frames[[s$label]] <- switch(s$op,
      table = dfq_table(dag, s$text),
      filter = dfq_filter(x, s$text, name = name(s)),
      select = dfq_select(x, s$text, name = name(s), prefix = s$prefix),
      assign = dfq_mutate(x, s$text, drop = s$drop, name = name(s)),
      top = dfq_head(x, as.integer(s$text), name = name(s)),
      topn = dfq_top(x, as.integer(s$text), s$by, name = name(s)),
      join = if (s$how == "cross") {
        dfq_cross_join(x, frames[[s$inputs[[2L]]]], columns = s$columns,
                       aliases = c("x", "y"), name = name(s))
      } else {
        get(paste0("dfq_", s$how, "_join"))(x, frames[[s$inputs[[2L]]]], by = s$text,
                                            columns = s$columns, aliases = c("x", "y"),
                                            name = name(s))
      },
      setop = {
        all <- grepl("all$", s$how)
        verb <- switch(sub("all$", "", s$how), union = dfq_union, intersect = dfq_intersect,
                       minus = dfq_setdiff)
        verb(x, frames[[s$inputs[[2L]]]], columns = s$text, all = all, name = name(s))
      },
      sample = dfq_sample(x, n = as.integer(s$text), name = name(s)),
      group = dfq_group_by(x, s$text) |> dfq_summarise(s$aggregate, name = name(s)),
      orderby = dfq_arrange(x, s$text, name = name(s)))
  }
  frames[[length(frames)]]
}

# dfq-run's statements: "-- [i] NAME (TYPE, node ID)" and the text below.
parse_dfq_run <- function(lines) {
  header <- "^-- \\[[0-9]+\\] (.*) \\(([^,]*), node ([0-9]+)\\)$"
  starts <- grep(header, lines)
  ends <- c(starts[-1L] - 1L, length(lines))
  parts <- regmatches(lines[starts], regexec(header, lines[starts]))
  data.frame(
    sql = vapply(seq_along(starts), function(i) {
      body <- lines[seq.int(starts[[i]] + 1L, length.out = ends[[i]] - starts[[i]])]
      paste(body[!grepl("^== ", body)], collapse = "\n")
    }, ""),
    name = vapply(parts, `[[`, "", 2L), query_type = vapply(parts, `[[`, "", 3L),
    nodeid = vapply(parts, `[[`, "", 4L), stringsAsFactors = FALSE)
}

same_places <- function(ids) match(ids, unique(ids))

test_that("random pipelines give dfq-run's statements", {
  run <- dfq_run_path()
  set.seed(20261208)
  file <- tempfile(fileext = ".dfq")
  on.exit(unlink(file))
  split_seen <- FALSE
  # Both statement forms, semi and anti joins and top-n nodes once the
  # library has them (dfq-run's default form is not assumed: the form is
  # given to both hosts).
  has <- list(form = library_has("form"), semi_join = library_has("semi_join"),
              topn = library_has("topn"))
  has_form <- has$form
  for (round in 1:24) {
    dialect <- sample(c("default", "sqlite", "postgresql"), 1L)
    form <- if (has_form) sample(c("nested", "cte"), 1L) else NULL
    steps <- random_pipeline(sample(3:10, 1L), dialect, long_text = round %% 6L == 0L, has)
    writeLines(pipeline_file(steps), file)
    expected <- parse_dfq_run(system2(run, c("--dry-run", "--dialect", dialect,
                                             if (has_form) c("--form", form), file),
                                      stdout = TRUE))
    dag <- dfq_dag(dialect = dialect, form = form)
    got <- tryCatch(sql_statements(r_pipeline(dag, steps)), finally = close(dag))
    info <- paste(c(sprintf("round %d, dialect %s, form %s:", round, dialect, if (is.null(form)) "-" else form),
                    substr(pipeline_file(steps), 1L, 200L)), collapse = "\n")
    expect_gt(nrow(got), 0L)
    expect_identical(got[c("sql", "name", "query_type")],
                     expected[c("sql", "name", "query_type")], info = info)
    expect_identical(same_places(got$nodeid), same_places(expected$nodeid), info = info)
    split_seen <- split_seen || nrow(got) > 1L
  }
  expect_true(split_seen)
})
