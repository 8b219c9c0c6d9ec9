// The working text of the resolver, in two forms with one interface.
//
// PlainText is the reference: it scans for the first quoted two-part name
// from the start of the text every time, and rebuilds the text on every edit.
// GapText gives the same answers in time linear in the text it produces: it
// keeps the text in a gap buffer whose gap follows the edits, and resumes the
// scan where an edit can have changed its outcome instead of at the start.
// Its edits (hide, replace) are made where the last name found starts, as
// the resolver makes them.
#ifndef DFQ_RESOLVER_TEXT_H
#define DFQ_RESOLVER_TEXT_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dfq {

class PlainText {
 public:
  PlainText() = default;
  explicit PlainText(std::string text) : text_(std::move(text)) {}

  // The first `"a"."b"` of the text: indexes of its first and last quote.
  bool findName(std::size_t &start, std::size_t &end) const;
  std::size_t size() const { return text_.size(); }
  // The characters from `start` to `end`, both included; written into
  // `out`, whose memory is reused, or returned.
  void slice(std::size_t start, std::size_t end, std::string &out) const {
    out.assign(text_, start, end - start + 1);
  }
  std::string slice(std::size_t start, std::size_t end) const {
    return text_.substr(start, end - start + 1);
  }
  // True when the text at `pos` begins with `prefix`.
  bool holdsAt(std::size_t pos, std::string_view prefix) const;
  // Overwrites the characters from `start` to `end` with '*'.
  void hide(std::size_t start, std::size_t end);
  // Replaces the characters from `start` to `end` with `head + body + tail`.
  void replace(std::size_t start, std::size_t end, std::string_view head, std::string_view body,
               std::string_view tail);
  void assign(std::string text) { text_ = std::move(text); }
  void reserve(std::size_t length) { text_.reserve(length); }
  std::string str() const { return text_; }

 private:
  std::string text_;
};

class GapText {
 public:
  GapText() = default;
  explicit GapText(std::string text) { assign(std::move(text)); }
  GapText(const GapText &) = delete;
  GapText &operator=(const GapText &) = delete;
  GapText(GapText &&other) noexcept { *this = std::move(other); }
  GapText &operator=(GapText &&other) noexcept;
  ~GapText() { recycle(); }

  bool findName(std::size_t &start, std::size_t &end);
  std::size_t size() const { return capacity_ - gapLength(); }
  // Room for a text of `length` characters without growing.
  void reserve(std::size_t length);
  void slice(std::size_t start, std::size_t end, std::string &out) const;
  std::string slice(std::size_t start, std::size_t end) const {
    std::string text;
    slice(start, end, text);
    return text;
  }
  bool holdsAt(std::size_t pos, std::string_view prefix) const {
    if (pos + prefix.size() > size()) return false;
    // Mostly on one side of the gap: compared in place.
    if (pos < gapStart_ && pos + prefix.size() > gapStart_) return holdsAcrossGap(pos, prefix);
    const char *from = buf_.get() + (pos >= gapStart_ ? pos + gapLength() : pos);
    for (std::size_t i = 0; i < prefix.size(); ++i)
      if (from[i] != prefix[i]) return false;
    return true;
  }
  void hide(std::size_t start, std::size_t end);
  void replace(std::size_t start, std::size_t end, std::string_view head, std::string_view body,
               std::string_view tail);
  void assign(std::string text);
  std::string str() const;

 private:
  static constexpr std::size_t npos = std::string::npos;

  bool holdsAcrossGap(std::size_t pos, std::string_view prefix) const;

  std::size_t gapLength() const { return gapEnd_ - gapStart_; }
  char at(std::size_t pos) const { return buf_[pos < gapStart_ ? pos : pos + gapLength()]; }
  char &at(std::size_t pos) { return buf_[pos < gapStart_ ? pos : pos + gapLength()]; }
  std::size_t nextQuote(std::size_t from) const;
  void moveGapTo(std::size_t pos);
  void reserveGap(std::size_t length);
  // A buffer of at least `length` characters: the one kept from an earlier
  // text when it is large enough, since fresh memory of this size is paid
  // for in page faults on first touch.
  static std::unique_ptr<char[]> obtain(std::size_t length, std::size_t &capacity);
  // Keeps this text's buffer for the next text.
  void recycle();
  // Forgets what the scan knew about the text from `pos` on.
  void editedAt(std::size_t pos);

  // Text before the gap, the gap, text after the gap; not zero-filled.
  std::unique_ptr<char[]> buf_;
  std::size_t capacity_ = 0;
  std::size_t gapStart_ = 0;
  std::size_t gapEnd_ = 0;
  // Scan state: every quote before `scanFrom_` in order. An edit where a
  // name was found leaves the outcome of every start unchanged whose next
  // quote lies more than two characters before the edit.
  std::vector<std::size_t> quotesBefore_;
  std::size_t scanFrom_ = 0;
};

}  // namespace dfq

#endif
