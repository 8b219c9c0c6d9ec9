// Exported C functions of the operations: select, filter, assign, order by,
// group by, group by time, aggregate, join, set operations, sample and ML
// query. Each checks the host's arrays and calls one facade method.
#define DFQ_LOG_UNIT "../src/dfqRequest"
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Utils.h"
#include "dfq.h"
#include "dfqRequest.h"

using dfq::callFrame;
using dfq::requireBuilder;
using dfq::toNodeid;
using dfq::writeNodeid;

namespace {

// The arguments that every single-input entry shares, in parameter order.
struct SingleInputArgs {
  char **nodeid_in;
  char **arg_name;
  char **arg_value;
  char **output_table;
  char **output_schema;
  char **nodeid_out_str;
};

// The checks up to nodeid_out_str; only the schema's flag differs.
void checkSingleInput(const SingleInputArgs &a, bool schemaRequired) {
  Utils::checkCharCharPtr("nodeid_in", a.nodeid_in, false);
  Utils::checkCharCharPtr("arg_name", a.arg_name, false);
  Utils::checkCharCharPtr("arg_value", a.arg_value, false);
  Utils::checkCharCharPtr("output_table", a.output_table, false);
  Utils::checkCharCharPtr("output_schema", a.output_schema, !schemaRequired);
  Utils::checkCharCharPtr("nodeid_out_str", a.nodeid_out_str, true);
}

using SingleInputMethod = nodeid_t (DagBuilder::*)(nodeid_t, char **, char **, char **, char **);

// The seven-argument entries: checks, one facade call, the new id out.
void singleInputEntry(const char *entering, const char *exiting, SingleInputMethod method,
                      bool schemaRequired, const SingleInputArgs &a, int *ret_code) {
  callFrame(entering, exiting, ret_code, [&] {
    checkSingleInput(a, schemaRequired);
    Utils::checkIntPtr("ret_code", ret_code, true);
    const nodeid_t id = (requireBuilder().*method)(toNodeid(a.nodeid_in), a.arg_name, a.arg_value,
                                                   a.output_table, a.output_schema);
    writeNodeid(id, a.nodeid_out_str);
  });
}

bool isMissing(const char *value) { return value == nullptr || value[0] == '\0'; }

std::string position(int pos) { return std::to_string(pos); }

// Each of the first `count` strings of `values` must be there (1501 naming
// the array otherwise), so that nothing past them is read.
void checkEntries(const char *argName, char **values, int count) {
  for (int i = 0; i < count; ++i) Utils::checkCharCharPtr(argName, values + i, true);
}

std::vector<nodeid_t> toNodeids(char **texts, int count) {
  DFQ_TRACE("Convert input string nodeids to nodeid_t type");
  std::vector<nodeid_t> ids;
  for (int i = 0; i < count; ++i) ids.push_back(toNodeid(texts + i));
  return ids;
}

// ---- join ----------------------------------------------------------------------

// Four tag/value slots: the join type and condition, two aliases, the select
// list. Only a cross join may leave its condition empty.
void checkJoinSlots(char **arg_name, char **arg_value) {
  for (int slot = 0; slot < 4; ++slot) {
    if (isMissing(arg_name[slot]))
      throw DagException("arg_name for JOIN should contain four tag values, value at " +
                             position(slot + 1) + " is missing",
                         1402);
    const bool crossCondition = slot == 0 && std::strncmp(arg_name[0], "cross", 5) == 0;
    if (isMissing(arg_value[slot]) && !crossCondition)
      throw DagException("arg_value for JOIN should contain four values, value at " +
                             position(slot + 1) + " is missing",
                         1403);
  }
  if (joinTypeMap.count(Utils::toLower(arg_name[0])) == 0)
    throw DagException(std::string("Invalid join argument ") + arg_name[0], 1405);
}

bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

// An alias as the engines compare it, near enough: without its double
// quotes, in lower case.
std::string aliasKey(std::string_view alias) {
  if (alias.size() >= 2 && alias.front() == '"' && alias.back() == '"')
    alias = alias.substr(1, alias.size() - 2);
  return Utils::toLower(std::string(alias));
}

// Whether `list` qualifies a column with `alias` ("r.x", "R . x", "\"r\".*"):
// an identifier that is not itself qualified, followed by a dot, outside
// string literals.
bool qualifiesWith(std::string_view list, const std::string &alias) {
  const std::string key = aliasKey(alias);
  char before = ' ';  // the last character outside blanks before a word
  for (size_t i = 0; i < list.size();) {
    const char c = list[i];
    size_t end = i + 1;
    if (c == '\'') {  // a literal, '' inside it included
      while (end < list.size() && list[end] != '\'') ++end;
      i = end + 1;
      before = c;
      continue;
    }
    if (c == '"') {
      while (end < list.size() && list[end] != '"') ++end;
      end = std::min(end + 1, list.size());
    } else if (isWordChar(c)) {
      while (end < list.size() && isWordChar(list[end])) ++end;
    } else {
      if (!std::isspace(static_cast<unsigned char>(c))) before = c;
      i = end;
      continue;
    }
    size_t next = end;
    while (next < list.size() && std::isspace(static_cast<unsigned char>(list[next]))) ++next;
    const bool qualifier = next < list.size() && list[next] == '.' && before != '.';
    if (qualifier && aliasKey(list.substr(i, end - i)) == key) return true;
    before = list[end - 1];
    i = end;
  }
  return false;
}

// A semi or anti join keeps the first input's rows: its condition reads
// the second input through its own alias, which the select list cannot
// name, and which must differ from the first input's (the condition would
// otherwise read the second input on both sides, without an error).
void checkFilteringJoin(char **arg_name, char **arg_value) {
  if (!isFilteringJoin(Utils::toLower(arg_name[0]))) return;
  const std::string left = arg_value[1], right = arg_value[2];
  if (aliasKey(left) == aliasKey(right))
    throw DagException(std::string("Aliases of ") + arg_name[0] +
                           " join must differ, both inputs are " + right,
                       1414);
  if (qualifiesWith(arg_value[3], right))
    throw DagException(std::string("Select list of ") + arg_name[0] +
                           " join names the second input " + right +
                           ": only the first input's columns are kept",
                       1415);
}

// ---- set operations --------------------------------------------------------------

void checkSetopArrays(char **nodeid_in, char **arg_name, char **arg_value, int count) {
  if (isMissing(arg_name[0]))
    throw DagException("Value for setop type parameter arg_name[0] is missing", 1406);
  if (count <= 1) throw DagException("Number of input nodes should be more than one", 1410);
  for (int pos = 0; pos < count; ++pos) {
    if (isMissing(nodeid_in[pos]))
      throw DagException("Input nodeid required for setop operation is missing in nodeid_in[" +
                             position(pos) + "] parameter",
                         1408);
    if (isMissing(arg_value[pos]))
      throw DagException("Table columns required for setop operation is missing in arg_value[" +
                             position(pos) + "] parameter",
                         1407);
  }
  if (setopTypeMap.count(Utils::toLower(arg_name[0])) == 0)
    throw DagException(std::string("Specified value for setop type parameter arg_name[0]: ") +
                           arg_name[0] +
                           " is invalid. Permitted values are union, unionall, minus, minusall, "
                           "intersect and intersectall",
                       1409);
}

// ---- sample ------------------------------------------------------------------------

void sampleSlotError(int code, const char *array, const char *rule, int slot) {
  throw DagException(std::string(array) + " for sample should not be " + rule + ", value at " +
                         position(slot + 1) + " is not valid",
                     code);
}

// Slots 0-2 (tag, select list, two switches) must hold text; slots 3 and 4
// (fractions, else value) may be empty but not null.
void checkSampleSlots(char **arg_name, char **arg_value) {
  for (int slot = 0; slot < 3; ++slot) {
    if (isMissing(arg_name[slot])) sampleSlotError(1411, "arg_name", "empty or null", slot);
    if (isMissing(arg_value[slot])) sampleSlotError(1412, "arg_value", "empty or null", slot);
  }
  for (int slot = 3; slot < 5; ++slot) {
    if (arg_name[slot] == nullptr) sampleSlotError(1411, "arg_name", "null", slot);
    if (arg_value[slot] == nullptr) sampleSlotError(1412, "arg_value", "null", slot);
  }
}

// Exactly one form: fractions alone, or WHEN/THEN cases (with an optional
// else value).
void checkSampleForm(const char *fractions, const char *elseValue, int *len_of_list) {
  if (len_of_list == nullptr) throw DagException("Length of list cannot be null pointer ", 1503);
  const int cases = *len_of_list;
  if (cases < 0) throw DagException("Length of list len_of_list cannot be negative", 1413);
  if (fractions[0] != '\0' && cases > 0)
    throw DagException("Both list_of_fracs and then_list or when_list in same call are not valid",
                       1413);
  if (fractions[0] == '\0' && cases == 0)
    throw DagException(
        "Both list_of_fracs and then_list or when_list in same call cannot be empty", 1413);
  if (cases == 0 && elseValue[0] != '\0')
    throw DagException("else_list parameter is not valid if when_list and then_list are empty",
                       1413);
}

// ---- ML query ----------------------------------------------------------------------

// The counts and lists that the ML call reads beyond the common checks: all
// must be there before anything is read or added.
void checkMLArguments(char **nodeid_in, char **output_table, char **function_name,
                      int *nodeid_count, int *num_outputs, char **nodeid_out_str,
                      char **query_nodeids, int *query_nodeids_count) {
  Utils::checkCharCharPtr("function_name", function_name, true);
  Utils::checkIntPtr("nodeid_count", nodeid_count, true);
  if (*nodeid_count < 0) throw std::invalid_argument("Argument nodeid_count cannot be negative");
  Utils::checkIntPtr("num_outputs", num_outputs, false);
  checkEntries("nodeid_in", nodeid_in, *nodeid_count);
  checkEntries("nodeid_out_str", nodeid_out_str, *num_outputs);
  // Every output names a table; a missing name fails when its output is
  // added.
  for (int k = 1; k < *num_outputs; ++k)
    if (output_table[k] != nullptr && output_table[k][0] == '\0')
      Utils::checkCharCharPtr("output_table", output_table + k, false);
  if (query_nodeids == nullptr || query_nodeids_count == nullptr) return;
  if (*query_nodeids_count < 0)
    throw DagException(
        "Argument query_nodeids_count is required, should be greater than zero(0)", 1504);
  checkEntries("query_nodeids", query_nodeids, *query_nodeids_count);
}

}  // namespace

extern "C" {

void dfq_select(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                char **output_schema, char **nodeid_out_str, int *length, int *ret_code) {
  const SingleInputArgs a{nodeid_in, arg_name, arg_value, output_table, output_schema,
                          nodeid_out_str};
  callFrame("Entering dfq_select..............", "Exiting dfq_select..............", ret_code,
            [&] {
              checkSingleInput(a, false);
              Utils::checkIntPtr("length", length, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              writeNodeid(requireBuilder().dfqSelect(toNodeid(nodeid_in), arg_name, arg_value,
                                                     output_table, output_schema, length),
                          nodeid_out_str);
            });
}

void dfq_filter(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_filter..............", "Exiting dfq_filter..............",
                   &DagBuilder::dfqFilter, false,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_assign(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_assign ..............", "Exiting dfq_assign ..............",
                   &DagBuilder::dfqAssign, false,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_orderby(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                 char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_orderby..............", "Exiting dfq_Orderby..............",
                   &DagBuilder::dfqOrderby, false,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_topn(char **nodeid_in, char **arg_name, char **arg_value, int *row_count,
              char **output_table, char **output_schema, char **nodeid_out_str, int *ret_code) {
  callFrame("Entering dfq_topn..............", "Exiting dfq_topn..............", ret_code, [&] {
    Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
    Utils::checkCharCharPtr("arg_name", arg_name, true);
    Utils::checkCharCharPtr("arg_value", arg_value, false);
    Utils::checkIntPtr("row_count", row_count, true);
    Utils::checkCharCharPtr("output_table", output_table, false);
    Utils::checkCharCharPtr("output_schema", output_schema, true);
    Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, true);
    Utils::checkIntPtr("ret_code", ret_code, true);
    if (*row_count < 0)
      throw DagException("Row count of topn must be 0 or more, got " +
                             std::to_string(*row_count),
                         1616);
    writeNodeid(requireBuilder().dfqTopn(toNodeid(nodeid_in), arg_value, *row_count,
                                         output_table, output_schema),
                nodeid_out_str);
  });
}

void dfq_groupby(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                 char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_groupby..............", "Exiting dfq_groupby..............",
                   &DagBuilder::dfqGroupby, false,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_groupby_time(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                      char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_groupbytime..............",
                   "Exiting dfq_groupby_time..............", &DagBuilder::dfqGroupbyTime, true,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_aggregate(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                   char **output_schema, char **nodeid_out_str, int *ret_code) {
  singleInputEntry("Entering dfq_aggregate..............", "Exiting dfq_aggregate..............",
                   &DagBuilder::dfqAggregate, false,
                   {nodeid_in, arg_name, arg_value, output_table, output_schema, nodeid_out_str},
                   ret_code);
}

void dfq_join(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
              char **output_schema, char **nodeid_out_str, int *ret_code) {
  callFrame("Entering dfq_join..............", "Exiting dfq_join..............", ret_code, [&] {
    Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
    Utils::checkCharCharPtr("arg_name", arg_name, false);
    Utils::checkCharCharPtr("arg_value", arg_value, true);
    Utils::checkCharCharPtr("output_table", output_table, false);
    Utils::checkCharCharPtr("output_schema", output_schema, true);
    Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, false);
    Utils::checkIntPtr("ret_code", ret_code, true);
    checkJoinSlots(arg_name, arg_value);
    checkFilteringJoin(arg_name, arg_value);
    if (isMissing(nodeid_in[1]))
      throw DagException(
          "JOIN operation requires two input nodeids, second nodeid is NOT provided", 1404);
    std::vector<nodeid_t> ids = toNodeids(nodeid_in, 2);
    writeNodeid(requireBuilder().dfqJoin(ids.data(), arg_name, arg_value, output_table,
                                         output_schema),
                nodeid_out_str);
  });
}

void dfq_setop(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
               char **output_schema, int *num_inputs, char **nodeid_out_str, int *ret_code) {
  callFrame("Entering dfq_setop..............", "Exiting dfq_setop..............", ret_code, [&] {
    Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
    Utils::checkCharCharPtr("arg_name", arg_name, false);
    Utils::checkCharCharPtr("arg_value", arg_value, false);
    Utils::checkCharCharPtr("output_table", output_table, false);
    Utils::checkCharCharPtr("output_schema", output_schema, true);
    Utils::checkIntPtr("num_inputs", num_inputs, false);
    Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, false);
    Utils::checkIntPtr("ret_code", ret_code, true);
    checkSetopArrays(nodeid_in, arg_name, arg_value, *num_inputs);
    std::vector<nodeid_t> ids = toNodeids(nodeid_in, *num_inputs);
    writeNodeid(requireBuilder().dfqSetOp(ids.data(), arg_name, arg_value, output_table,
                                          output_schema, num_inputs),
                nodeid_out_str);
  });
}

void dfq_sample(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                char **output_schema, char **nodeid_out_str, char **when_list, char **then_list,
                int *len_of_list, int *ret_code) {
  callFrame("Entering dfq_sample..............", "Exiting dfq_sample..............", ret_code,
            [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("arg_name", arg_name, false);
              Utils::checkCharCharPtr("arg_value", arg_value, false);
              Utils::checkCharCharPtr("output_table", output_table, false);
              Utils::checkCharCharPtr("output_schema", output_schema, true);
              Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, true);
              Utils::checkCharCharPtr("when_list", when_list, true);
              Utils::checkCharCharPtr("then_list", then_list, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              checkSampleSlots(arg_name, arg_value);
              checkSampleForm(arg_value[3], arg_value[4], len_of_list);
              checkEntries("when_list", when_list, *len_of_list);
              checkEntries("then_list", then_list, *len_of_list);
              writeNodeid(requireBuilder().dfqSample(toNodeid(nodeid_in), arg_name, arg_value,
                                                     output_table, output_schema, when_list,
                                                     then_list, len_of_list),
                          nodeid_out_str);
            });
}

void dfq_ml_query(char **nodeid_in, char **arg_name, char **arg_value, char **output_table,
                  char **output_schema, char **function_name, int *nodeid_count,
                  int *num_outputs, char **nodeid_out_str, int *ret_code, char **query_nodeids,
                  int *query_nodeids_count) {
  callFrame("Entering dfq_ml_query..............", "Exiting dfq_ml_query..............", ret_code,
            [&] {
              DFQ_TRACE("Checking input arguments...");
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("arg_name", arg_name, false);
              Utils::checkCharCharPtr("arg_value", arg_value, false);
              Utils::checkCharCharPtr("output_table", output_table, false);
              Utils::checkCharCharPtr("output_schema", output_schema, true);
              Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              checkMLArguments(nodeid_in, output_table, function_name, nodeid_count,
                               num_outputs, nodeid_out_str, query_nodeids, query_nodeids_count);
              std::vector<nodeid_t> inputs = toNodeids(nodeid_in, *nodeid_count);
              DFQ_TRACE("Calling dagBuilder method dfqMLQuery");
              const std::unique_ptr<nodeid_t[]> ids(requireBuilder().dfqMLQuery(
                  inputs.data(), arg_name, arg_value, output_table, output_schema, function_name,
                  nodeid_count, num_outputs, query_nodeids, query_nodeids_count));
              DFQ_TRACE("copying/converting result nodeids to string array");
              for (int k = 0; k < *num_outputs; ++k) writeNodeid(ids[k], nodeid_out_str + k);
            });
}

}  // extern "C"
