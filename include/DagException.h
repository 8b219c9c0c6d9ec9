// The library's one exception type, and the inner frame that every method
// which can fail runs its work in: a passing exception is logged at DEBUG
// and rethrown unchanged, so it reaches the exported entry that reports it.
#ifndef DFQ_DAG_EXCEPTION_H
#define DFQ_DAG_EXCEPTION_H

#include <exception>
#include <string>

#include "log.h"

class DagException : public std::exception {
 public:
  DagException(const std::string &message, int code) : errorCode(code), errorMessage(message) {}
  ~DagException() override = default;
  const char *what() const noexcept override { return errorMessage.c_str(); }

  int errorCode;
  std::string errorMessage;
};

// Runs `work` in the inner frame, logging under `unit` and `line`.
template <class Work>
decltype(auto) innerFrame(const char *unit, int line, Work &&work) {
  try {
    return work();
  } catch (const std::exception &e) {
    log_log(LOG_DEBUG, unit, line, "%s\n", e.what());
    throw;
  }
}

#define DFQ_INNER_FRAME(...) innerFrame(DFQ_LOG_UNIT, __LINE__, __VA_ARGS__)

#endif
