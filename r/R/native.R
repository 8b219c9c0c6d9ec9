# The C library through .C: where libdfq is found, its entry points, and
# the calls with their return code turned into a condition.
#
# Every entry takes `char **` arrays and `int *` numbers, which is what .C
# passes: a character vector arrives as an array of writable copies of its
# strings and comes back with what the library wrote into them. An output
# is therefore passed as a string of the buffer's size (spaces), sized from
# the library's own count and length calls.

.state <- new.env(parent = emptyenv())
.state$dll <- NULL
.state$symbols <- list()
.state$current <- NULL   # the id of the open dag, or NULL
.state$dags <- 0L        # dags opened so far (ids)

NODEID_SIZE <- 21L
SHORT_TEXT <- 64L
MIN_BUFFER <- 4096L
# dfq_get_option: the buffer was too small; the size needed was written.
OPTION_BUFFER_TOO_SMALL <- 1604L
# Unknown option name: a library that predates that option.
UNKNOWN_OPTION <- 1601L

# Where libdfq is taken from: DFQ_LIBRARY, else the copy installed with
# the package, else the system's library search path.
dfq_library_path <- function() {
  env <- Sys.getenv("DFQ_LIBRARY")
  if (nzchar(env)) return(env)
  for (name in c("libdfq.so.1", "libdfq.so")) {
    bundled <- system.file("libdfq", name, package = "dfq")
    if (nzchar(bundled)) return(bundled)
  }
  system_library()
}

# libdfq.so.1 on the system's library search path: the folders of
# LD_LIBRARY_PATH, the linker's cache, then the usual folders. (dyn.load
# reads a bare name as a file of the working folder, so the search is made
# here.) The bare name when it is nowhere, for the error message.
system_library <- function(name = "libdfq.so.1") {
  folders <- strsplit(Sys.getenv("LD_LIBRARY_PATH"), ":", fixed = TRUE)[[1L]]
  cache <- tryCatch(suppressWarnings(system2("/sbin/ldconfig", "-p", stdout = TRUE,
                                             stderr = FALSE)),
                    error = function(e) character())
  cached <- sub(".*=> ", "", grep(paste0("^\\s*", name, " .*=> "), cache, value = TRUE))
  candidates <- c(file.path(folders[nzchar(folders)], name), cached,
                  file.path(c("/usr/local/lib", "/usr/local/lib64", "/usr/lib64", "/usr/lib",
                              "/lib64", "/lib"), name))
  found <- candidates[file.exists(candidates)]
  if (length(found) > 0L) found[[1L]] else name
}

native_dll <- function() {
  if (is.null(.state$dll)) {
    path <- dfq_library_path()
    dll <- tryCatch(dyn.load(path, local = TRUE, now = TRUE), error = function(e) {
      stop(dfq_condition(
        c("dfq_library_error", "dfq_dag_error"),
        sprintf(paste0("libdfq not found (%s): set DFQ_LIBRARY to the path of libdfq.so, ",
                       "install the package with DFQ_LIBRARY set (it keeps a copy), or ",
                       "install the library on the system's library search path"),
                conditionMessage(e))))
    })
    .state$dll <- dll
    .state$symbols <- list()
  }
  .state$dll
}

# The entry `name`, or NULL when the loaded library lacks it.
native_symbol <- function(name) {
  found <- .state$symbols[[name]]
  if (is.null(found)) {
    found <- tryCatch(getNativeSymbolInfo(name, native_dll()), error = function(e) FALSE)
    .state$symbols[[name]] <- found
  }
  if (isFALSE(found)) NULL else found
}

has_entry <- function(name) !is.null(native_symbol(name))

entry <- function(name) {
  sym <- native_symbol(name)
  if (is.null(sym)) {
    stop(dfq_condition("dfq_dag_error", sprintf(
      "this libdfq (%s) has no %s: it predates that operation", dfq_library_path(), name)))
  }
  sym
}

# The one place that calls the library: entry `name` with the arguments
# `...` (character vectors as char **, integer vectors as int *).
native_c <- function(name, ...) .C(entry(name), ...)

# A buffer of `size` bytes for .C: the library writes at most size - 1
# characters and the terminating zero.
buffer <- function(size, count = 1L) rep(strrep(" ", max(as.integer(size), 1L) - 1L), count)

# Calls entry `name` with `...` and a trailing return code; returns .C's
# list of the arguments as the library left them. A failure becomes a
# dfq_error condition with the library's code and message.
native_call <- function(dag, name, ...) {
  check_open(dag)
  out <- native_c(name, ..., ret_code = 0L)
  code <- out$ret_code
  if (code != 0L) stop(dfq_error(code, error_message(dag, code)))
  out
}

error_message <- function(dag, code) {
  size <- max(MIN_BUFFER, 2L * dag$longest + 1024L)
  native_c("dfq_get_error_message", as.integer(code), buffer(size))[[2L]]
}

close_library_dag <- function() {
  native_c("close_dag")
  invisible(NULL)
}
