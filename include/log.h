// The library's leveled log facility (exported with C linkage) and the
// macros through which every unit writes its records.
#ifndef DFQ_LOG_H
#define DFQ_LOG_H

#include "dfq.h"

enum { LOG_TRACE = 0, LOG_DEBUG = 1, LOG_INFO = 2, LOG_WARN = 3, LOG_ERROR = 4, LOG_FATAL = 5 };

// Where records can go, mirrored from the log state by its setters so that
// the library's own records are skipped inline when they reach nowhere.
struct LogGate {
  bool hasFile;
  int level;
};
extern LogGate dfqLogGate;

// True when a record of `level` would reach any destination.
inline bool log_would_write(int level) { return dfqLogGate.hasFile || level == dfqLogGate.level; }

// Each unit defines DFQ_LOG_UNIT (its relative source path) before use.
#define DFQ_LOG_AT(level, ...)                                             \
  do {                                                                     \
    if (log_would_write(level)) log_log(level, DFQ_LOG_UNIT, __LINE__, __VA_ARGS__); \
  } while (0)
#define DFQ_TRACE(...) DFQ_LOG_AT(LOG_TRACE, __VA_ARGS__)
#define DFQ_DEBUG(...) DFQ_LOG_AT(LOG_DEBUG, __VA_ARGS__)
#define DFQ_ERROR(...) DFQ_LOG_AT(LOG_ERROR, __VA_ARGS__)

#endif
