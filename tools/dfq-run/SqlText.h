// Where one SQL statement ends, read the way the engines read it: quoted
// texts, quoted names and comments hide their ';', and a ';' outside them
// followed by anything but blanks, comments or further ';' starts a second
// statement. dfq-run runs each statement the library writes as exactly one
// statement; a host text such as `a > 1; drop table t` is refused before
// anything of the run happens.
#ifndef DFQ_RUN_SQL_TEXT_H
#define DFQ_RUN_SQL_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace dfqrun {

// The engines' quoting rules.
//  SQLite:     '...' (with ''), "..." (""), `...` (``), [...]; -- and /* */
//              (not nested).
//  PostgreSQL: '...' (with ''), E'...' (also backslash escapes), "...",
//              $tag$...$tag$; -- and /* */ (nested).
enum class SqlFlavor { SQLite, PostgreSQL };

// The offset of the first ';' outside quotes and comments, or npos.
std::size_t statementEnd(std::string_view sql, SqlFlavor flavor);

// The offset where a second statement starts: the first character after
// the first statement's ';' that is neither blank, nor in a comment, nor a
// further ';'. npos when `sql` is one statement.
std::size_t secondStatement(std::string_view sql, SqlFlavor flavor);

// Why `sql` is not one statement ("" when it is): where the second
// statement starts and how it begins, on one line.
std::string secondStatementReason(std::string_view sql, SqlFlavor flavor);

}  // namespace dfqrun

#endif
