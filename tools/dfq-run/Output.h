// Printing result rows: an aligned text table or CSV.
#ifndef DFQ_RUN_OUTPUT_H
#define DFQ_RUN_OUTPUT_H

#include <ostream>

#include "Database.h"

namespace dfqrun {

// Columns separated by " | ", a rule under the header, numbers aligned to
// the right, NULL shown as NULL, and a row count at the end.
void printTable(std::ostream &out, const ResultSet &result);

// A header row and one CSV record per row; NULL is an empty field.
void printCsv(std::ostream &out, const ResultSet &result);

}  // namespace dfqrun

#endif
