// An immutable text that its copies share: a node's composed query and name
// are held once, by the node and by every list of queries and views that
// names it, so copying a list entry copies neither. Every shared text lives
// and dies under the library's lock (EntryLock.h) and none is handed to the
// host, so the copies are counted without atomic operations (each of which
// would order every memory access around it).
#ifndef DFQ_SHARED_TEXT_H
#define DFQ_SHARED_TEXT_H

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace dfq {

class SharedText {
 public:
  SharedText() = default;
  // A text is a shared text wherever a list entry is built from one.
  SharedText(std::string text)  // NOLINT(google-explicit-constructor)
      : held(new Held(std::move(text))) {}
  SharedText(const char *text) : SharedText(std::string(text)) {}  // NOLINT
  SharedText(const SharedText &other) noexcept : held(other.held) {
    if (held) ++held->copies;
  }
  SharedText(SharedText &&other) noexcept : held(std::exchange(other.held, nullptr)) {}
  SharedText &operator=(const SharedText &other) noexcept {
    SharedText copy(other);
    std::swap(held, copy.held);
    return *this;
  }
  SharedText &operator=(SharedText &&other) noexcept {
    SharedText moved(std::move(other));
    std::swap(held, moved.held);
    return *this;
  }
  ~SharedText() {
    if (held != nullptr) release();
  }

  const std::string &str() const { return held ? held->text : none(); }
  operator const std::string &() const { return str(); }  // NOLINT
  std::size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  const char *c_str() const { return str().c_str(); }

  // The answer of `test` for this text, worked out once for all the copies
  // (the text never changes). Every caller asks the same test.
  bool checkedOnce(bool (*test)(const std::string &)) const {
    if (!held) return test(none());
    if (held->checked < 0) held->checked = test(held->text) ? 1 : 0;
    return held->checked == 1;
  }

  // What `survey` reports of the text, worked out once for all the copies
  // (as checkedOnce: every caller asks the same survey).
  struct Survey {
    std::size_t start = 0;
    std::size_t end = 0;
    unsigned char count = 0;
  };
  Survey surveyedOnce(Survey (*survey)(const std::string &)) const {
    if (!held) return survey(none());
    if (!held->surveyed) {
      held->survey = survey(held->text);
      held->surveyed = true;
    }
    return held->survey;
  }

  // std::hash of the text, worked out once for all the copies.
  std::size_t hash() const {
    if (!held) return std::hash<std::string_view>()(none());
    if (!held->hashed) {
      held->hashValue = std::hash<std::string_view>()(held->text);
      held->hashed = true;
    }
    return held->hashValue;
  }

  // Asks for the held text's record to be brought into the cache ahead of
  // its use.
  void prefetch() const {
    if (held) __builtin_prefetch(held);
  }

  friend bool operator==(const SharedText &a, const SharedText &b) { return a.str() == b.str(); }
  friend bool operator==(const SharedText &a, const std::string &b) { return a.str() == b; }
  friend bool operator==(const SharedText &a, const char *b) { return a.str() == b; }
  friend std::ostream &operator<<(std::ostream &out, const SharedText &t) { return out << t.str(); }

 private:
  struct Held {
    explicit Held(std::string t) : text(std::move(t)) {}
    const std::string text;
    std::size_t copies = 1;  // the SharedTexts that hold this one
    mutable signed char checked = -1;  // not yet, false, true
    mutable bool hashed = false;
    mutable bool surveyed = false;
    mutable std::size_t hashValue = 0;
    mutable Survey survey;
  };
  // Drops this copy of a held text; the last one deletes the text.
  void release() noexcept;
  static const std::string &none() {
    static const std::string empty;
    return empty;
  }
  Held *held = nullptr;
};

}  // namespace dfq

#endif
