// The common call frame of the exported C functions, shared by every unit
// that defines exported entries.
#ifndef DFQ_REQUEST_H
#define DFQ_REQUEST_H

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "DagBuilder.h"
#include "DagException.h"
#include "EntryLock.h"
#include "dfqCommon.h"
#include "log.h"

namespace dfq {

// The process-wide facade (null when there is no DAG instance).
DagBuilder *&dagBuilder();

// The facade, or 1302 when there is none (operations that need a graph).
DagBuilder &requireBuilder();

// Records a failure: ERROR record, message kept under its code, code to
// `*ret_code` when that is not null.
void reportFailure(int code, const char *message, int *ret_code, bool dagError);

// Runs one exported entry under the library's lock: entry text, 0 to
// `*ret_code`, the work inside the two handlers, exit text. A null text
// writes no record. No exception leaves this function.
template <class Work>
void callFrame(const char *entering, const char *exiting, int *ret_code, Work &&work) noexcept {
  const EntryLock hold;
  if (entering && log_would_write(LOG_TRACE))
    log_log(LOG_TRACE, "../src/dfqRequest", __LINE__, "%s", entering);
  if (ret_code) *ret_code = 0;
  try {
    work();
  } catch (const DagException &e) {
    reportFailure(e.errorCode, e.what(), ret_code, true);
  } catch (const std::exception &e) {
    reportFailure(1000, e.what(), ret_code, false);
  } catch (...) {
    reportFailure(1000, "Unknown failure", ret_code, false);
  }
  if (exiting && log_would_write(LOG_TRACE))
    log_log(LOG_TRACE, "../src/dfqRequest", __LINE__, "%s", exiting);
}

// A node id from the host's text as atoll reads it (non-numbers give 0).
// Plain decimal ids, the form the library hands out, are read inline.
inline nodeid_t parseNodeid(const char *text) {
  nodeid_t value = 0;
  int digits = 0;
  for (const char *p = text; *p >= '0' && *p <= '9'; ++p, ++digits) {
    if (digits == 18) return static_cast<nodeid_t>(std::atoll(text));
    value = value * 10 + (*p - '0');
  }
  return digits > 0 ? value : static_cast<nodeid_t>(std::atoll(text));
}
inline nodeid_t toNodeid(char **text) { return parseNodeid(text[0]); }

// The message recorded for `code` (empty when none).
std::string errorMessageFor(int code);
void forgetOrphanMessages();

// Prints `id` with "%ld" and copies it into `out[0]`.
void writeNodeid(nodeid_t id, char **out);

}  // namespace dfq

#endif
