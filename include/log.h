// The library's leveled log facility (exported with C linkage) and the
// macros through which every unit writes its records.
#ifndef DFQ_LOG_H
#define DFQ_LOG_H

#include "dfq.h"

enum { LOG_TRACE = 0, LOG_DEBUG = 1, LOG_INFO = 2, LOG_WARN = 3, LOG_ERROR = 4, LOG_FATAL = 5 };

#ifdef __cplusplus
extern "C" {
#endif
// True when a record of `level` would reach any destination; lets callers
// skip building arguments for records that go nowhere.
int log_would_write(int level);
#ifdef __cplusplus
}
#endif

// Each unit defines DFQ_LOG_UNIT (its relative source path) before use.
#define DFQ_TRACE(...) log_log(LOG_TRACE, DFQ_LOG_UNIT, __LINE__, __VA_ARGS__)
#define DFQ_DEBUG(...) log_log(LOG_DEBUG, DFQ_LOG_UNIT, __LINE__, __VA_ARGS__)
#define DFQ_ERROR(...) log_log(LOG_ERROR, DFQ_LOG_UNIT, __LINE__, __VA_ARGS__)

#endif
