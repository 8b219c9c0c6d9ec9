// An immutable text that its copies share: a node's composed query is held
// once, by the node and by every list of queries and views that names it, so
// copying a list entry does not copy its query.
#ifndef DFQ_SHARED_TEXT_H
#define DFQ_SHARED_TEXT_H

#include <memory>
#include <ostream>
#include <string>

namespace dfq {

class SharedText {
public:
  SharedText() = default;
  SharedText(std::string text) // NOLINT(google-explicit-constructor): a text is
                               // a shared text
      : held(std::make_shared<Held>(std::move(text))) {}
  SharedText(const char *text) : SharedText(std::string(text)) {} // NOLINT

  const std::string &str() const { return held ? held->text : none(); }
  operator const std::string &() const { return str(); } // NOLINT
  std::size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  const char *c_str() const { return str().c_str(); }

  // The answer of `test` for this text, worked out once for all the copies
  // (the text never changes). Every caller asks the same test.
  bool checkedOnce(bool (*test)(const std::string &)) const {
    if (!held)
      return test(none());
    if (held->checked < 0)
      held->checked = test(held->text) ? 1 : 0;
    return held->checked == 1;
  }

  friend bool operator==(const SharedText &a, const SharedText &b) {
    return a.str() == b.str();
  }
  friend bool operator==(const SharedText &a, const std::string &b) {
    return a.str() == b;
  }
  friend bool operator==(const SharedText &a, const char *b) {
    return a.str() == b;
  }
  friend std::ostream &operator<<(std::ostream &out, const SharedText &t) {
    return out << t.str();
  }

private:
  struct Held {
    explicit Held(std::string t) : text(std::move(t)) {}
    const std::string text;
    mutable signed char checked = -1; // not yet, false, true
  };
  static const std::string &none() {
    static const std::string empty;
    return empty;
  }
  std::shared_ptr<const Held> held;
};

} // namespace dfq

#endif
