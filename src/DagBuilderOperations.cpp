// The facade's operations: each validates its input ids, adds its node to
// the graph and stores the operation's extras on it (select prefix, assign
// switch, join aliases, set-operation columns, sampling details, ML outputs).
#define DFQ_LOG_UNIT "../src/DagBuilder"
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "DagBuilder.h"
#include "DagException.h"
#include "Dialect.h"
#include "log.h"

namespace {

void requireValidInput(nodeid_t nodeid, std::string_view operation, int code) {
  if (nodeid < 1)
    throw DagException("Invalid input nodeid for " + std::string(operation) + " operation", code);
}

// `values[index]`, refused as a standard exception (code 1000 at the entry)
// when the host passed a null pointer there.
std::string presentEntry(char **values, int index, const char *arrayName) {
  if (values[index] == nullptr)
    throw std::invalid_argument(std::string("Null pointer value encountered for argument: ") +
                                arrayName + "[" + std::to_string(index) + "]");
  return values[index];
}

// The switches of assign and sample: on for exactly "1" or "Y".
bool isSwitchOn(const std::string &value) { return value == "1" || value == "Y"; }

// Adds a node of `argType` with the single input `input`: graph check, the
// operation's own code for an input id below 1, then node insertion.
nodeid_t addSingleInputNode(const DagBuilder &builder, const char *argType, int invalidInputCode,
                            nodeid_t input, char **argName, char **argValue, char **outputTable,
                            char **outputSchema) {
  DAG *dag = builder.checkDagInstance();
  requireValidInput(input, argType, invalidInputCode);
  return dag->addNode(argType, argName[0], argValue[0], outputTable[0], outputSchema[0], "SELECT",
                      1, 1, &input);
}

// A grouping node stands for its input: it takes the input's output names
// (also copied over the host's buffers) and is marked as a reference.
nodeid_t addGroupingNode(DagBuilder &builder, const char *argType, nodeid_t input,
                         std::string argName, std::string argValue, char **outputTable,
                         char **outputSchema) {
  builder.dfqGetTablename(input, outputTable, outputSchema);
  std::string table = outputTable[0], schema = outputSchema[0];
  return DFQ_INNER_FRAME([&] {
    DAG *dag = builder.checkDagInstance();
    const nodeid_t id = dag->addNode(argType, std::move(argName), std::move(argValue),
                                     std::move(table), std::move(schema), "SELECT", 1, 1, &input);
    DFQ_TRACE("Adding input edge node as reference...");
    dag->updateInputEdgeAsReference(id);
    return id;
  });
}

// Every input id of a multi-input operation must be positive.
void requireValidInputs(const nodeid_t *ids, int count, const std::string &operation, int code) {
  DFQ_TRACE("Validate input nodeids");
  for (int i = 0; i < count; ++i) requireValidInput(ids[i], operation, code);
}

// Present: neither a null pointer nor an empty string.
bool isPresent(const char *value) { return value != nullptr && value[0] != '\0'; }

// The time-grouping clause: " group by time (...) " with the optional
// timecode and fill pieces; every piece ends with ") ".
std::string groupbyTimeClause(char **argValue, std::string &groupingColumns) {
  const std::string interval = argValue[0];
  std::string clause;
  if (isPresent(argValue[1])) {
    groupingColumns = argValue[1];
    clause += " group by time (" + interval + " AND " + groupingColumns + ") ";
  } else {
    clause += " group by time (" + interval + ") ";
  }
  if (isPresent(argValue[2])) {
    clause += "using timecode (" + std::string(argValue[2]);
    if (isPresent(argValue[3])) clause += ", " + std::string(argValue[3]);
    clause += ") ";
  }
  if (isPresent(argValue[4])) clause += "fill (" + std::string(argValue[4]) + ") ";
  return clause;
}

std::vector<std::string> copyStrings(char **values, int count) {
  std::vector<std::string> copies;
  for (int i = 0; i < count; ++i) copies.emplace_back(values[i]);
  return copies;
}

}  // namespace

// ---- single-input operations -----------------------------------------------

nodeid_t DagBuilder::dfqSelect(nodeid_t nodeid_in, char **argName, char **argValue,
                               char **outputTable, char **outputSchema, int *length) {
  return DFQ_INNER_FRAME([&] {
    // A length of 2 means arg_value[1] holds text written before the query.
    const bool hasPrefix = length != nullptr && *length == 2;
    const std::string prefix = hasPrefix ? presentEntry(argValue, 1, "arg_value")
                                         : std::string();
    const std::string kind = argName[0];
    if (kind == "top" || kind == "TOP") {
      const DAG *dag = checkDagInstance();
      requireValidInput(nodeid_in, "select", 1303);
      dfq::requireTopInDialect(dag->dialect(), argValue[0]);
    }
    const nodeid_t id = addSingleInputNode(*this, "select", 1303, nodeid_in, argName, argValue,
                                           outputTable, outputSchema);
    checkDagInstance()->updateInputEdgeDetails(id, hasPrefix, prefix);
    return id;
  });
}

nodeid_t DagBuilder::dfqFilter(nodeid_t nodeid_in, char **argName, char **argValue,
                               char **outputTable, char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    return addSingleInputNode(*this, "filter", 1304, nodeid_in, argName, argValue, outputTable,
                              outputSchema);
  });
}

nodeid_t DagBuilder::dfqAssign(nodeid_t nodeid_in, char **argName, char **argValue,
                               char **outputTable, char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    const bool dropExisting = isSwitchOn(presentEntry(argValue, 1, "arg_value"));
    const nodeid_t id = addSingleInputNode(*this, "assign", 1322, nodeid_in, argName, argValue,
                                           outputTable, outputSchema);
    checkDagInstance()->updateInputEdgeDetails(id, dropExisting);
    return id;
  });
}

nodeid_t DagBuilder::dfqOrderby(nodeid_t nodeid_in, char **argName, char **argValue,
                                char **outputTable, char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    return addSingleInputNode(*this, "orderby", 1317, nodeid_in, argName, argValue, outputTable,
                              outputSchema);
  });
}

nodeid_t DagBuilder::dfqTopn(nodeid_t nodeid_in, char **argValue, int rowCount,
                             char **outputTable, char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    // The node keeps its row count where other nodes keep their tag.
    const std::string count = std::to_string(rowCount);
    DAG *dag = checkDagInstance();
    requireValidInput(nodeid_in, "topn", 1332);
    return dag->addNode("topn", count, argValue[0], outputTable[0], outputSchema[0], "SELECT", 1,
                        1, &nodeid_in);
  });
}

nodeid_t DagBuilder::dfqAggregate(nodeid_t nodeid_in, char **argName, char **argValue,
                                  char **outputTable, char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    return addSingleInputNode(*this, "aggregate", 1320, nodeid_in, argName, argValue,
                              outputTable, outputSchema);
  });
}

// ---- grouping ----------------------------------------------------------------

nodeid_t DagBuilder::dfqGroupby(nodeid_t nodeid_in, char **argName, char **argValue,
                                char **outputTable, char **outputSchema) {
  return addGroupingNode(*this, "groupby", nodeid_in, argName[0], argValue[0], outputTable,
                         outputSchema);
}

nodeid_t DagBuilder::dfqGroupbyTime(nodeid_t nodeid_in, char ** /*argName*/, char **argValue,
                                    char **outputTable, char **outputSchema) {
  // Refused before the input's output names are copied over the host's.
  DFQ_INNER_FRAME([&] { dfq::requireGroupbyTimeInDialect(checkDagInstance()->dialect()); });
  std::string groupingColumns;
  std::string clause = groupbyTimeClause(argValue, groupingColumns);
  return addGroupingNode(*this, "groupbytime", nodeid_in, std::move(groupingColumns),
                         std::move(clause), outputTable, outputSchema);
}

// ---- multi-input operations ----------------------------------------------------

nodeid_t DagBuilder::dfqJoin(nodeid_t *nodeid_in, char **arg_name, char **arg_value,
                             char **output_table, char **output_schema) {
  return DFQ_INNER_FRAME([&] {
    const std::string aliases[2] = {arg_value[1], arg_value[2]};
    const std::string columns = arg_value[3];
    DAG *dag = checkDagInstance();
    requireValidInputs(nodeid_in, 2, "join", 1318);
    const nodeid_t id = dag->addNode("join", arg_name[0], arg_value[0], output_table[0],
                                     output_schema[0], "SELECT", 1, 2, nodeid_in);
    dag->updateInputEdgeDetails(id, aliases, columns);
    return id;
  });
}

nodeid_t DagBuilder::dfqSetOp(nodeid_t *nodeid_in, char **arg_name, char **arg_value,
                              char **output_table, char **output_schema, int *num_inputs) {
  return DFQ_INNER_FRAME([&] {
    const int count = *num_inputs;
    const std::vector<std::string> columns = copyStrings(arg_value, count);
    DAG *dag = checkDagInstance();
    requireValidInputs(nodeid_in, count, "set", 1326);
    dfq::requireSetopInDialect(dag->dialect(), arg_name[0]);
    const nodeid_t id = dag->addNode("setop", arg_name[0], arg_value[0], output_table[0],
                                     output_schema[0], "SELECT", 1, count, nodeid_in);
    dag->updateInputEdgeDetails(id, columns.data());
    return id;
  });
}

nodeid_t DagBuilder::dfqSample(nodeid_t nodeid_in, char **arg_name, char **arg_value,
                               char **output_table, char **output_schema, char **when_list,
                               char **then_list, int *len_of_list) {
  return DFQ_INNER_FRAME([&] {
    const int caseCount = *len_of_list;
    const std::vector<std::string> when = copyStrings(when_list, caseCount);
    const std::vector<std::string> then = copyStrings(then_list, caseCount);
    const std::string fractions = arg_value[3], elseValue = arg_value[4];
    DAG *dag = checkDagInstance();
    requireValidInputs(&nodeid_in, 1, "set", 1326);
    dfq::requireSampleInDialect(dag->dialect(), isSwitchOn(arg_value[1]), caseCount, fractions);
    const nodeid_t id = dag->addNode("sample", arg_name[0], arg_value[0], output_table[0],
                                     output_schema[0], "SELECT", 1, 1, &nodeid_in);
    dag->updateInputEdgeDetails(id, fractions, isSwitchOn(arg_value[1]),
                                isSwitchOn(arg_value[2]), when.data(), then.data(), elseValue,
                                caseCount);
    return id;
  });
}

// ---- ML query --------------------------------------------------------------------

nodeid_t *DagBuilder::dfqMLQuery(nodeid_t *nodeid_in, char **argName, char **argValue,
                                 char **outputTable, char **outputSchema, char **functionName,
                                 int *nodeidCount, int *numOutputs, char **queryNodeids,
                                 int *queryNodeidsCount) {
  DFQ_TRACE("Entering dfqMLQuery...");
  DFQ_TRACE("Setting locals from arguments");
  const std::string value = argValue[0], function = functionName[0];
  const int inputCount = *nodeidCount, outputCount = *numOutputs;
  std::vector<nodeid_t> queryIds;
  DFQ_TRACE("Allocate memory for outputNodeids");
  // Entry 0 holds the ML node's id: there must be room for it.
  if (outputCount < 1) throw std::invalid_argument("Number of ML outputs must be at least 1");
  auto outputIds = std::make_unique<nodeid_t[]>(outputCount);
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidInputs(nodeid_in, inputCount, "ml_query", 1314);
    dfq::requireMlQueryInDialect(dag->dialect());
    DFQ_TRACE("Adding node of ML type");
    const nodeid_t mlId = dag->addNode("ml_query", argName[0], value, outputTable[0],
                                       outputSchema[0], function, 2, inputCount, nodeid_in);
    outputIds[0] = mlId;
    if (queryNodeids != nullptr && queryNodeidsCount != nullptr) {
      for (int i = 0; i < *queryNodeidsCount; ++i) queryIds.push_back(std::atoll(queryNodeids[i]));
      dag->updateInputNodeidsIncaseofMultipleQueries(mlId, queryIds);
    }
    DFQ_TRACE("Number of output nodes = %d", outputCount);
    if (outputCount < 2) return;
    dag->updateNumOutputs(mlId, outputCount);
    nodeid_t mlInput = mlId;
    for (int k = 1; k < outputCount; ++k) {
      std::string table = presentEntry(outputTable, k, "output_table");
      std::string schema = presentEntry(outputSchema, k, "output_schema");
      DFQ_TRACE("Adding ML outputnode#%d of reference type", k);
      const nodeid_t id = dag->addNode("ml_query", "source", value, std::move(table),
                                       std::move(schema), function, 2, 1, &mlInput);
      dag->updateInputEdgeAsReference(id);
      dag->updateInputNodeidsIncaseofMultipleQueries(id, queryIds);
      outputIds[k] = id;
    }
  });
  DFQ_TRACE("Exiting dfqMLQuery...");
  return outputIds.release();
}
