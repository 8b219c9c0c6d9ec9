# With dplyr installed, its generics show_query(), collect() and compute()
# also reach frames, whichever of the two packages is attached last.

.onLoad <- function(libname, pkgname) {
  for (generic in c("show_query", "collect", "compute")) {
    register_s3(generic, "dplyr", "dfq_frame", get(paste0(generic, ".dfq_frame")))
  }
}

# Registers `method` for `generic` of package `pkg` now if `pkg` is loaded,
# and whenever it is loaded later.
register_s3 <- function(generic, pkg, class, method) {
  # Evaluated now: the hook runs later, after the caller's loop has moved on.
  force(generic)
  force(pkg)
  force(class)
  force(method)
  register <- function(...) {
    if (isNamespaceLoaded(pkg)) {
      registerS3method(generic, class, method, envir = asNamespace(pkg))
    }
  }
  setHook(packageEvent(pkg, "onLoad"), register)
  register()
}
