#include "ResolverText.h"

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace {

// The largest buffer of a finished text, up to a size worth keeping. Texts
// are built and finished under the library's lock (EntryLock.h).
struct SpareBuffer {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;
};
SpareBuffer spare;
constexpr std::size_t kLargestKept = std::size_t{8} << 20;

}  // namespace

std::unique_ptr<char[]> GapText::obtain(std::size_t length, std::size_t &capacity) {
  if (spare.data && spare.capacity >= length) {
    capacity = std::exchange(spare.capacity, 0);
    return std::move(spare.data);
  }
  capacity = length;
  return std::unique_ptr<char[]>(new char[length]);
}

void GapText::recycle() {
  if (buf_ && capacity_ <= kLargestKept && capacity_ > spare.capacity) {
    spare.data = std::move(buf_);
    spare.capacity = capacity_;
  }
  buf_.reset();
  capacity_ = 0;
}

GapText &GapText::operator=(GapText &&other) noexcept {
  if (this == &other) return *this;
  recycle();
  buf_ = std::move(other.buf_);
  capacity_ = std::exchange(other.capacity_, 0);
  gapStart_ = std::exchange(other.gapStart_, 0);
  gapEnd_ = std::exchange(other.gapEnd_, 0);
  quotesBefore_ = std::move(other.quotesBefore_);
  scanFrom_ = std::exchange(other.scanFrom_, 0);
  return *this;
}

void GapText::assign(std::string text) {
  if (capacity_ < text.size()) {
    recycle();
    buf_ = obtain(text.size(), capacity_);
  }
  // The text sits at the end of the buffer, the gap in front of it.
  gapStart_ = 0;
  gapEnd_ = capacity_ - text.size();
  if (!text.empty()) std::memcpy(buf_.get() + gapEnd_, text.data(), text.size());
  quotesBefore_.clear();
  scanFrom_ = 0;
}

void GapText::reserve(std::size_t length) {
  if (length > size()) reserveGap(length - size());
}

std::string GapText::str() const {
  std::string text;
  text.reserve(size());
  text.append(buf_.get(), gapStart_);
  text.append(buf_.get() + gapEnd_, capacity_ - gapEnd_);
  return text;
}

void GapText::slice(std::size_t start, std::size_t end, std::string &text) const {
  const std::size_t stop = end + 1;
  if (start >= gapStart_ || stop <= gapStart_) {  // on one side of the gap
    text.assign(buf_.get() + (start >= gapStart_ ? start + gapLength() : start), stop - start);
    return;
  }
  text.clear();
  text.reserve(end - start + 1);
  if (start < gapStart_) text.append(buf_.get() + start, std::min(stop, gapStart_) - start);
  if (stop > gapStart_) {
    const std::size_t from = std::max(start, gapStart_);
    text.append(buf_.get() + from + gapLength(), stop - from);
  }
}

bool GapText::holdsAcrossGap(std::size_t pos, std::string_view prefix) const {
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (at(pos + i) != prefix[i]) return false;
  return true;
}

namespace {

// The first double quote of [from, to), or null. The quotes the scan looks
// for are mostly a few characters away (the end of a name, the start of the
// next one): a block of 16 characters is compared at once, and long runs go
// to memchr.
const char *findQuote(const char *from, const char *to) {
#ifdef __SSE2__
  constexpr std::ptrdiff_t kBlock = 16;
  const __m128i quote = _mm_set1_epi8('"');
  for (int blocks = 0; blocks < 4 && to - from >= kBlock; ++blocks, from += kBlock) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, quote)));
    if (hits != 0) return from + __builtin_ctz(hits);
  }
  if (to - from >= kBlock) return static_cast<const char *>(std::memchr(from, '"', to - from));
#endif
  for (; from < to; ++from)
    if (*from == '"') return from;
  return nullptr;
}

}  // namespace

std::size_t GapText::nextQuote(std::size_t from) const {
  const char *data = buf_.get();
  if (from < gapStart_) {
    const char *hit = findQuote(data + from, data + gapStart_);
    if (hit) return hit - data;
    from = gapStart_;
  }
  const std::size_t physical = from + gapLength();
  if (physical >= capacity_) return npos;
  const char *hit = findQuote(data + physical, data + capacity_);
  return hit ? hit - data - gapLength() : npos;
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

// A start is decided by its own quote, the next quote and the two
// characters after that one. The edit can change that for the starts whose
// next quote lies at pos - 2 or later: the scan resumes at the last quote
// before pos - 2.
void GapText::editedAt(std::size_t pos) {
  const std::size_t cut = pos >= 2 ? pos - 2 : 0;
  while (!quotesBefore_.empty() && quotesBefore_.back() >= cut) quotesBefore_.pop_back();
  scanFrom_ = cut;
}

void GapText::hide(std::size_t start, std::size_t end) {
  for (std::size_t pos = start; pos <= end; ++pos) at(pos) = '*';
  editedAt(start);
}

void GapText::moveGapTo(std::size_t pos) {
  if (pos < gapStart_) {
    const std::size_t count = gapStart_ - pos;
    std::memmove(buf_.get() + gapEnd_ - count, buf_.get() + pos, count);
    gapStart_ = pos;
    gapEnd_ -= count;
  } else if (pos > gapStart_) {
    const std::size_t count = pos - gapStart_;
    std::memmove(buf_.get() + gapStart_, buf_.get() + gapEnd_, count);
    gapStart_ += count;
    gapEnd_ += count;
  }
}

void GapText::reserveGap(std::size_t length) {
  if (gapLength() >= length) return;
  const std::size_t after = capacity_ - gapEnd_;
  const std::size_t grown = std::max(capacity_ * 2, size() + length + 64);
  std::size_t capacity = 0;
  std::unique_ptr<char[]> next = obtain(grown, capacity);
  if (gapStart_ > 0) std::memcpy(next.get(), buf_.get(), gapStart_);
  if (after > 0) std::memcpy(next.get() + capacity - after, buf_.get() + gapEnd_, after);
  recycle();
  buf_ = std::move(next);
  capacity_ = capacity;
  gapEnd_ = capacity - after;
}

// The gap is left where the replaced text was, in front of the new text, so
// that the scan moving on into it moves the gap forward only.
void GapText::replace(std::size_t start, std::size_t end, std::string_view head,
                      std::string_view body, std::string_view tail) {
  // The gap moves to the start of the replaced text and takes it in.
  moveGapTo(start);
  gapEnd_ += end - start + 1;
  const std::size_t length = head.size() + body.size() + tail.size();
  if (gapLength() < length) reserveGap(length);
  char *out = buf_.get() + gapEnd_ - length;
  for (std::string_view piece : {head, body, tail}) {
    if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
  gapEnd_ -= length;
  editedAt(start);
}

}  // namespace dfq
