# What running needs to know of a database behind a DBI connection: where
# its schemas live, what a name is now (table, view or nothing), and how its
# SQL is read, so that a statement holding a second statement is refused.

engine_for <- function(con) {
  if (inherits(con, "SQLiteConnection")) return(sqlite_engine(con))
  postgres <- inherits(con, c("PostgreSQLConnection", "PqConnection"))
  list(
    # An unknown database is read both ways: a statement either reading
    # finds a second statement in is refused.
    lexers = if (postgres) c("postgresql", "postgresql_backslash")
             else c("sqlite", "postgresql", "postgresql_backslash"),
    attach = function(schemas) invisible(NULL),
    create_schemas = function(schemas) {
      for (schema in sort(schemas)) {
        DBI::dbExecute(con, sprintf("create schema if not exists %s", quoted(schema)))
      }
    },
    kind_of = function(schema, table) {
      where <- if (is.null(schema)) "current_schema()" else literal(schema)
      found <- DBI::dbGetQuery(con, sprintf(paste0(
        "select table_type from information_schema.tables where table_schema = %s ",
        "and table_name = %s"), where, literal(table)))
      if (nrow(found) == 0L) NULL else if (found[[1L]][[1L]] == "VIEW") "view" else "table"
    })
}

# SQLite: a schema other than main and temp is an attached database of that
# name, kept in a file beside the main database's (schema work of shop.db in
# shop.work.db), or in memory when the main database is.
sqlite_engine <- function(con) {
  databases <- function() DBI::dbGetQuery(con, "pragma database_list")
  list(
    lexers = "sqlite",
    attach = function(schemas) {
      found <- databases()
      main <- found$file[found$name == "main"]
      for (schema in sort(setdiff(schemas, c(found$name, "temp")))) {
        DBI::dbExecute(con, sprintf("attach %s as %s", literal(schema_file(main, schema)),
                                    quoted(schema)))
      }
    },
    create_schemas = function(schemas) invisible(NULL),
    kind_of = function(schema, table) {
      schema <- schema %||% "main"
      if (!(schema %in% databases()$name)) return(NULL)
      master <- if (schema == "temp") "sqlite_temp_master"
                else paste0(quoted(schema), ".sqlite_master")
      found <- DBI::dbGetQuery(con, sprintf("select type from %s where name = %s", master,
                                            literal(table)))
      if (nrow(found) == 0L) NULL else found$type[[1L]]
    })
}

schema_file <- function(main, schema) {
  if (length(main) == 0L || !nzchar(main)) return(":memory:")
  file.path(dirname(main), sprintf("%s.%s.db", sub("\\.[^.]*$", "", basename(main)), schema))
}

# ---- one statement per statement --------------------------------------------

# The byte position of a ';' that ends the first statement of `sql` and is
# followed by more than white space, comments and semicolons, as any of
# `lexers` reads the text; 0 when `sql` is a single statement. Lexers:
# "sqlite" ('...', "...", `...`, [...], non-nested /* */, --),
# "postgresql" ('...', E'...' with backslash escapes, "...", $tag$...$tag$,
# nested /* */, --) and "postgresql_backslash" (the same with backslash
# escapes in every string, as with standard_conforming_strings off).
second_statement <- function(sql, lexers) {
  if (!grepl(";", sql, fixed = TRUE)) return(0L)
  b <- as.integer(charToRaw(enc2utf8(sql)))
  for (lexer in lexers) {
    at <- scan_statement(b, lexer)
    if (at > 0L) return(at)
  }
  0L
}

WHITE_SPACE <- c(9L, 10L, 11L, 12L, 13L, 32L)

is_identifier_byte <- function(x) {
  !is.na(x) && (x >= 128L || (x >= 48L && x <= 57L) || (x >= 65L && x <= 90L) ||
                  (x >= 97L && x <= 122L) || x == 95L || x == 36L)
}

scan_statement <- function(b, lexer) {
  n <- length(b)
  postgres <- lexer != "sqlite"
  backslash_always <- lexer == "postgresql_backslash"
  specials <- c(39L, 34L, 45L, 47L, 59L, if (postgres) 36L else c(96L, 91L))
  sp <- which(b %in% specials)
  pos <- list()
  # The first position > `after` of `byte`, or n + 1: a binary search of
  # the byte's sorted positions (findInterval would check their order at
  # every call, which makes a long text quadratic).
  next_of <- function(byte, after) {
    key <- as.character(byte)
    p <- pos[[key]]
    if (is.null(p)) {
      p <- which(b == byte)
      pos[[key]] <<- p
    }
    lo <- 1L
    hi <- length(p) + 1L
    while (lo < hi) {
      mid <- (lo + hi) %/% 2L
      if (p[[mid]] > after) hi <- mid else lo <- mid + 1L
    }
    if (lo > length(p)) n + 1L else p[[lo]]
  }
  # The end of a quoted text opened at `j` by `close` (doubled to escape),
  # with backslash escapes when `escapes`.
  quoted_end <- function(j, close, escapes) {
    k <- j
    repeat {
      k <- next_of(close, k)
      if (k > n) return(n)
      if (escapes) {
        run <- 0L
        while (k - 1L - run > j && b[[k - 1L - run]] == 92L) run <- run + 1L
        if (run %% 2L == 1L) next
      }
      if (k < n && b[[k + 1L]] == close) {
        k <- k + 1L
        next
      }
      return(k)
    }
  }
  # The first position >= `from` of the two bytes `first` `second`, or n + 1.
  pair_at <- function(first, second, from) {
    p <- from - 1L
    repeat {
      p <- next_of(first, p)
      if (p >= n) return(n + 1L)
      if (b[[p + 1L]] == second) return(p)
    }
  }
  # The last byte of the comment opened at `j` (nested in PostgreSQL).
  comment_end <- function(j) {
    k <- j + 2L
    depth <- 1L
    repeat {
      close <- pair_at(42L, 47L, k)
      if (close > n) return(n)
      open <- if (postgres) pair_at(47L, 42L, k) else n + 1L
      if (open < close) {
        depth <- depth + 1L
        k <- open + 2L
      } else {
        depth <- depth - 1L
        k <- close + 2L
        if (depth == 0L) return(close + 1L)
      }
    }
  }
  dollar_end <- function(j) {
    k <- j + 1L
    while (k <= n && b[[k]] != 36L) {
      x <- b[[k]]
      if (!is_identifier_byte(x) || x == 36L || (k == j + 1L && x >= 48L && x <= 57L)) {
        return(0L)
      }
      k <- k + 1L
    }
    if (k > n) return(0L)
    tag <- b[j:k]
    at <- k
    repeat {
      at <- next_of(36L, at)
      if (at > n) return(n)
      last <- at + length(tag) - 1L
      if (last <= n && identical(b[at:last], tag)) return(last)
    }
  }
  ended <- 0L
  i <- 1L
  k <- 1L
  while (i <= n) {
    # The next special byte at i or later (i only grows).
    while (k <= length(sp) && sp[[k]] < i) k <- k + 1L
    j <- if (k > length(sp)) n + 1L else sp[[k]]
    if (ended > 0L && j > i && any(!(b[i:(j - 1L)] %in% WHITE_SPACE))) return(ended)
    if (j > n) break
    x <- b[[j]]
    following <- if (j < n) b[[j + 1L]] else 0L
    end <- NA_integer_
    if (x == 59L) {
      if (ended == 0L) ended <- j
      end <- j
    } else if (x == 45L && following == 45L) {
      end <- next_of(10L, j)
    } else if (x == 47L && following == 42L) {
      end <- comment_end(j)
    } else if (ended > 0L) {
      return(ended)
    } else if (x == 39L) {
      e_string <- postgres && j > 1L && b[[j - 1L]] %in% c(69L, 101L) &&
        !(j > 2L && is_identifier_byte(b[[j - 2L]]))
      end <- quoted_end(j, 39L, backslash_always || e_string)
    } else if (x == 34L || x == 96L) {
      end <- quoted_end(j, x, FALSE)
    } else if (x == 91L) {
      end <- next_of(93L, j)
    } else if (x == 36L && !(j > 1L && is_identifier_byte(b[[j - 1L]]))) {
      end <- dollar_end(j)
      if (end == 0L) end <- j
    } else {
      end <- j
    }
    i <- end + 1L
  }
  0L
}
