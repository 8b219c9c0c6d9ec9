#include "Database.h"

#include <cctype>

namespace dfqrun {

namespace {

// `text` between two `quote` characters, embedded ones doubled.
std::string quoted(const std::string &text, char quote) {
  std::string result(1, quote);
  for (char c : text) {
    if (c == quote) result += quote;
    result += c;
  }
  return result + quote;
}

}  // namespace

std::string quoteIdentifier(const std::string &name) { return quoted(name, '"'); }

std::string quoteLiteral(const std::string &text) { return quoted(text, '\''); }

std::string QualifiedName::sql() const { return quoteIdentifier(schema) + "." + quoteIdentifier(table); }

QualifiedName parseQualifiedName(const std::string &name) {
  // The library writes "schema"."table" (four quotes) or a bare table name.
  const std::string separator = "\".\"";
  const auto sep = name.find(separator);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"' && sep != std::string::npos)
    return {name.substr(1, sep - 1), name.substr(sep + separator.size(),
                                                 name.size() - sep - separator.size() - 1)};
  const auto dot = name.find('.');
  if (dot != std::string::npos) return {name.substr(0, dot), name.substr(dot + 1)};
  return {"main", name};
}

void Database::drop(const QualifiedName &name) {
  const std::string kind = relationKind(name);
  if (!kind.empty()) exec("drop " + kind + " " + name.sql() + dropSuffix());
}

void Database::importCsv(const CsvTable &csv, const QualifiedName &name) {
  ensureSchema(name.schema);
  std::string create = "create table " + name.sql() + " (";
  for (size_t c = 0; c < csv.columns.size(); ++c)
    create += (c ? ", " : "") + quoteIdentifier(csv.columns[c]) + " " + typeName(columnType(csv, c));
  exec(create + ")");
  insertRows(csv, name);
}

bool isPostgresTarget(const std::string &target) {
  if (target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0) return true;
  // keyword=value pairs: the first '=' follows a keyword (letters and _).
  size_t i = target.find_first_not_of(' ');
  const size_t start = i;
  while (i < target.size() && (std::isalpha(static_cast<unsigned char>(target[i])) || target[i] == '_'))
    ++i;
  if (i == start || start == std::string::npos) return false;
  i = target.find_first_not_of(' ', i);
  return i != std::string::npos && target[i] == '=';
}

std::unique_ptr<Database> openDatabase(const std::string &target) {
  if (isPostgresTarget(target)) return std::make_unique<PostgresDatabase>(target);
  return std::make_unique<SqliteDatabase>(target);
}

}  // namespace dfqrun
