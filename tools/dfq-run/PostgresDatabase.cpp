#include <libpq-fe.h>

#include <memory>

#include "Database.h"

namespace dfqrun {

namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A libpq message on one line: runs of blanks and line breaks become one space.
std::string oneLine(const char *message) {
  std::string line;
  for (const char *c = message ? message : ""; *c; ++c) {
    const bool blank = *c == ' ' || *c == '\n' || *c == '\t' || *c == '\r';
    if (!blank)
      line += *c;
    else if (!line.empty() && line.back() != ' ')
      line += ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// The server's message for a failed command: its primary text, else
// whatever libpq has.
std::string errorOf(pg_conn *conn, const PGresult *result) {
  const char *primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return oneLine(primary ? primary : PQerrorMessage(conn));
}

bool isNumericType(Oid type) {
  // int8, int2, int4, oid, float4, float8, numeric
  return type == 20 || type == 21 || type == 23 || type == 26 || type == 700 || type == 701 ||
         type == 1700;
}

void ignoreNotice(void *, const char *) {}

// One command through the extended protocol, which refuses a text of
// several commands as a whole ("cannot insert multiple commands into a
// prepared statement"), before any of them runs.
Result execOne(pg_conn *conn, const std::string &sql) {
  return Result(PQexecParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0), &PQclear);
}

}  // namespace

PostgresDatabase::PostgresDatabase(const std::string &conninfo) {
  conn_ = PQconnectdb(conninfo.c_str());
  if (!conn_) throw ConnectionError("cannot connect to PostgreSQL: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string message = oneLine(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw ConnectionError("cannot connect to PostgreSQL: " + message);
  }
  // "schema ... already exists, skipping" and the like stay quiet.
  PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
  try {
    ensureSchema("main");
    exec("select set_config('search_path', 'main, ' || current_setting('search_path'), false)");
  } catch (...) {
    PQfinish(conn_);
    throw;
  }
}

PostgresDatabase::~PostgresDatabase() { PQfinish(conn_); }

void PostgresDatabase::exec(const std::string &sql) {
  const Result result = execOne(conn_, sql);
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw DatabaseError(errorOf(conn_, result.get()));
}

void PostgresDatabase::execScript(const std::string &sql) {
  const Result result(PQexec(conn_, sql.c_str()), &PQclear);
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY)
    throw DatabaseError(errorOf(conn_, result.get()));
}

ResultSet PostgresDatabase::query(const std::string &sql) {
  const Result result = execOne(conn_, sql);
  PGresult *r = result.get();
  if (PQresultStatus(r) != PGRES_TUPLES_OK) throw DatabaseError(errorOf(conn_, r));
  ResultSet rows;
  const int columns = PQnfields(r);
  for (int c = 0; c < columns; ++c) rows.columns.emplace_back(PQfname(r, c));
  for (int i = 0; i < PQntuples(r); ++i) {
    std::vector<Cell> row;
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(r, i, c))
        row.push_back({std::nullopt, false});
      else
        row.push_back({std::string(PQgetvalue(r, i, c)), isNumericType(PQftype(r, c))});
    }
    rows.rows.push_back(std::move(row));
  }
  return rows;
}

void PostgresDatabase::ensureSchema(const std::string &schema) {
  if (schemas_.count(schema)) return;
  exec("create schema if not exists " + quoteIdentifier(schema));
  schemas_.insert(schema);
}

std::string PostgresDatabase::relationKind(const QualifiedName &name) {
  const ResultSet found = query(
      "select c.relkind from pg_catalog.pg_class c join pg_catalog.pg_namespace n"
      " on n.oid = c.relnamespace where n.nspname = " + quoteLiteral(name.schema) +
      " and c.relname = " + quoteLiteral(name.table) + " and c.relkind in ('r', 'p', 'v', 'm', 'f')");
  if (found.rows.empty() || !found.rows[0][0].text) return "";
  const std::string kind = *found.rows[0][0].text;
  if (kind == "v") return "view";
  if (kind == "m") return "materialized view";
  if (kind == "f") return "foreign table";
  return "table";
}

const char *PostgresDatabase::typeName(ColumnType type) const {
  switch (type) {
    case ColumnType::Integer: return "bigint";
    case ColumnType::Real: return "numeric";
    case ColumnType::Text: return "text";
  }
  return "text";
}

void PostgresDatabase::insertRows(const CsvTable &csv, const QualifiedName &name) {
  std::string insert = "insert into " + name.sql() + " values (";
  for (size_t c = 0; c < csv.columns.size(); ++c) insert += (c ? ", $" : "$") + std::to_string(c + 1);
  exec("begin");
  try {
    const Result prepared(PQprepare(conn_, "", (insert + ")").c_str(),
                                    static_cast<int>(csv.columns.size()), nullptr),
                          &PQclear);
    if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK)
      throw DatabaseError(errorOf(conn_, prepared.get()));
    std::vector<const char *> values(csv.columns.size());
    for (const auto &row : csv.rows) {
      for (size_t c = 0; c < row.size(); ++c) values[c] = row[c] ? row[c]->c_str() : nullptr;
      const Result done(PQexecPrepared(conn_, "", static_cast<int>(values.size()), values.data(),
                                       nullptr, nullptr, 0),
                        &PQclear);
      if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) throw DatabaseError(errorOf(conn_, done.get()));
    }
  } catch (const DatabaseError &) {
    exec("rollback");
    throw;
  }
  exec("commit");
}

}  // namespace dfqrun
