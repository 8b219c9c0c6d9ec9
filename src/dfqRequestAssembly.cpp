// Exported C functions of query assembly: executable statements, show query,
// full path and statements against the top node. Each checks the host's
// pointers and calls one facade method; no DAG instance gives 1302.
#define DFQ_LOG_UNIT "../src/dfqRequest"
#include "Utils.h"
#include "dfq.h"
#include "dfqRequest.h"

using dfq::callFrame;
using dfq::requireBuilder;
using dfq::toNodeid;

extern "C" {

void dfq_gen_exec_queries(char **nodeid_in, int *queries_count, int *ret_code) {
  callFrame("Entering dfq_gen_exec_queries..............",
            "Exiting dfq_gen_exec_queries..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("queries_count", queries_count, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              *queries_count = requireBuilder().dfqGenerateExecQueries(toNodeid(nodeid_in));
            });
}

void dfq_get_exec_querysize(char **nodeid_in, int *queries_count, int *query_lengths,
                            int *ret_code) {
  callFrame("Entering dfq_get_exec_querysize...........",
            "Exiting dfq_get_exec_querysize..............", ret_code, [&] {
              // The id is converted and the lengths written: neither may be null.
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, true);
              Utils::checkIntPtr("query_lengths", query_lengths, true);
              requireBuilder().dfqGetExecQuerySize(toNodeid(nodeid_in), queries_count,
                                                   query_lengths);
            });
}

void dfq_get_exec_query(char **nodeid_in, int *queries_count, char **query, char **tablename,
                        char **query_type, char **nodeid, int *ret_code) {
  callFrame("Entering dfq_get_exec_query..............", "Exiting dfq_get_exec_query..............",
            ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("queries_count", queries_count, false);
              Utils::checkCharCharPtr("query", query, true);
              Utils::checkCharCharPtr("tablename", tablename, true);
              Utils::checkCharCharPtr("tablename", query_type, true);
              Utils::checkCharCharPtr("tablename", nodeid, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              requireBuilder().dfqGetExecQuery(toNodeid(nodeid_in), *queries_count, query,
                                               tablename, query_type, nodeid);
            });
}

// The show entries write no entry or exit record.
void dfq_show_query_length(char **node_in, int *option, int *length_out, int *ret_code) {
  callFrame(nullptr, nullptr, ret_code, [&] {
    Utils::checkCharCharPtr("node_in", node_in, false);
    Utils::checkIntPtr("length_out", length_out, true);
    Utils::checkIntPtr("option", option, false);
    requireBuilder().dfqShowQueryLength(toNodeid(node_in), *option, length_out);
  });
}

void dfq_show_query(char **node_id, int *option, char **query_out, char **nodeid_list,
                    int *ret_code) {
  callFrame(nullptr, nullptr, ret_code, [&] {
    Utils::checkCharCharPtr("node_id", node_id, false);
    Utils::checkCharCharPtr("query_out", query_out, true);
    Utils::checkCharCharPtr("Node id's list", nodeid_list, true);
    // Checked after the others so that they keep their order; any value
    // goes on to the operation, which refuses what is no option.
    Utils::checkIntPtr("option", option, true);
    requireBuilder().dfqShowQuery(toNodeid(node_id), *option, query_out, nodeid_list);
  });
}

void dfq_gen_full_dagpath(char **nodeid_in, int *nodes_count, int *ret_code) {
  callFrame("Entering dfq_gen_full_dagpath..............",
            "Exiting dfq_gen_full_dagpath..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("nodes_count", nodes_count, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              *nodes_count = requireBuilder().dfqGenFullDAGPath(toNodeid(nodeid_in), false);
            });
}

void dfq_gen_queries_with_reference_to_topnode(char **nodeid_in, int *queries_count,
                                               int *ret_code) {
  callFrame("Entering dfq_gen_queries_with_reference_to_topnode..............",
            "Exiting dfq_gen_queries_with_reference_to_topnode..............", ret_code, [&] {
              Utils::checkCharCharPtr("nodeid_in", nodeid_in, false);
              Utils::checkIntPtr("queries_count", queries_count, true);
              Utils::checkIntPtr("ret_code", ret_code, true);
              *queries_count =
                  requireBuilder().dfqGenerateQuerieswithRefToTopnode(toNodeid(nodeid_in));
            });
}

}  // extern "C"
