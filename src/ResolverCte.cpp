// Writing a statement in the common table expression form: names, the
// materialisation of each expression, and the text.
#define DFQ_LOG_UNIT "../src/ResolverCte"
#include "ResolverCte.h"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Dialect.h"
#include "FlatMap.h"
#include "Node.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dfq {

namespace {

constexpr std::string_view kWith = "with ";
constexpr std::string_view kAs = " as (";
constexpr std::string_view kAsMaterialized = " as materialized (";
constexpr std::string_view kAsNotMaterialized = " as not materialized (";
constexpr std::string_view kNextExpression = "),\n";
constexpr std::string_view kLastExpression = ")\n";
constexpr std::string_view kSubqueryAlias = " as temp_table";
// What the nested form writes around a query: "(" and ") as temp_table"
// or ")".
constexpr std::size_t kNestedOpen = 1;
constexpr std::size_t kNestedCloseAsSubquery = 15;
constexpr std::size_t kNestedClose = 1;
// Room for a suffix that tells two expressions of one name apart.
constexpr std::size_t kSuffixRoom = 8;
// PostgreSQL keeps 63 bytes of a name.
constexpr std::size_t kLongestBase = 48;

// Words that cannot name an expression unquoted in either engine.
// clang-format off
constexpr std::array<std::string_view, 96> kReserved = {
    "all", "alter", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric",
    "autoincrement", "between", "both", "by", "case", "cast", "check", "collate", "column",
    "commit", "constraint", "create", "cross", "current_catalog", "current_date",
    "current_role", "current_time", "current_timestamp", "current_user", "default",
    "deferrable", "delete", "desc", "distinct", "do", "drop", "else", "end", "escape", "except",
    "exists", "false", "fetch", "filter", "for", "foreign", "from", "full", "glob", "grant",
    "group", "having", "if", "in", "index", "initially", "inner", "insert", "intersect", "into",
    "is", "isnull", "join", "lateral", "leading", "left", "like", "limit", "localtime",
    "localtimestamp", "materialized", "natural", "not", "nothing", "notnull", "null", "offset",
    "on", "only", "or", "order", "outer", "over", "primary", "recursive", "references",
    "returning", "right", "select", "set", "table", "then", "to", "union", "unique", "user",
};
constexpr std::array<std::string_view, 8> kReservedMore = {
    "using", "values", "when", "where", "window", "with", "trailing", "variadic"};
// clang-format on

// Characters of an unquoted word: letters, digits, '_', '$' and any byte
// of a multi-byte character.
struct WordChars {
  bool of[256] = {};
  constexpr WordChars() {
    for (int c = 0; c < 256; ++c)
      of[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '$' || c >= 0x80;
  }
};
constexpr WordChars kWordChars;

bool isWordChar(unsigned char c) { return kWordChars.of[c]; }

constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A set of words told apart first by their first two letters (in lower
// case; a word of one letter by its letter alone): most words that are
// not in the set are passed over without hashing.
class WordSet {
 public:
  void insert(std::string_view word) {
    pairs.set(pairKey(word));
    words.insert(word, true);
  }
  bool holds(std::string_view word) const {
    return !word.empty() && pairs.test(pairKey(word)) && words.find(word) != nullptr;
  }

 private:
  static std::size_t pairKey(std::string_view word) {
    const auto at = [&](std::size_t i) {
      return i < word.size() ? static_cast<unsigned char>(lower(word[i])) : 0u;
    };
    return at(0) * 256 + at(1);
  }

  std::bitset<256 * 256> pairs;
  FlatMap<std::string_view, bool, TextHash> words;  // views of words that outlive the set
};

// The first two letters of the reserved words, a bit each, known when the
// library is built: most names are passed over by them.
struct ReservedStarts {
  std::uint64_t bits[26 * 26 / 64 + 1] = {};
  static constexpr std::size_t indexOf(char a, char b) { return (a - 'a') * 26 + (b - 'a'); }
  constexpr ReservedStarts() {
    for (std::string_view w : kReserved) set(w);
    for (std::string_view w : kReservedMore) set(w);
  }
  constexpr void set(std::string_view w) {
    bits[indexOf(w[0], w[1]) / 64] |= std::uint64_t(1) << (indexOf(w[0], w[1]) % 64);
  }
  constexpr bool test(std::string_view w) const {
    if (w.size() < 2 || w[0] < 'a' || w[0] > 'z' || w[1] < 'a' || w[1] > 'z') return false;
    return (bits[indexOf(w[0], w[1]) / 64] >> (indexOf(w[0], w[1]) % 64)) & 1;
  }
};
constexpr ReservedStarts kReservedStarts;

// `word` (in lower case) is a reserved word.
bool isReserved(std::string_view word) {
  if (word.size() > 17 || !kReservedStarts.test(word)) return false;
  static const WordSet reserved = [] {
    WordSet all;
    for (std::string_view w : kReserved) all.insert(w);
    for (std::string_view w : kReservedMore) all.insert(w);
    return all;
  }();
  return reserved.holds(word);
}

// A node's output name as an unquoted name: lower case, letters, digits and
// '_', beginning with a letter ("t_" is put in front of any other).
std::string_view tableOf(const Node *node) {
  return node ? node->getOutputTable().substr(0, kLongestBase) : std::string_view();
}

bool needsPrefix(std::string_view table) {
  const char first = table.empty() ? '\0' : lower(table[0]);
  return !(first >= 'a' && first <= 'z');
}

std::size_t baseLength(const Node *node) {
  const std::string_view table = tableOf(node);
  return table.size() + (needsPrefix(table) ? 2 : 0);
}

// Each character as a name's: letters in lower case, digits, '_' for any other.
struct NameChars {
  char of[256] = {};
  constexpr NameChars() {
    for (int c = 0; c < 256; ++c) {
      const char l = lower(static_cast<char>(c));
      of[c] = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') ? l : '_';
    }
  }
};
constexpr NameChars kNameChars;

char *writeBase(std::string_view table, char *out) {
  if (needsPrefix(table)) {
    *out++ = 't';
    *out++ = '_';
  }
  for (char c : table) *out++ = kNameChars.of[static_cast<unsigned char>(c)];
  return out;
}

char *writeBase(const Node *node, char *out) { return writeBase(tableOf(node), out); }

// What a word filter needs of a base: its first two characters and length.
struct BaseHead {
  char first, second;  // second: '\0' for a base of one character
  std::size_t length;
  bool operator==(const BaseHead &) const = default;
};

BaseHead baseHeadOf(const Node *node) {
  const std::string_view table = tableOf(node);
  if (needsPrefix(table)) return BaseHead{'t', '_', table.size() + 2};
  return BaseHead{kNameChars.of[static_cast<unsigned char>(table[0])],
                  table.size() > 1 ? kNameChars.of[static_cast<unsigned char>(table[1])] : '\0',
                  table.size()};
}

std::string baseNameOf(const Node *node) {
  std::string base(baseLength(node), '\0');
  writeBase(node, base.data());
  return base;
}

// A word without a trailing "_<digits>": the base it could clash under.
std::string_view withoutSuffix(std::string_view word) {
  const std::size_t underscore = word.rfind('_');
  if (underscore == std::string_view::npos || underscore + 1 == word.size()) return word;
  for (std::size_t i = underscore + 1; i < word.size(); ++i)
    if (word[i] < '0' || word[i] > '9') return word;
  return word.substr(0, underscore);
}

// Finds the words of texts that may be a base of the names it was given,
// or such a base with a suffix, by their first letters and lengths: most
// words are passed over by their first letter and length alone. Each word
// found is handed to a sink in lower case.
class WordFilter {
 public:
  void clear() {
    std::fill(std::begin(startsBase), std::end(startsBase), false);
    firstLetters.clear();
    starts.reset();
    seconds = 0;
    std::fill(std::begin(alone), std::end(alone), false);
    mayBe.reset();
    std::fill(std::begin(lengthsOf), std::end(lengthsOf), 0);
  }

  void add(std::string_view base) {
    add(BaseHead{base[0], base.size() > 1 ? base[1] : '\0', base.size()});
  }

  void add(const BaseHead &base) {
    const auto letter = static_cast<unsigned char>(base.first);
    seconds |= base.length == 1                           ? kSecondOther | kSecondMark
               : base.second >= '0' && base.second <= '9' ? kSecondDigit
               : base.second == '_'                       ? kSecondMark
                                                          : kSecondLetter;
    mayBe.set(key(base.first, base.length));
    lengthsOf[letter] |= std::uint64_t(1) << std::min<std::size_t>(base.length, 63);
    startsBase[letter] = true;
    startsBase[static_cast<unsigned char>(upper(base.first))] = true;
    if (firstLetters.find(base.first) == std::string::npos) {
#if defined(__SSE2__)
      if (firstLetters.size() < kLettersCompared)
        letterVectors[firstLetters.size()] = _mm_set1_epi8(base.first);
#endif
      firstLetters.push_back(base.first);
    }
    for (const char first : {base.first, upper(base.first)}) {
      const unsigned at = static_cast<unsigned char>(first) * 256u;
      if (base.length > 1) {
        starts.set(at + static_cast<unsigned char>(base.second));
        starts.set(at + static_cast<unsigned char>(upper(base.second)));
        continue;
      }
      // One letter: then the suffix's '_' or the word's end.
      alone[static_cast<unsigned char>(first)] = true;
      for (unsigned c = 0; c < 256; ++c)
        if (c == '_' || !isWordChar(static_cast<unsigned char>(c))) starts.set(at + c);
    }
  }

  // Hands each word found to `sink`, in lower case.
  template <class Sink>
  void read(std::string_view text, const Sink &sink) {
    if (firstLetters.empty()) return;  // no bases
    const char *const begin = text.data(), *const end = begin + text.size();
    const char *p = begin;
    // A short text (such as those the library writes around the nodes'
    // own: "select ", " where ") is most often passed over whole.
    if (text.size() < 16 &&
        std::none_of(begin, end, [&](char c) { return startsBase[static_cast<unsigned char>(c)]; }))
      return;
#if defined(__SSE2__)
    // Sixteen characters at a time: the words' first characters are found
    // at once, and with few first letters (a chain's names) only those of
    // a base's first letter are looked at. The last block ends with the
    // text, over characters already looked at, which it passes over.
    if (text.size() >= 16) {
      const bool fewLetters = firstLetters.size() <= kLettersCompared;
      const char *const last = end - 16;
      for (const char *done = begin;;) {
        const char *const at = std::min(p, last);
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        // With few first letters, a character of one followed by a
        // character of a kind that follows it in a base; with many, the
        // words' first characters.
        unsigned starts;
        if (fewLetters) {
          starts = firstLetterCharacters(chars);
          if (starts != 0 && at != last)
            starts &= secondCharacters(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 1)));
        } else {
          const unsigned word = wordCharacters(chars);
          const unsigned before =
              at != begin && isWordChar(static_cast<unsigned char>(at[-1])) ? 1 : 0;
          starts = word & ~((word << 1) | before);
        }
        if (at == last) starts &= ~0u << (done - at);  // passes over those looked at
        for (; starts != 0; starts &= starts - 1) {
          const char *const start = at + std::countr_zero(starts);
          const bool inWord = start != begin && isWordChar(static_cast<unsigned char>(start[-1]));
          if (!inWord && startsBase[static_cast<unsigned char>(*start)] && mayStart(start, end))
            readWord(start, end, sink);
        }
        if (at == last) return;
        p += 16;
        done = p;
      }
    }
#endif
    // One character at a time: a word that cannot begin a base is skipped whole.
    while (p != end) {
      const auto c = static_cast<unsigned char>(*p);
      if (!isWordChar(c)) {
        ++p;
      } else if (startsBase[c] && mayStart(p, end)) {
        p = readWord(p, end, sink);
      } else {
        while (p != end && isWordChar(static_cast<unsigned char>(*p))) ++p;
      }
    }
  }

 private:
#if defined(__SSE2__)
  static constexpr std::size_t kLettersCompared = 4;

  // A bit per character of `chars` that is a word's (see WordChars).
  static unsigned wordCharacters(__m128i chars) {
    const auto inRange = [](__m128i c, char low, char high) {
      return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                           _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(high + 1))));
    };
    // Setting the case bit makes a letter of either case a lower-case one,
    // and no other character one; bytes from 0x80 compare below zero and
    // count by their high bit.
    const __m128i letters = inRange(_mm_or_si128(chars, _mm_set1_epi8(0x20)), 'a', 'z');
    const __m128i digits = inRange(chars, '0', '9');
    const __m128i marks = _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8('_')),
                                       _mm_cmpeq_epi8(chars, _mm_set1_epi8('$')));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letters, digits), marks)) |
        _mm_movemask_epi8(chars));
  }

  // A bit per character of `chars` that is a base's first letter, in
  // either case (at most kLettersCompared letters).
  // A bit per character of `chars` of a kind that is a base's second:
  // digits, letters, '_' or, after a base of one letter, any that ends a
  // word.
  unsigned secondCharacters(__m128i chars) const {
    const auto inRange = [](__m128i c, char low, char high) {
      return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                           _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(high + 1))));
    };
    if (seconds == kSecondDigit)  // a chain's generated names
      return static_cast<unsigned>(_mm_movemask_epi8(inRange(chars, '0', '9')));
    if (seconds == (kSecondDigit | kSecondLetter | kSecondMark | kSecondOther)) return ~0u;
    unsigned kinds = 0;
    if (seconds & kSecondDigit)
      kinds |= static_cast<unsigned>(_mm_movemask_epi8(inRange(chars, '0', '9')));
    if (seconds & kSecondLetter)
      kinds |= static_cast<unsigned>(
          _mm_movemask_epi8(inRange(_mm_or_si128(chars, _mm_set1_epi8(0x20)), 'a', 'z')));
    if (seconds & kSecondMark)
      kinds |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('_'))));
    if (seconds & kSecondOther) kinds |= ~wordCharacters(chars);
    return kinds;
  }

  unsigned firstLetterCharacters(__m128i chars) const {
    const __m128i lowered = _mm_or_si128(chars, _mm_set1_epi8(0x20));
    __m128i hits = _mm_cmpeq_epi8(lowered, letterVectors[0]);
    for (std::size_t k = 1; k < firstLetters.size(); ++k)
      hits = _mm_or_si128(hits, _mm_cmpeq_epi8(lowered, letterVectors[k]));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
  }
#endif

  // The word at `start` may have a base of `bases` by its first two
  // characters, in either case: a base's first two, or its one letter
  // followed by the suffix's '_' or by the word's end.
  bool mayStart(const char *start, const char *end) const {
    const auto first = static_cast<unsigned char>(*start);
    return start + 1 == end ? alone[first]
                            : starts.test(first * 256u + static_cast<unsigned char>(start[1]));
  }

  // Reads the word that begins at `start`; returns its end. Most words are
  // passed over by their first letter and length.
  template <class Sink>
  const char *readWord(const char *start, const char *end, const Sink &sink) {
    const char *p = start;
    while (p != end && isWordChar(static_cast<unsigned char>(*p))) ++p;
    if (mayBeWord(*start, static_cast<std::size_t>(p - start)))
      consider(std::string_view(start, static_cast<std::size_t>(p - start)), sink);
    return p;
  }

  static char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

  // A word of this first letter and length could have a base of `bases`:
  // its own length, or shorter by a suffix of '_' and digits.
  bool mayBeWord(char first, std::size_t length) const {
    if (length > kLongestBase + kSuffixRoom + 2) return false;
    const std::uint64_t upTo = length >= 63 ? ~std::uint64_t(0) : (std::uint64_t(2) << length) - 1;
    return (lengthsOf[static_cast<unsigned char>(lower(first))] & upTo) != 0;
  }

  static std::size_t key(char first, std::size_t length) {
    return static_cast<unsigned char>(lower(first)) * 64 + std::min<std::size_t>(length, 63);
  }

  template <class Sink>
  void consider(std::string_view word, const Sink &sink) {
    if (word.size() > kLongestBase + kSuffixRoom + 2) return;
    // Digits and '_' have no case: the base's first letter and length are
    // those of the lowered word's base.
    // A word is taken when it is a base itself ("f_1" beside a node named
    // f_1) or a base with a suffix ("f_2" beside a node named f).
    const std::string_view unlowered = withoutSuffix(word);
    const bool whole = mayBe.test(key(word[0], word.size()));
    const bool suffixed =
        unlowered.size() != word.size() && mayBe.test(key(unlowered[0], unlowered.size()));
    if (!whole && !suffixed) return;
    char lowered[kLongestBase + kSuffixRoom + 2];
    for (std::size_t i = 0; i < word.size(); ++i) lowered[i] = lower(word[i]);
    sink(std::string_view(lowered, word.size()));
  }

  bool startsBase[256] = {};  // the first letters of the bases, in either case
  std::string firstLetters;   // of the bases, in lower case
#if defined(__SSE2__)
  __m128i letterVectors[kLettersCompared];  // the first letters, each in every lane
#endif
  std::bitset<256 * 256> starts;  // by a word's first two characters as written; see mayStart
  bool alone[256] = {};           // the letters of bases of one letter, in either case
  // The kinds of the bases' second characters.
  static constexpr unsigned kSecondDigit = 1, kSecondLetter = 2, kSecondMark = 4, kSecondOther = 8;
  unsigned seconds = 0;
  std::bitset<256 * 64> mayBe;
  std::uint64_t lengthsOf[256] = {};  // per first letter, a bit per length of a base
};

// A statement's bases, found by their text: open addressing over indices
// into them, a few bytes a base.
class BaseIndex {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t(0);

  // Indexes `all`, which must outlive the index; `firstOf[i]` becomes the
  // first index of `all[i]`.
  void assign(std::span<const std::string_view> all, std::vector<std::uint32_t> &firstOf) {
    bases = all;
    std::size_t size = 16;
    while (size < 2 * all.size()) size *= 2;
    slots.assign(size, 0);
    firstOf.clear();
    for (std::uint32_t i = 0; i < all.size(); ++i) {
      std::uint32_t &slot = find(all[i]);
      if (slot == 0) slot = i + 1;
      firstOf.push_back(slot - 1);
    }
  }

  // The first index of `word` among the bases, or kNone.
  std::uint32_t indexOf(std::string_view word) const {
    return slots.empty() ? kNone : const_cast<BaseIndex *>(this)->find(word) - 1;
  }

 private:
  // The slot of `word`: its first index + 1, or the free slot it would take.
  std::uint32_t &find(std::string_view word) {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = TextHash()(word) & mask;; i = (i + 1) & mask)
      if (slots[i] == 0 || bases[slots[i] - 1] == word) return slots[i];
  }

  std::span<const std::string_view> bases;
  std::vector<std::uint32_t> slots;
};

// The words of the statement's text, in lower case, that an expression's
// name could equal: those whose base is one of `bases`.
class TakenWords {
 public:
  // Takes words against `names`, forgetting those taken before;
  // `firstOf[i]` becomes the first index of `names[i]`. Texts are read
  // only when `reading`; else words are offered one by one.
  void restart(std::span<const std::string_view> names, std::vector<std::uint32_t> &firstOf,
               bool reading) {
    bases.assign(names, firstOf);
    taken.clear();
    if (!reading) return;
    filter.clear();
    for (const std::string_view base : names) filter.add(base);
  }

  // A word in lower case, taken when it is a base or one with a suffix.
  void offer(std::string_view word) {
    const std::string_view base = withoutSuffix(word);
    if (bases.indexOf(word) != BaseIndex::kNone ||
        (base.size() != word.size() && bases.indexOf(base) != BaseIndex::kNone))
      taken.emplace(word);
  }

  void read(std::string_view text) {
    filter.read(text, [this](std::string_view word) { offer(word); });
  }

  bool holds(std::string_view name) const {
    return !taken.empty() && taken.count(std::string(name)) != 0;
  }
  // The first index of `name` among the names, or BaseIndex::kNone.
  std::uint32_t indexOf(std::string_view name) const { return bases.indexOf(name); }

 private:
  WordFilter filter;
  BaseIndex bases;
  std::unordered_set<std::string> taken;
};

std::size_t boundedNameLength(const Node *node) {
  const std::size_t table = node ? std::min(node->getOutputTable().size(), kLongestBase) : 0;
  return table + 2 + kSuffixRoom;  // "t_" in front at most
}

}  // namespace

std::size_t withListStart(std::string_view query) {
  std::size_t i = 0;
  const auto blank = [&](std::size_t at) {
    return at < query.size() &&
           (query[at] == ' ' || query[at] == '\n' || query[at] == '\t' || query[at] == '\r');
  };
  const auto word = [&](std::size_t at, std::string_view w) {
    if (at + w.size() > query.size()) return false;
    for (std::size_t k = 0; k < w.size(); ++k)
      if (lower(query[at + k]) != w[k]) return false;
    return blank(at + w.size());
  };
  while (blank(i)) ++i;
  if (!word(i, "with")) return 0;
  i += 4;
  while (blank(i)) ++i;
  if (word(i, "recursive")) {
    i += 9;
    while (blank(i)) ++i;
  }
  return i;
}

std::size_t cteExpressionCost(const Node *node, bool asSubquery, bool first) {
  const std::size_t name = boundedNameLength(node);
  std::size_t cost = 2 * name + kAsNotMaterialized.size() + kNextExpression.size();
  if (asSubquery) cost += kSubqueryAlias.size();
  if (first) cost += kWith.size() + kLastExpression.size();
  const std::size_t nested = kNestedOpen + (asSubquery ? kNestedCloseAsSubquery : kNestedClose);
  return cost > nested ? cost - nested : 0;
}

std::size_t cteReferenceCost(const Node *node, bool asSubquery) {
  return boundedNameLength(node) + (asSubquery ? kSubqueryAlias.size() : 0);
}

// One copy of the statement's own query, and of every other as many as of
// the queries that read it, summed over the places that read it. Readers
// come after what they read, so the expressions are counted from the last.
std::vector<std::size_t> cteCopies(const std::vector<CteExpression> &expressions, bool cutting,
                                   std::vector<bool> &cut) {
  constexpr std::size_t kManyCopies = std::size_t(1) << 40;
  std::vector<std::size_t> copies(expressions.size(), 0);
  cut.assign(expressions.size(), false);
  if (expressions.empty()) return copies;
  copies.back() = 1;
  for (std::size_t i = expressions.size(); i-- > 0;) {
    if (cutting && copies[i] > kCopiesInOneStatement) cut[i] = true;
    const std::size_t counted = cut[i] ? 1 : copies[i];
    for (const CtePiece &piece : expressions[i].pieces)
      if (piece.expression != CtePiece::kText && piece.expression < expressions.size())
        copies[piece.expression] = std::min(kManyCopies, copies[piece.expression] + counted);
  }
  return copies;
}

struct CteNamer::Memory {
  TakenWords words;
  std::vector<std::uint32_t> firstOf;  // of each base, the first index it has
  std::vector<char> suffixed;          // whether the name of an expression has a suffix
  std::unordered_set<std::string> suffixedNames;
};

CteNamer::CteNamer() : memory(std::make_unique<Memory>()) {}
CteNamer::~CteNamer() = default;

// A name is taken when a word of the texts, a reserved word, an earlier
// suffixed name, or the base of an earlier expression named by it alone.
// Of the expressions of one base, the first is named by it when any is, so
// that one alone is asked.
std::vector<CteSuffix> CteNamer::suffixes(std::span<const std::string_view> bases,
                                          const CteTexts &texts) {
  memory->words.restart(bases, memory->firstOf, true);
  texts([&](std::string_view text) { memory->words.read(text); });
  return settle(bases);
}

std::vector<CteSuffix> CteNamer::suffixes(std::span<const std::string_view> bases,
                                          std::span<const std::string> words) {
  memory->words.restart(bases, memory->firstOf, false);
  for (const std::string &word : words) memory->words.offer(word);
  return settle(bases);
}

std::vector<CteSuffix> CteNamer::settle(std::span<const std::string_view> bases) {
  Memory &m = *memory;
  m.suffixed.assign(bases.size(), 0);
  m.suffixedNames.clear();
  const auto namedAlone = [&](std::uint32_t first, std::size_t before) {
    return first < before && m.suffixed[first] == 0;
  };
  const auto takenAlike = [&](std::string_view name) {
    return m.words.holds(name) || isReserved(name) ||
           (!m.suffixedNames.empty() && m.suffixedNames.count(std::string(name)) != 0);
  };
  std::vector<CteSuffix> suffixes;
  std::string candidate;
  for (std::size_t i = 0; i < bases.size(); ++i) {
    if (!namedAlone(m.firstOf[i], i) && !takenAlike(bases[i])) continue;
    std::uint32_t k = 2;
    for (;; ++k) {
      candidate.assign(bases[i]).append("_").append(std::to_string(k));
      const std::uint32_t first = m.words.indexOf(candidate);
      if (!(first != BaseIndex::kNone && namedAlone(first, i)) && !takenAlike(candidate)) break;
    }
    m.suffixed[i] = 1;
    m.suffixedNames.insert(candidate);
    suffixes.push_back(CteSuffix{static_cast<std::uint32_t>(i), k});
  }
  return suffixes;
}

std::vector<CteSuffix> cteSuffixes(std::span<const Node *const> nodes, const CteTexts &texts) {
  std::string chars;
  std::vector<std::size_t> ends;
  for (const Node *node : nodes) {
    appendCteBase(node, chars);
    ends.push_back(chars.size());
  }
  std::vector<std::string_view> bases;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const std::size_t start = i == 0 ? 0 : ends[i - 1];
    bases.emplace_back(chars.data() + start, ends[i] - start);
  }
  return CteNamer().suffixes(bases, texts);
}

struct CteWordFinder::Filter : WordFilter {
  BaseHead lastAdded{'\0', '\0', 0};
  // What was found in short texts that stay where they are, by their place.
  struct Kept {
    const char *data = nullptr;
    std::size_t size = 0;
    std::vector<std::string> words;
  };
  static constexpr std::size_t kKeptLongest = 16;
  std::array<Kept, 32> kept;
};

CteWordFinder::CteWordFinder() : filter(std::make_unique<Filter>()) {}
CteWordFinder::~CteWordFinder() = default;

void CteWordFinder::add(const Node *node) {
  // The names of a chain's levels mostly begin alike.
  const BaseHead head = baseHeadOf(node);
  if (head == filter->lastAdded) return;
  filter->add(head);
  filter->lastAdded = head;
}

void CteWordFinder::find(std::string_view text, std::vector<std::string> &found) {
  filter->read(text, [&](std::string_view word) { found.emplace_back(word); });
}

void CteWordFinder::findInPlace(std::string_view text, std::vector<std::string> &found) {
  if (text.size() > Filter::kKeptLongest) return find(text, found);
  const auto place = reinterpret_cast<std::uintptr_t>(text.data());
  Filter::Kept &kept = filter->kept[(place ^ (place >> 7)) % filter->kept.size()];
  if (kept.data != text.data() || kept.size != text.size()) {
    kept.data = text.data();
    kept.size = text.size();
    kept.words.clear();
    find(text, kept.words);
  }
  found.insert(found.end(), kept.words.begin(), kept.words.end());
}

void appendCteBase(const Node *node, std::string &to) {
  const std::string_view table = tableOf(node);
  const std::size_t start = to.size();
  to.resize(start + table.size() + (needsPrefix(table) ? 2 : 0));
  writeBase(table, to.data() + start);
}

std::vector<std::string> cteNames(const std::vector<const Node *> &nodes, const CteTexts &texts) {
  std::vector<std::string> names(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) names[i] = baseNameOf(nodes[i]);
  for (const CteSuffix &suffix : cteSuffixes(nodes, texts))
    names[suffix.index].append("_").append(std::to_string(suffix.k));
  return names;
}

char *writeCteName(const Node *node, std::uint32_t k, char *out) {
  out = writeBase(node, out);
  if (k == 0) return out;
  *out++ = '_';
  char digits[12];
  std::size_t n = 0;
  for (; k != 0; k /= 10) digits[n++] = static_cast<char>('0' + k % 10);
  while (n != 0) *out++ = digits[--n];
  return out;
}

std::string_view cteOpening(DAG &dag, std::size_t copies) {
  if (dag.dialect() == Dialect::Default) return kAs;
  return copies > kCopiesLeftToPlanner ? kAsMaterialized : kAsNotMaterialized;
}

std::string writeCteStatement(DAG &dag, const std::vector<CteExpression> &expressions) {
  if (expressions.empty()) return std::string();
  const std::size_t own = expressions.size() - 1;

  std::vector<bool> cut;
  const std::vector<std::size_t> copies = cteCopies(expressions, false, cut);
  std::vector<const Node *> nodes(own);
  for (std::size_t i = 0; i < own; ++i) nodes[i] = expressions[i].node;
  const std::vector<std::string> names =
      cteNames(nodes, [&](const std::function<void(std::string_view)> &read) {
        for (const CteExpression &expression : expressions)
          for (const CtePiece &piece : expression.pieces)
            if (piece.expression == CtePiece::kText) read(piece.text);
      });

  std::string text;
  std::size_t room = 0;
  for (std::size_t i = 0; i < expressions.size(); ++i) {
    room +=
        (i < own ? 2 * names[i].size() + kAsNotMaterialized.size() + kNextExpression.size() : 0);
    for (const CtePiece &piece : expressions[i].pieces)
      room += piece.expression == CtePiece::kText ? piece.text.size() : 64;
  }
  text.reserve(room);
  const auto writeQuery = [&](const CteExpression &expression) {
    for (const CtePiece &piece : expression.pieces) {
      if (piece.expression == CtePiece::kText) {
        text.append(piece.text);
        continue;
      }
      text.append(piece.expression < own ? names[piece.expression] : std::string("?"));
      if (piece.asSubquery) text.append(kSubqueryAlias);
    }
  };
  for (std::size_t i = 0; i < own; ++i) {
    text.append(i == 0 ? kWith : std::string_view());
    text.append(names[i]);
    text.append(cteOpening(dag, copies[i]));
    writeQuery(expressions[i]);
    text.append(i + 1 < own ? kNextExpression : kLastExpression);
  }
  // An own query that begins with a `with` list of its own (a select's
  // prefix) continues the statement's list, after the expressions it may read.
  std::string ownQuery;
  std::swap(text, ownQuery);
  writeQuery(expressions[own]);
  std::swap(text, ownQuery);
  const size_t list = own == 0 ? 0 : withListStart(ownQuery);
  if (list == 0) {
    text.append(ownQuery);
    return text;
  }
  text.resize(text.size() - kLastExpression.size());
  text.append(kNextExpression);
  if (list > kWith.size()) text.replace(0, kWith.size(), ownQuery.substr(0, list));  // recursive
  text.append(ownQuery, list, std::string::npos);
  return text;
}

}  // namespace dfq
