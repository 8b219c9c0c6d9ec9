// Leveled logging: every record goes to the host's stream when one is set
// (long time format), and to standard error when its level equals the
// configured level (short time format), bracketed by the host's lock. The
// library's lock is held while a record is written and while the state
// changes, so records of different threads never interleave.
#include "log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "EntryLock.h"

namespace {

const char *const level_names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

struct LogState {
  void *udata;
  log_LockFn lock;
  FILE *fp;
  int level;
  int quiet;
};

LogState L = {nullptr, nullptr, nullptr, LOG_ERROR, 0};

char name[256] = "dfq.log";

const char *levelName(int level) {
  return (level >= 0 && level <= LOG_FATAL) ? level_names[level] : "?";
}

void lock() {
  if (L.lock) L.lock(L.udata, 1);
}

void unlock() {
  if (L.lock) L.lock(L.udata, 0);
}

DFQ_PRINTF_LIKE(6, 0)
void writeRecord(FILE *out, const char *timeText, int level, const char *file, int line,
                 const char *fmt, va_list args) {
  fprintf(out, "%s %-5s %s:%d: ", timeText, levelName(level), file ? file : "", line);
  if (fmt) vfprintf(out, fmt, args);
  fputc('\n', out);
}

}  // namespace

LogGate dfqLogGate = {false, LOG_ERROR};

extern "C" {

void log_log(int level, const char *file, int line, const char *fmt, ...) {
  const dfq::EntryLock hold;  // one record at a time, the state read whole
  // Most records reach no destination: skip the clock and the formatting.
  if (!log_would_write(level)) return;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);

  if (L.fp) {
    char buf[32];
    buf[strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local)] = '\0';
    va_list args;
    va_start(args, fmt);
    writeRecord(L.fp, buf, level, file, line, fmt, args);
    va_end(args);
  }
  if (level != L.level) return;

  lock();
  if (!L.quiet) {
    char buf[16];
    buf[strftime(buf, sizeof buf, "%H:%M:%S", &local)] = '\0';
    va_list args;
    va_start(args, fmt);
    writeRecord(stderr, buf, level, file, line, fmt, args);
    va_end(args);
  }
  unlock();
}

// The setters and the getter take the library's lock, so that a host thread
// never changes the state while another writes a record.
void log_set_udata(void *udata) {
  const dfq::EntryLock hold;
  L.udata = udata;
}
void log_set_lock(log_LockFn fn) {
  const dfq::EntryLock hold;
  L.lock = fn;
}
void log_set_fp(FILE *fp) {
  const dfq::EntryLock hold;
  L.fp = fp;
  dfqLogGate.hasFile = fp != nullptr;
}
int log_get_level(void) {
  const dfq::EntryLock hold;
  return L.level;
}
void log_set_level(int level) {
  const dfq::EntryLock hold;
  L.level = level;
  dfqLogGate.level = level;
}
void log_set_quiet(int enable) {
  const dfq::EntryLock hold;
  L.quiet = enable ? 1 : 0;
}
// Reads nothing that changes, so it needs no lock.
char *getFilename(FILE * /*fp*/) { return name; }

}  // extern "C"
