# Conditions: every failure is an R error of its own class.
#  - dfq_error: the library refused a call (`code`, `message`);
#  - dfq_dag_error: a use of the dag that cannot work (closed, a second one
#    open, frames of different dags, a library without an entry);
#  - dfq_argument_error: an argument of the wrong type, NULL or NA;
#  - dfq_db_error: a statement the database rejected, or refused before it
#    ran because it holds a second statement (`statement`: its name).

dfq_condition <- function(class, message, ...) {
  structure(class = c(class, "error", "condition"),
            list(message = message, call = NULL, ...))
}

dfq_error <- function(code, message) {
  dfq_condition("dfq_error", sprintf("DFQ-%d: %s", code, message),
                code = code, library_message = message)
}

argument_error <- function(fmt, ...) {
  stop(dfq_condition("dfq_argument_error", sprintf(fmt, ...)))
}

# `value` as one string for the library: a character vector of length one,
# not NA.
text_arg <- function(value, what) {
  if (is.null(value)) argument_error("%s must be a single string, not NULL", what)
  if (length(value) == 1L && is.atomic(value) && is.na(value)) {
    argument_error("%s must be a single string, not NA", what)
  }
  if (!is.character(value) || length(value) != 1L) {
    argument_error("%s must be a single string, not %s of length %d", what,
                   class(value)[1L], length(value))
  }
  enc2utf8(value)
}

flag_arg <- function(value, what) {
  if (!is.logical(value) || length(value) != 1L || is.na(value)) {
    argument_error("%s must be TRUE or FALSE", what)
  }
  value
}

# A whole number >= 0, given as a number or as digits.
count_arg <- function(value, what) {
  if (is.character(value) && length(value) == 1L && !is.na(value) &&
      grepl("^[0-9]+$", value)) {
    value <- as.numeric(value)
  }
  if (!is.numeric(value) || length(value) != 1L || is.na(value) || value < 0 ||
      value != floor(value) || value > .Machine$integer.max) {
    argument_error("%s must be a whole number of rows, 0 or more", what)
  }
  as.integer(value)
}

`%||%` <- function(a, b) if (is.null(a)) b else a
