// Exported C functions of the DAG instance, source nodes, printing, node
// state and node inspection, and the shared pieces of the call frame.
#define DFQ_LOG_UNIT "../src/dfqRequest"
#include "dfqRequest.h"

#include <charconv>
#include <cstring>
#include <string>
#include <unordered_map>

#include "Utils.h"
#include "dfq.h"

namespace dfq {

namespace {

DagBuilder *builderInstance = nullptr;

// Messages of failures that happened while there was no facade to keep
// them; forgotten with the DAG instance like the facade's own.
std::unordered_map<int, std::string> orphanMessages;

}  // namespace

DagBuilder *&dagBuilder() { return builderInstance; }

DagBuilder &requireBuilder() {
  if (builderInstance == nullptr) throw DagException("Dag Instance is NOT initialized", 1302);
  return *builderInstance;
}

void reportFailure(int code, const char *message, int *ret_code, bool dagError) {
  // A failure of the library's own carries its code in the record; any
  // other (an allocation, a standard container) only its text.
  if (dagError)
    DFQ_ERROR("DFQ-%d:%s\n", code, message);
  else
    DFQ_ERROR("%s\n", message);
  try {
    if (builderInstance)
      builderInstance->setErrorMessage(code, message);
    else
      orphanMessages[code] = message;
  } catch (...) {
    // Out of memory while recording: the code still reaches the host.
  }
  if (ret_code) *ret_code = code;
}

void writeNodeid(nodeid_t id, char **out) {
  char buf[21];
  const auto end = std::to_chars(buf, buf + sizeof buf - 1, static_cast<long>(id)).ptr;
  *end = '\0';
  std::strcpy(out[0], buf);
}

std::string errorMessageFor(int code) {
  if (builderInstance) return builderInstance->getErrorMessage(code);
  const auto it = orphanMessages.find(code);
  return it == orphanMessages.end() ? std::string() : it->second;
}

void forgetOrphanMessages() { orphanMessages.clear(); }

}  // namespace dfq

using dfq::callFrame;
using dfq::requireBuilder;
using dfq::toNodeid;
using dfq::writeNodeid;

namespace {

// Entries that report a failure without a ret_code (print entries and the
// error-message entry): an ERROR record and an orderly return.
template <class Work>
void guardedEntry(const char *entering, const char *exiting, Work &&work) noexcept {
  callFrame(entering, exiting, nullptr, std::forward<Work>(work));
}

// The table and query entries create the DAG instance when there is none.
void ensureBuilder(const char *initialising) {
  if (dfq::dagBuilder() == nullptr) {
    DFQ_TRACE("%s", initialising);
    dfq::dagBuilder() = new DagBuilder();
  }
}

}  // namespace

extern "C" {

void init_dag(char **init_user, char **init_arg2, int *log_level, char **init_arg3,
              int *ret_code) {
  const dfq::EntryLock hold;
  DFQ_TRACE("Entering init_dag..............");
  if (dfq::dagBuilder() == nullptr) {
    // The graph reads the level: refuse a missing one before creating it.
    callFrame(nullptr, nullptr, ret_code, [&] {
      Utils::checkIntPtr("log_level", log_level, true);
      dfq::dagBuilder() = new DagBuilder(init_user, init_arg2, *log_level, init_arg3);
      DFQ_TRACE("DagBuilder created..............");
    });
  }
  if (dfq::dagBuilder() != nullptr) set_log_level(log_level, ret_code);
  DFQ_TRACE("Exiting init_dag..............");
}

void close_dag(void) {
  const dfq::EntryLock hold;
  DFQ_TRACE("Entering close_dag##..............");
  if (DagBuilder *builder = dfq::dagBuilder()) {
    builder->closeDag();
    DFQ_TRACE("Deleting dagBuilder..............");
    delete builder;
    DFQ_TRACE("Setting dagBuilder to NULLPTR..............");
    dfq::dagBuilder() = nullptr;
  }
  dfq::forgetOrphanMessages();
  DFQ_TRACE("Exiting close_dag..............");
}

void get_log_level(int *log_level, int *ret_code) {
  // ret_code is written only at the end: 0 on success or the failure's code.
  int code = 0;
  callFrame(nullptr, nullptr, &code, [&] {
    Utils::checkIntPtr("log_level", log_level, true);
    *log_level = log_get_level();
  });
  if (ret_code) *ret_code = code;
}

void set_log_level(int *log_level, int *ret_code) {
  callFrame(nullptr, nullptr, ret_code, [&] {
    Utils::checkIntPtr("log_level", log_level, true);
    if (*log_level < 0 || *log_level > 5)
      throw DagException("log_level outside of range [0, 5]", 1000);
    log_set_level(*log_level);
  });
}

void dfq_get_error_message(int *error_code, char **error_message) {
  guardedEntry("Entering dfq_get_error_message..............",
               "Exiting dfq_get_error_message..............", [&] {
                 Utils::checkIntPtr("error_code", error_code, false);
                 Utils::checkCharCharPtr("error_message", error_message, true);
                 std::strcpy(error_message[0], dfq::errorMessageFor(*error_code).c_str());
               });
}

void dfq_set_option(char **name, char **value, int *ret_code) {
  callFrame("Entering dfq_set_option..............", "Exiting dfq_set_option..............",
            ret_code, [&] {
              Utils::checkCharCharPtr("name", name, false);
              Utils::checkCharCharPtr("value", value, false);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqSetOption(name[0], value[0]);
            });
}

void dfq_get_option(char **name, char **value_out, int *value_size, int *ret_code) {
  callFrame("Entering dfq_get_option..............", "Exiting dfq_get_option..............",
            ret_code, [&] {
              Utils::checkCharCharPtr("name", name, false);
              Utils::checkCharCharPtr("value_out", value_out, true);
              Utils::checkIntPtr("value_size", value_size, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              const std::string value = requireBuilder().dfqGetOption(name[0]);
              const int room = *value_size;
              const int needed = static_cast<int>(value.size()) + 1;
              *value_size = needed;
              if (room < needed)
                throw DagException("Buffer of " + std::to_string(room) +
                                       " bytes is too small for the value of option " + name[0] +
                                       ", " + std::to_string(needed) + " needed",
                                   1604);
              Utils::copyToBuffer(value, value_out[0]);
            });
}

void print_dag(void) {
  guardedEntry("Entering print_dag..............", "Exiting print_dag..............",
               [] { requireBuilder().printDAG(); });
}

void print_dag_path(char **nodeid) {
  guardedEntry("Entering print_dag_path..............", "Exiting print_dag_path..............",
               [&] {
                 Utils::checkCharCharPtr("nodeid", nodeid, true);
                 requireBuilder().printDAGPath(toNodeid(nodeid));
               });
}

void dfq_table(char **arg_name, char **arg_value, char **output_table, char **output_schema,
               char **nodeid_out_str, int *ret_code) {
  callFrame("Entering dfq_table..............", "Exiting dfq_table..............", ret_code, [&] {
    ensureBuilder("Initializing DAG from dfq_table..............");
    DFQ_TRACE("Checking  input Arguments..............");
    Utils::checkCharCharPtr("arg_name", arg_name, false);
    Utils::checkCharCharPtr("arg_value", arg_value, false);
    Utils::checkCharCharPtr("output_table", output_table, true);
    Utils::checkCharCharPtr("output_schema", output_schema, true);
    Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, true);
    Utils::checkIntPtr("ret_code", ret_code, true);
    DFQ_TRACE("Calling  dfqTable  from dagBuilder..............");
    writeNodeid(requireBuilder().dfqTable(arg_name, arg_value, output_table, output_schema),
                nodeid_out_str);
  });
}

void dfq_query(char **arg_name, char **arg_value, char **output_table, char **output_schema,
               char **nodeid_out_str, int *ret_code) {
  callFrame("Entering dfq_query..............", "Exiting dfq_query..............", ret_code, [&] {
    ensureBuilder("Initializing DAG from dfq_table..............");  // same line as the table entry
    Utils::checkCharCharPtr("arg_name", arg_name, false);
    Utils::checkCharCharPtr("arg_value", arg_value, false);
    Utils::checkCharCharPtr("output_table", output_table, false);
    Utils::checkCharCharPtr("output_schema", output_schema, false);
    Utils::checkCharCharPtr("nodeid_out_str", nodeid_out_str, true);
    Utils::checkIntPtr("ret_code", ret_code, true);
    writeNodeid(requireBuilder().dfqQuery(arg_name, arg_value, output_table, output_schema),
                nodeid_out_str);
  });
}

// ---- node state ---------------------------------------------------------------

void dfq_update_node_state(char **nodeid_in, int *node_state, int *dag_nodes_count,
                           int *ret_code) {
  callFrame("Entering dfq_update_node_state..............",
            "Exiting dfq_update_node_state..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("node_state", node_state, true);
              Utils::checkIntPtr("dag_nodes_count", dag_nodes_count, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              const nodeid_t id = toNodeid(nodeid_in);
              const int state = *node_state;
              if (state != 0 && state != 1)
                throw DagException("Invalid Node state argument value " + std::to_string(state),
                                   1401);
              DagBuilder &builder = requireBuilder();
              *dag_nodes_count = *dag_nodes_count == 1
                                     ? builder.dfqUpdateNodeStateSingle(id, state)
                                     : builder.dfqUpdateNodeState(id, state);
            });
}

void dfq_update_node_state_single(char **nodeid_in, int *node_state, int *ret_code) {
  const dfq::EntryLock hold;
  DFQ_TRACE("Entering dfq_update_node_state_single..............");
  if (ret_code) *ret_code = 0;
  int single = 1;
  dfq_update_node_state(nodeid_in, node_state, &single, ret_code);
  DFQ_TRACE("Exiting dfq_update_node_state_single..............");
}

void dfq_is_node_executed(char **nodeid_in, int *node_state, int *ret_code) {
  callFrame("Entering dfq_is_node_executed..............",
            "Exiting dfq_is_node_executed..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("node_state", node_state, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              *node_state = requireBuilder().dfqIsNodeExecuted(toNodeid(nodeid_in));
            });
}

// ---- node inspection ---------------------------------------------------------

void dfq_get_tablename(char **nodeid_in, char **output_table, char **output_schema,
                       int *ret_code) {
  callFrame("Entering dfq_get_tablename..............", "Exiting dfq_get_tablename..............",
            ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("output_table", output_table, false);
              Utils::checkCharCharPtr("output_schema", output_schema, false);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetTablename(toNodeid(nodeid_in), output_table, output_schema);
            });
}

void dfq_get_source_tablename(char **nodeid_in, char **output_table, char **output_schema,
                              int *ret_code) {
  callFrame("Entering dfq_get_source_tablename..............",
            "Exiting dfq_get_source_tablename..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("output_table", output_table, false);
              Utils::checkCharCharPtr("output_schema", output_schema, false);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetSourceTablename(toNodeid(nodeid_in), output_table,
                                                     output_schema);
            });
}

void dfq_get_node_query_type(char **nodeid_in, char **query_type, int *ret_code) {
  callFrame("Entering dfq_get_node_query_type..............",
            "Exiting dfq_get_node_query_type..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("query_type", query_type, false);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetNodeQueryType(toNodeid(nodeid_in), query_type);
            });
}

void dfq_get_node_groupby_expr(char **nodeid_in, char **query_type, int *ret_code) {
  callFrame("Entering dfq_get_node_groupby_expr..............",
            "Exiting dfq_get_node_groupby_expr..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("query_type", query_type, false);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetNodeGroupbyExpr(toNodeid(nodeid_in), query_type);
            });
}

void dfq_get_parent_nodes_count(char **nodeid_in, int *inputs_count, int *ret_code) {
  callFrame("Entering dfq_get_parent_nodes_count..............",
            "Exiting dfq_get_parent_nodes_count..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("inputs_count", inputs_count, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              *inputs_count = requireBuilder().dfqGetNumberofInputNodes(toNodeid(nodeid_in));
            });
}

void dfq_get_parent_nodeids(char **nodeid_in, char **parent_nodeid, int *ret_code) {
  callFrame("Entering dfq_get_parent_nodeids..............",
            "Exiting dfq_get_parent_nodeids..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkCharCharPtr("parent_nodeid", parent_nodeid, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetParentNodeIds(toNodeid(nodeid_in), parent_nodeid);
            });
}

}  // extern "C"
