// Texts whose statement count depends on the engine's quoting rules, with
// the count each engine sees: read by the lexer's tests and, for the texts
// PostgreSQL can run, checked against a real server.
#ifndef DFQ_SQL_TEXT_CASES_H
#define DFQ_SQL_TEXT_CASES_H

#include <vector>

namespace sqltext {

struct Case {
  const char *sql;
  bool secondOnSqlite;
  bool secondOnPostgres;
  bool postgresRuns;  // valid PostgreSQL (one or two selects)
};

inline const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      {"select 1", false, false, true},
      {"select 1;", false, false, true},
      {"select 1; -- done\n /* note */ ;\n", false, false, true},
      {"select 'a;b'", false, false, true},
      {"select 1 as \"a;b\"", false, false, true},
      {"select 1 as \"a\"\";b\"", false, false, true},
      {"select 'it''s; fine'", false, false, true},
      {"select 'a' -- ; select 2", false, false, true},
      {"select 1; select 2", true, true, true},
      {"select 1;;; select 2", true, true, true},
      {"select 'it''s'; select 2", true, true, true},
      {"select 1 -- x\n; select 2", true, true, true},
      {"select 1; /* c */ select 2", true, true, true},
      // E'...' takes backslash escapes on PostgreSQL only.
      {"select E'\\''; select 2 --'", false, true, true},
      {"select E'a\\'; select 2; --'", true, false, true},
      {"select e'\\\\'; select 2", true, true, true},
      {"select 1 as e, 'x\\'; select 2 --'", true, true, true},
      // Dollar quotes: PostgreSQL only; a '$' inside a name opens none.
      {"select $$a;b$$", true, false, true},
      {"select $x$ $$; $x$", true, false, true},
      {"select $x$ a; $y$ b $x$; select 2", true, true, true},
      {"select 1 as a$x; select 2", true, true, true},
      // Nested block comments: PostgreSQL only.
      {"select 1 /* a /* b */ ; select 2 */", true, false, true},
      {"select 1 /* a /* b */ */; select 2", true, true, true},
      {"select 1 /* /* */ ' */ ; select 2; --'", false, true, true},
      // SQLite's other quotes.
      {"select 1 as [a;b]", false, true, false},
      {"select 1 as `a;b`", false, true, false},
      // Unterminated texts run to the end.
      {"select 'a; select 2", false, false, false},
      {"select 1 /* ; select 2", false, false, false},
  };
  return all;
}

}  // namespace sqltext

#endif
