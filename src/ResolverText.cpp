#include "ResolverText.h"

#include <algorithm>
#include <cstring>

#include "Utils.h"

namespace dfq {

// ---- PlainText -------------------------------------------------------------

bool PlainText::findName(std::size_t &start, std::size_t &end) const {
  return Utils::validatePattern(text_, 0, &start, &end);
}

bool PlainText::holdsAt(std::size_t pos, std::string_view prefix) const {
  return pos <= text_.size() && std::string_view(text_).substr(pos).starts_with(prefix);
}

void PlainText::hide(std::size_t start, std::size_t end) {
  text_.replace(start, end - start + 1, end - start + 1, '*');
}

void PlainText::replace(std::size_t start, std::size_t end, std::string_view head,
                        std::string_view body, std::string_view tail) {
  std::string next = text_.substr(0, start);
  next += head;
  next += body;
  next += tail;
  next += text_.substr(end + 1);
  text_ = std::move(next);
}

// ---- GapText ---------------------------------------------------------------

void GapText::assign(std::string text) {
  buf_ = std::move(text);
  gapStart_ = gapEnd_ = buf_.size();
  quotesBefore_.clear();
  scanFrom_ = 0;
}

std::string GapText::str() const {
  std::string text;
  text.reserve(size());
  text.append(buf_, 0, gapStart_);
  text.append(buf_, gapEnd_, npos);
  return text;
}

std::string GapText::slice(std::size_t start, std::size_t end) const {
  std::string text;
  text.reserve(end - start + 1);
  for (std::size_t pos = start; pos <= end; ++pos) text += at(pos);
  return text;
}

bool GapText::holdsAt(std::size_t pos, std::string_view prefix) const {
  if (pos + prefix.size() > size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (at(pos + i) != prefix[i]) return false;
  return true;
}

std::size_t GapText::nextQuote(std::size_t from) const {
  const char *data = buf_.data();
  if (from < gapStart_) {
    const void *hit = std::memchr(data + from, '"', gapStart_ - from);
    if (hit) return static_cast<const char *>(hit) - data;
    from = gapStart_;
  }
  const std::size_t physical = from + gapLength();
  if (physical >= buf_.size()) return npos;
  const void *hit = std::memchr(data + physical, '"', buf_.size() - physical);
  return hit ? static_cast<const char *>(hit) - data - gapLength() : npos;
}

// The scan of Utils::validatePattern, resumed: every start before the last
// known quote has been tried and failed, and so would fail again.
bool GapText::findName(std::size_t &start, std::size_t &end) {
  std::size_t candidate;
  std::size_t close;  // the quote after the candidate
  if (!quotesBefore_.empty()) {
    candidate = quotesBefore_.back();
    quotesBefore_.pop_back();
    close = nextQuote(scanFrom_);  // nothing between the candidate and scanFrom_
  } else {
    candidate = nextQuote(scanFrom_);
    if (candidate == npos) return false;
    close = nextQuote(candidate + 1);
  }
  const std::size_t length = size();
  while (true) {
    if (close == npos) {
      quotesBefore_.push_back(candidate);
      scanFrom_ = length;
      return false;
    }
    if (close + 2 < length && at(close + 1) == '.' && at(close + 2) == '"') {
      const std::size_t last = nextQuote(close + 3);
      if (last != npos) {
        start = candidate;
        end = last;
        scanFrom_ = candidate;  // the match is not yet passed
        return true;
      }
    }
    quotesBefore_.push_back(candidate);
    candidate = close;
    close = nextQuote(candidate + 1);
  }
}

void GapText::editedAt(std::size_t pos) {
  while (!quotesBefore_.empty() && quotesBefore_.back() >= pos) quotesBefore_.pop_back();
  scanFrom_ = pos;
}

void GapText::hide(std::size_t start, std::size_t end) {
  for (std::size_t pos = start; pos <= end; ++pos) at(pos) = '*';
  editedAt(start);
}

void GapText::moveGapTo(std::size_t pos) {
  if (pos < gapStart_) {
    const std::size_t count = gapStart_ - pos;
    std::memmove(&buf_[gapEnd_ - count], &buf_[pos], count);
    gapStart_ = pos;
    gapEnd_ -= count;
  } else if (pos > gapStart_) {
    const std::size_t count = pos - gapStart_;
    std::memmove(&buf_[gapStart_], &buf_[gapEnd_], count);
    gapStart_ += count;
    gapEnd_ += count;
  }
}

void GapText::reserveGap(std::size_t length) {
  if (gapLength() >= length) return;
  const std::size_t after = buf_.size() - gapEnd_;
  const std::size_t grown = std::max(buf_.size() * 2, size() + length + 64);
  std::string next(grown, '\0');
  std::memcpy(next.data(), buf_.data(), gapStart_);
  std::memcpy(next.data() + grown - after, buf_.data() + gapEnd_, after);
  buf_ = std::move(next);
  gapEnd_ = grown - after;
}

// The gap is left where the replaced text was, in front of the new text, so
// that the scan moving on into it moves the gap forward only.
void GapText::replace(std::size_t start, std::size_t end, std::string_view head,
                      std::string_view body, std::string_view tail) {
  moveGapTo(end + 1);
  gapStart_ = start;
  const std::size_t length = head.size() + body.size() + tail.size();
  reserveGap(length);
  char *out = &buf_[gapEnd_ - length];
  std::memcpy(out, head.data(), head.size());
  std::memcpy(out + head.size(), body.data(), body.size());
  std::memcpy(out + head.size() + body.size(), tail.data(), tail.size());
  gapEnd_ -= length;
  editedAt(start);
}

}  // namespace dfq
