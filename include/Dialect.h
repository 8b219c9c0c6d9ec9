// The SQL dialects statements are written in, and what the portable ones
// cannot express. `default` is the text of the parallel database the
// library was made for; `postgresql` and `sqlite` write forms those engines
// run. The dialect is an option of the DAG instance, fixed once the graph
// has nodes, so a node composed in one dialect is never read in another.
#ifndef DFQ_DIALECT_H
#define DFQ_DIALECT_H

#include <string>
#include <string_view>

namespace dfq {

enum class Dialect : unsigned char { Default, PostgreSQL, SQLite };

// The option's value for `dialect`: "default", "postgresql" or "sqlite".
const char *dialectName(Dialect dialect);
// The dialect an option value names (any case); false when none does.
bool dialectNamed(std::string_view value, Dialect &dialect);

// The dialect of the process-wide graph, `Default` when there is none: the
// one node compositions write.
Dialect composingDialect();

// The size of a sample as a portable dialect writes it: one count of rows,
// or one fraction of them (from 0 to 1). Anything else has no portable form.
struct SampleSize {
  enum Kind { Count, Fraction, None };
  Kind kind = None;
  std::string text;  // the number, trimmed
};
SampleSize sampleSizeOf(const std::string &fractions);

// A row count a portable dialect writes after "limit": digits only (blanks
// around them aside), at most 9223372036854775807.
bool isRowCount(const std::string &rows);

// Refusals of the forms a dialect lacks, raised before the node is added
// (codes 1611 to 1615). They accept everything in the default dialect.
void requireSetopInDialect(Dialect dialect, const std::string &operation);
void requireSampleInDialect(Dialect dialect, bool withReplacement, int caseCount,
                            const std::string &fractions);
void requireTopInDialect(Dialect dialect, const std::string &rows);
void requireGroupbyTimeInDialect(Dialect dialect);
void requireMlQueryInDialect(Dialect dialect);

}  // namespace dfq

#endif
