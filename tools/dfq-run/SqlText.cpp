#include "SqlText.h"

#include <cctype>

namespace dfqrun {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Letters, digits, '_', '$' and bytes of multi-byte characters: what an
// unquoted name is made of.
bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

bool startsName(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || u >= 0x80;
}

// Past the text quoted by `close` that opens at `at`: a doubled `close`
// stands for itself, and with `backslash` a backslash escapes the next
// character. An unterminated text runs to the end.
std::size_t pastQuoted(std::string_view s, std::size_t at, char close, bool backslash) {
  for (std::size_t i = at + 1; i < s.size(); ++i) {
    if (backslash && s[i] == '\\') {
      ++i;
    } else if (s[i] == close) {
      if (i + 1 < s.size() && s[i + 1] == close && close != ']') {
        ++i;
        continue;
      }
      return i + 1;
    }
  }
  return s.size();
}

std::size_t pastBlockComment(std::string_view s, std::size_t at, bool nested) {
  int depth = 0;
  for (std::size_t i = at; i + 1 < s.size(); ++i) {
    if (s[i] == '/' && s[i + 1] == '*' && (nested || depth == 0)) {
      ++depth;
      ++i;
    } else if (s[i] == '*' && s[i + 1] == '/') {
      ++i;
      if (--depth == 0) return i + 1;
    }
  }
  return s.size();
}

// PostgreSQL's $tag$ opening at `at` (the tag empty or a name without '$'):
// its length, or 0 when `at` opens none (a parameter $1, a name's '$').
std::size_t dollarTagLength(std::string_view s, std::size_t at) {
  if (at > 0 && isNameChar(s[at - 1])) return 0;
  std::size_t i = at + 1;
  if (i < s.size() && startsName(s[i]))
    while (i < s.size() && isNameChar(s[i]) && s[i] != '$') ++i;
  return i < s.size() && s[i] == '$' ? i + 1 - at : 0;
}

// Past the quoted text or comment that opens at `at`, or npos when none
// opens there.
std::size_t pastHidden(std::string_view s, std::size_t at, SqlFlavor flavor) {
  const bool pg = flavor == SqlFlavor::PostgreSQL;
  const char c = s[at];
  const char next = at + 1 < s.size() ? s[at + 1] : '\0';
  if (c == '\'') {
    // E'...' (not the end of a longer name) also takes backslash escapes.
    const bool escapes = pg && at > 0 && (s[at - 1] == 'e' || s[at - 1] == 'E') &&
                         (at < 2 || !isNameChar(s[at - 2]));
    return pastQuoted(s, at, '\'', escapes);
  }
  if (c == '"') return pastQuoted(s, at, '"', false);
  if (c == '-' && next == '-') {
    const std::size_t end = s.find('\n', at);
    return end == npos ? s.size() : end + 1;
  }
  // SQLite reads a "/*" that ends the text as a '/'.
  if (c == '/' && next == '*' && (pg || at + 2 < s.size())) return pastBlockComment(s, at, pg);
  if (!pg && c == '`') return pastQuoted(s, at, '`', false);
  if (!pg && c == '[') return pastQuoted(s, at, ']', false);
  if (pg && c == '$') {
    const std::size_t tag = dollarTagLength(s, at);
    if (tag == 0) return npos;
    const std::size_t close = s.find(s.substr(at, tag), at + tag);
    return close == npos ? s.size() : close + tag;
  }
  return npos;
}


}  // namespace

std::size_t statementEnd(std::string_view sql, SqlFlavor flavor) {
  for (std::size_t i = 0; i < sql.size();) {
    if (sql[i] == ';') return i;
    const std::size_t past = pastHidden(sql, i, flavor);
    i = past == npos ? i + 1 : past;
  }
  return npos;
}

std::size_t secondStatement(std::string_view sql, SqlFlavor flavor) {
  const std::size_t end = statementEnd(sql, flavor);
  if (end == npos) return npos;
  for (std::size_t i = end + 1; i < sql.size();) {
    if (sql[i] == ';' || isBlank(sql[i])) {
      ++i;
    } else if ((sql[i] == '-' || sql[i] == '/') && pastHidden(sql, i, flavor) != npos) {
      i = pastHidden(sql, i, flavor);  // a comment
    } else {
      return i;
    }
  }
  return npos;
}

std::string secondStatementReason(std::string_view sql, SqlFlavor flavor) {
  const std::size_t second = secondStatement(sql, flavor);
  if (second == npos) return "";
  constexpr std::size_t shown = 40;
  std::string start;
  for (std::size_t i = second; i < sql.size() && start.size() < shown; ++i)
    if (!isBlank(sql[i]) || (!start.empty() && start.back() != ' ')) start += isBlank(sql[i]) ? ' ' : sql[i];
  while (!start.empty() && start.back() == ' ') start.pop_back();
  if (second + shown < sql.size()) start += "...";
  return "a second statement follows the ';' at character " +
         std::to_string(statementEnd(sql, flavor) + 1) + ": " + start;
}

}  // namespace dfqrun
