// The facade between the exported C functions and the graph: checks that the
// graph exists, validates input ids, builds node arguments, assembles
// statements and keeps the error message of every code.
#ifndef DFQ_DAG_BUILDER_H
#define DFQ_DAG_BUILDER_H

#include <string>
#include <unordered_map>
#include <vector>

#include "DAG.h"
#include "QueryLists.h"
#include "dfqCommon.h"

class DagBuilder {
 public:
  DagBuilder();
  DagBuilder(char **initUser, char **initArg2, int logLevel, char **initArg3);
  virtual ~DagBuilder() = default;

  DAG *initDag(char **initUser, char **initArg2, int logLevel, char **initArg3);
  DAG *checkDagInstance() const;
  void closeDag();
  std::string getErrorMessage(int code) const;
  void setErrorMessage(int code, std::string message);

  // Options of the DAG instance: `dialect` (default, postgresql, sqlite).
  // Unknown names are 1601, unknown values 1602; the dialect cannot change
  // once the graph has nodes (1603).
  void dfqSetOption(const std::string &name, const std::string &value);
  std::string dfqGetOption(const std::string &name) const;

  // Source nodes.
  nodeid_t dfqTable(char **argName, char **argValue, char **outputTable, char **outputSchema);
  nodeid_t dfqQuery(char **argName, char **argValue, char **outputTable, char **outputSchema);

  // Operations.
  nodeid_t dfqSelect(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                     char **outputSchema, int *length);
  nodeid_t dfqFilter(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                     char **outputSchema);
  nodeid_t dfqAssign(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                     char **outputSchema);
  nodeid_t dfqOrderby(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                      char **outputSchema);
  // The first `rowCount` (>= 0) rows of the input under the ordering
  // argValue[0]; later nodes may read it.
  nodeid_t dfqTopn(nodeid_t nodeid_in, char **argValue, int rowCount, char **outputTable,
                   char **outputSchema);
  nodeid_t dfqGroupby(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                      char **outputSchema);
  nodeid_t dfqGroupbyTime(nodeid_t nodeid_in, char **argName, char **argValue,
                          char **outputTable, char **outputSchema);
  nodeid_t dfqAggregate(nodeid_t nodeid_in, char **argName, char **argValue, char **outputTable,
                        char **outputSchema);
  nodeid_t dfqJoin(nodeid_t *nodeid_in, char **arg_name, char **arg_value, char **output_table,
                   char **output_schema);
  nodeid_t dfqSetOp(nodeid_t *nodeid_in, char **arg_name, char **arg_value, char **output_table,
                    char **output_schema, int *num_inputs);
  nodeid_t dfqSample(nodeid_t nodeid_in, char **arg_name, char **arg_value, char **output_table,
                     char **output_schema, char **when_list, char **then_list, int *len_of_list);
  nodeid_t *dfqMLQuery(nodeid_t *nodeid_in, char **argName, char **argValue, char **outputTable,
                       char **outputSchema, char **functionName, int *nodeidCount,
                       int *numOutputs, char **queryNodeids, int *queryNodeidsCount);

  // Printing.
  void printDAG();
  void printDAGPath(nodeid_t id);

  // Query and view lists, statements, show query, top-node statements.
  QueryViewList dfqGetListofQueriesandViews(nodeid_t nodeid, bool mlAsTable);
  ExecQueryList getResolvedandSplitQueries(nodeid_t nodeid, ViewQueryMap map);
  int dfqGenerateExecQueries(nodeid_t nodeid);
  int dfqGetDagPathVecSize(nodeid_t nodeid);
  void dfqGetExecQuerySize(nodeid_t nodeid, int *unused, int *queryLengths);
  void dfqGetExecQuery(nodeid_t nodeid, int count, char **queries, char **names,
                       char **queryTypes, char **nodeids);
  ExecQueryList dfqGenerateShowQuery(nodeid_t nodeid);
  nodeid_t hasMLQueryNode(nodeid_t nodeid);
  void dfqShowQueryLength(nodeid_t nodeid, int option, int *lengths);
  void dfqShowQuery(nodeid_t nodeid, int option, char **queries, char **nodeids);
  int dfqGenerateQuerieswithRefToTopnode(nodeid_t nodeid);
  int dfqGenFullDAGPath(nodeid_t nodeid, bool mlAsTable);

  // State and inspection.
  int dfqUpdateNodeState(nodeid_t nodeid, int state);
  int dfqUpdateNodeStateSingle(nodeid_t nodeid, int state);
  int dfqIsNodeExecuted(nodeid_t nodeid);
  void dfqGetTablename(nodeid_t nodeid, char **output_table, char **output_schema);
  void dfqGetSourceTablename(nodeid_t nodeid, char **output_table, char **output_schema);
  void dfqGetNodeQueryType(nodeid_t nodeid, char **query_type);
  void dfqGetNodeGroupbyExpr(nodeid_t nodeid, char **query_type);
  int dfqGetNumberofInputNodes(nodeid_t nodeid);
  void dfqGetParentNodeIds(nodeid_t nodeid, char **parent_nodeid);

 private:
  // The table-name lookups: id check with `operation`'s wording, lookup, copy.
  void copyTablename(nodeid_t nodeid, char **output_table, char **output_schema,
                     const char *operation,
                     void (DAG::*lookup)(nodeid_t, std::string &, std::string &));

  std::unordered_map<int, std::string> errorMessages;
};

// The process-wide graph (null when there is none).
DAG *dagInstance();

#endif
