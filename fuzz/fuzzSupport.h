// Shared by the fuzz targets: reading decisions from the fuzzer's bytes,
// host-like string arrays sized exactly (so that a write or read past a
// buffer is seen by AddressSanitizer), and the check that stops a run when
// the library breaks a promise.
#ifndef DFQ_FUZZ_SUPPORT_H
#define DFQ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dfq.h"

namespace fuzz {

// Decisions drawn from the input, front to back; an exhausted input yields
// zeros, so every input is a finite, valid program.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  // A number in [lo, hi].
  int number(int lo, int hi) {
    const unsigned span = static_cast<unsigned>(hi - lo) + 1;
    const unsigned raw = static_cast<unsigned>(byte()) | (static_cast<unsigned>(byte()) << 8);
    return lo + static_cast<int>(raw % span);
  }
  bool oneIn(int n) { return byte() % n == 0; }
  // Up to `maxLength` raw bytes (a zero byte ends the text early).
  std::string text(std::size_t maxLength) {
    const std::size_t length = byte() % (maxLength + 1);
    std::string s;
    for (std::size_t i = 0; i < length && !empty(); ++i) {
      const char c = static_cast<char>(byte());
      if (c == '\0') break;
      s += c;
    }
    return s;
  }
  // Everything not read yet.
  std::string rest() {
    std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return s;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A host's `char **`: one exactly sized buffer per string (or per requested
// size), any of which may be a null pointer, and the array itself may be
// passed as null.
class HostArray {
 public:
  HostArray() = default;
  explicit HostArray(const std::vector<std::string> &values) {
    for (const auto &v : values) add(v, v.size() + 1);
  }
  // `count` buffers of `size` bytes holding `initial`.
  static HostArray buffers(std::size_t count, std::size_t size, const std::string &initial = "") {
    HostArray a;
    for (std::size_t i = 0; i < count; ++i) a.add(initial, size);
    return a;
  }
  // One buffer per entry of `sizes`.
  static HostArray sized(const std::vector<int> &sizes) {
    HostArray a;
    for (int n : sizes) a.add("", static_cast<std::size_t>(n > 0 ? n : 1));
    return a;
  }
  void setNull(std::size_t i) {
    if (i < ptrs_.size()) ptrs_[i] = nullptr;
  }
  void passNull() { passNull_ = true; }
  char **get() { return passNull_ || ptrs_.empty() ? nullptr : ptrs_.data(); }
  std::size_t size() const { return storage_.size(); }
  std::string at(std::size_t i) const { return std::string(storage_[i].data()); }

 private:
  void add(const std::string &v, std::size_t size) {
    std::vector<char> buf(size < v.size() + 1 ? v.size() + 1 : size, '\0');
    std::copy(v.begin(), v.end(), buf.begin());
    storage_.push_back(std::move(buf));
    ptrs_.clear();
    for (auto &b : storage_) ptrs_.push_back(b.data());
  }
  std::vector<std::vector<char>> storage_;
  std::vector<char *> ptrs_;
  bool passNull_ = false;
};

// A broken promise of the library: report it and stop, so the fuzzer keeps
// the input.
[[noreturn]] inline void fail(const char *what, const std::string &detail = "") {
  std::fprintf(stderr, "libdfq broke a promise: %s %s\n", what, detail.c_str());
  std::abort();
}

inline void require(bool condition, const char *what, const std::string &detail = "") {
  if (!condition) fail(what, detail);
}

// Hosts run with the log's defaults (ERROR records to standard error); on
// top of that a log file receives every record of every level, so each
// record the library writes is formatted with its arguments. The file is
// the null device: the formatting is what is checked, not the text.
inline void formatEveryRecord() {
  static std::FILE *const sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) fail("cannot open the null device as the log file");
  log_set_fp(sink);
  log_set_level(4);  // every input starts from the same state
}

}  // namespace fuzz

#endif
