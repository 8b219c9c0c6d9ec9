#define DFQ_LOG_UNIT "../src/DagBuilder"
#include "DagBuilder.h"

#include <cstring>

#include "DagException.h"
#include "Utils.h"
#include "log.h"

namespace {

DAG *DAGInstance = nullptr;

std::string firstString(char **value) { return value && value[0] ? value[0] : ""; }

void copyOut(const std::string &text, char **out) { Utils::copyToBuffer(text, out[0]); }

}  // namespace

DAG *dagInstance() { return DAGInstance; }

dfq::Dialect dfq::composingDialect() {
  return DAGInstance ? DAGInstance->dialect() : Dialect::Default;
}

DagBuilder::DagBuilder() {
  if (DAGInstance == nullptr) DAGInstance = new DAG();
}

DagBuilder::DagBuilder(char **initUser, char **initArg2, int logLevel, char **initArg3) {
  if (DAGInstance == nullptr) {
    DAGInstance = new DAG(firstString(initUser), firstString(initArg2), logLevel,
                          firstString(initArg3));
    DFQ_TRACE("DagInstance created..............");
  }
}

DAG *DagBuilder::initDag(char **initUser, char **initArg2, int logLevel, char **initArg3) {
  if (DAGInstance == nullptr)
    DAGInstance = new DAG(firstString(initUser), firstString(initArg2), logLevel,
                          firstString(initArg3));
  return DAGInstance;
}

DAG *DagBuilder::checkDagInstance() const {
  if (DAGInstance == nullptr) throw DagException("Dag Instance is NOT initialized", 1302);
  return DAGInstance;
}

void DagBuilder::closeDag() {
  DFQ_TRACE("Entering closeDag from DagBuilder");
  if (DAGInstance != nullptr) {
    DFQ_TRACE("Deleting DagInstance....");
    delete DAGInstance;
    DFQ_TRACE("Setting DagInstance to NULLPTR");
    DAGInstance = nullptr;
  }
  DFQ_TRACE("Exiting closeDag from DagBuilder");
}

std::string DagBuilder::getErrorMessage(int code) const {
  const auto it = errorMessages.find(code);
  return it == errorMessages.end() ? std::string() : it->second;
}

void DagBuilder::setErrorMessage(int code, std::string message) {
  errorMessages[code] = std::move(message);
}

// ---- options ----------------------------------------------------------------

namespace {

// The options a DAG instance knows: their names in lower case.
std::string knownOption(const std::string &name) {
  std::string lower = Utils::toLower(name);
  if (lower != "dialect" && lower != "form") throw DagException("Unknown option " + name, 1601);
  return lower;
}

// Statements kept on nodes were written in the form of their generation:
// a node not executed generates them afresh, and statements against the
// top of the graph and show queries are dropped. An executed node keeps the
// statements that created its table.
void dropStoredStatements(DagBuilder &builder, DAG &dag) {
  dag.forEachNode([&](Node *node) {
    if (!node->queriesWithRefToTopNodeRef().empty()) node->setQuerywithreftoTopNode({});
    if (!node->showQueriesRef().empty()) node->setListOfShowQueries({});
    if (!builder.dfqIsNodeExecuted(node->getNodeid())) node->setListofExecQueries({});
  });
}

}  // namespace

void DagBuilder::dfqSetOption(const std::string &name, const std::string &value) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    if (knownOption(name) == "form") {
      dfq::Form form;
      if (!dfq::formNamed(value, form))
        throw DagException("Invalid value " + value + " for option form (nested or cte)", 1602);
      // Forms differ only in how statements are assembled from the nodes'
      // queries, so the form may change at any time.
      if (form == dag->form()) return;
      dag->setForm(form);
      dropStoredStatements(*this, *dag);
      return;
    }
    dfq::Dialect dialect;
    if (!dfq::dialectNamed(value, dialect))
      throw DagException("Invalid value " + value +
                             " for option dialect (default, postgresql or sqlite)",
                         1602);
    if (dialect == dag->dialect()) return;
    // Nodes keep the text they were composed with: one graph, one dialect.
    if (dag->nodeCount() != 0)
      throw DagException(std::string("Option dialect cannot change from ") +
                             dfq::dialectName(dag->dialect()) + " to " +
                             dfq::dialectName(dialect) + " once the DAG has nodes",
                         1603);
    dag->setDialect(dialect);
  });
}

std::string DagBuilder::dfqGetOption(const std::string &name) const {
  return DFQ_INNER_FRAME([&] {
    const DAG *dag = checkDagInstance();
    if (knownOption(name) == "form") return std::string(dfq::formName(dag->form()));
    return std::string(dfq::dialectName(dag->dialect()));
  });
}

// ---- source nodes --------------------------------------------------------

nodeid_t DagBuilder::dfqTable(char **argName, char **argValue, char **outputTable,
                              char **outputSchema) {
  DFQ_TRACE("Entering dfqTable of DagBuilder.......");
  nodeid_t noInputs[1] = {0};
  const nodeid_t id = DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    DFQ_TRACE("Calling addNode from DagBuilder.......");
    return dag->addNode("table", argName[0], argValue[0], outputTable[0], outputSchema[0],
                        "SELECT", 1, 0, noInputs);
  });
  DFQ_TRACE("Exiting dfqTable of dagBuilder.......");
  return id;
}

nodeid_t DagBuilder::dfqQuery(char **argName, char **argValue, char **outputTable,
                              char **outputSchema) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    return dag->addNode("query", argName[0], argValue[0], outputTable[0], outputSchema[0],
                        "SELECT", 1, 0, nullptr);
  });
}

// ---- printing --------------------------------------------------------------

void DagBuilder::printDAG() { checkDagInstance()->printDAG(); }

void DagBuilder::printDAGPath(nodeid_t id) { checkDagInstance()->printDAGPath(id); }

// ---- node state --------------------------------------------------------------

int DagBuilder::dfqUpdateNodeState(nodeid_t nodeid, int state) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    if (!dag->existsDAGNodePath(nodeid, false))
      throw DagException(
          "DAGPath is NOT generated or does not exist for nodeid " + std::to_string(nodeid), 1310);
    int count = 0;
    for (nodeid_t id : dag->getDAGPath(nodeid, false)) {
      DFQ_DEBUG("Updating node state for nodeid %lld", static_cast<long long>(id));
      dag->updateNodeState(id, state);
      DFQ_DEBUG("Updated node state for nodeid %lld", static_cast<long long>(id));
      ++count;
    }
    if (state == 1) dag->removeDagPathMap(nodeid);
    return count;
  });
}

int DagBuilder::dfqUpdateNodeStateSingle(nodeid_t nodeid, int state) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    DFQ_DEBUG("Updating node state for nodeid %lld", static_cast<long long>(nodeid));
    dag->updateNodeState(nodeid, state);
    DFQ_DEBUG("Updated node state for nodeid %lld", static_cast<long long>(nodeid));
    return 1;
  });
}

int DagBuilder::dfqIsNodeExecuted(nodeid_t nodeid) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    if (nodeid < 1) throw DagException("Invalid input nodeid for isNodeExecuted operation", 1315);
    return dag->getNodeState(nodeid) == 1 ? 1 : 0;
  });
}

// ---- node inspection -----------------------------------------------------

namespace {

void requireValidId(nodeid_t nodeid, const char *operation, int code) {
  if (nodeid < 1)
    throw DagException(std::string("Invalid input nodeid for ") + operation + " operation", code);
}

}  // namespace

void DagBuilder::dfqGetTablename(nodeid_t nodeid, char **output_table, char **output_schema) {
  copyTablename(nodeid, output_table, output_schema, "dfqGetTablename", &DAG::getTablename);
}

void DagBuilder::dfqGetSourceTablename(nodeid_t nodeid, char **output_table,
                                       char **output_schema) {
  copyTablename(nodeid, output_table, output_schema, "dfqGetSourceTablename",
                &DAG::getSourceTablename);
}

void DagBuilder::copyTablename(nodeid_t nodeid, char **output_table, char **output_schema,
                               const char *operation,
                               void (DAG::*lookup)(nodeid_t, std::string &, std::string &)) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidId(nodeid, operation, 1316);
    std::string table, schema;
    (dag->*lookup)(nodeid, table, schema);
    copyOut(table, output_table);
    copyOut(schema, output_schema);
  });
}

void DagBuilder::dfqGetNodeQueryType(nodeid_t nodeid, char **query_type) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidId(nodeid, "dfqGetNodeQueryType", 1321);
    DFQ_TRACE("processing dfqGetNodeQueryType..");
    const std::string type = dag->getQueryType(nodeid);
    DFQ_TRACE("dfqGetNodeQueryType return value: %s", type.c_str());
    copyOut(type, query_type);
  });
}

void DagBuilder::dfqGetNodeGroupbyExpr(nodeid_t nodeid, char **query_type) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidId(nodeid, "dfqGetNodeGroupbyExpr", 1323);
    DFQ_TRACE("processing dfqGetNodeGroupbyExpr..");
    const std::string expr = dag->getGroupbyExpr(nodeid);
    DFQ_TRACE("dfqGetNodeGroupbyExpr return value: %s", expr.c_str());
    copyOut(expr, query_type);
  });
}

int DagBuilder::dfqGetNumberofInputNodes(nodeid_t nodeid) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidId(nodeid, "dfqGetNumberofInputNodes", 1331);
    return dag->getNumberOfInputEdges(nodeid);
  });
}

void DagBuilder::dfqGetParentNodeIds(nodeid_t nodeid, char **parent_nodeid) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireValidId(nodeid, "dfqGetParentNodeids", 1330);
    const std::vector<nodeid_t> ids = dag->getParentNodeIds(nodeid);
    for (size_t i = 0; i < ids.size(); ++i) {
      Utils::copyToBuffer(std::to_string(ids[i]), parent_nodeid[i]);
    }
  });
}
