/*
 * libdfq: describe a chain of table operations as a graph of nodes and get
 * the SQL that materialises any node.
 *
 * Conventions shared by every function below:
 *  - Every argument is a pointer. `char **` is an array of C strings; unless
 *    stated otherwise only its first string is read or written. Node ids
 *    cross the boundary as decimal strings.
 *  - Output texts are copied, with their terminating zero, into buffers the
 *    host owns; the library never allocates memory for the host. A node-id
 *    buffer needs 21 bytes; other sizes come from the count/length calls.
 *  - `ret_code` receives 0 on success or an error code; the message of a code
 *    is read with dfq_get_error_message. A null `ret_code` is never written.
 *  - Argument checks: 1501 null `char **`, 1502 required string empty,
 *    1503 null `int *`, 1504 required integer not above zero, 1302 no DAG
 *    instance, 1000 any other failure. Operation-specific codes are listed
 *    per function.
 *  - One DAG instance per process, shared by all threads. Every function,
 *    log functions included, runs whole under one process-wide lock, so
 *    calls may come from any thread. A sequence of calls is not one call:
 *    threads that share nodes hold a lock of their own across sequences
 *    whose later calls depend on the earlier ones (generate, size, fetch).
 */
#ifndef DFQ_H
#define DFQ_H

#include <stdio.h>

#if defined(_WIN32)
#define DFQ_API
#elif defined(__GNUC__)
#define DFQ_API __attribute__((visibility("default")))
#else
#define DFQ_API
#endif

/* Lets the compiler check the arguments of a printf-style function against
 * its format text (`fmt` is the format's position, `first` the first
 * argument's). */
#if defined(__GNUC__) || defined(__clang__)
#define DFQ_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define DFQ_PRINTF_LIKE(fmt, first)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- DAG instance, errors and log level ------------------------------ */

/** Create the DAG instance from `init_user[0]`, `init_arg2[0]`, `init_arg3[0]`
 *  (stored, not used) and `*log_level` (0..5), then set the log level. On an
 *  existing instance only the level is applied. `*ret_code`: 0, 1000 (level
 *  out of range), 1201, 1501, 1503. */
DFQ_API void init_dag(char **init_user, char **init_arg2, int *log_level,
                      char **init_arg3, int *ret_code);

/** Discard the DAG instance, its nodes, statements and error messages. */
DFQ_API void close_dag(void);

/** Add a base-table node reading `arg_value[0]` (a table reference); creates
 *  the DAG instance when there is none. `arg_name[0]`, `arg_value[0]` must
 *  be non-empty. The new id is written to `nodeid_out_str[0]` (21 bytes).
 *  `*ret_code`: 0, 1501, 1502, 1101. */
DFQ_API void dfq_table(char **arg_name, char **arg_value, char **output_table,
                       char **output_schema, char **nodeid_out_str,
                       int *ret_code);

/** Add a free-query node whose SQL is `arg_value[0]`; creates the DAG
 *  instance when there is none. All four strings must be non-empty. The new
 *  id goes to `nodeid_out_str[0]`. `*ret_code`: 0, 1501, 1502, 1101. */
DFQ_API void dfq_query(char **arg_name, char **arg_value, char **output_table,
                       char **output_schema, char **nodeid_out_str,
                       int *ret_code);

/** Copy the message last recorded for `*error_code` into `error_message[0]`
 *  (the empty string when none is recorded). The buffer must hold the
 *  message and its terminating zero. Nothing is written on a bad argument. */
DFQ_API void dfq_get_error_message(int *error_code, char **error_message);

/** Set option `name[0]` of the DAG instance to `value[0]`; the setting
 *  lasts until close_dag. Names and values are read in any case. The one
 *  option is "dialect", the SQL dialect of every statement:
 *    "default"    the text of the parallel database (select top, SAMPLE,
 *                 minus, group by time, ML calls); a new instance has it;
 *    "postgresql" and "sqlite": top n as "limit n", minus as except,
 *                 assign keeping the input's columns as "select *, ...",
 *                 a sample of one count as "order by random() limit n" and
 *                 of one fraction as a per-row random filter; forms the
 *                 engine lacks are refused when their node is added
 *                 (1611 to 1615, see dfq_setop, dfq_sample,
 *                 dfq_groupby_time, dfq_ml_query, dfq_select).
 *  The dialect can be set while the graph has no nodes (right after
 *  init_dag); once it has nodes, setting another dialect is refused (1603)
 *  and setting the same one does nothing. There is no instance before
 *  init_dag (or dfq_table/dfq_query): options are then refused (1302).
 *  `*ret_code`: 0, 1501, 1502, 1601 (unknown name), 1602 (unknown value),
 *  1603, 1302. */
DFQ_API void dfq_set_option(char **name, char **value, int *ret_code);

/** Copy the value of option `name[0]` with its terminating zero into
 *  `value_out[0]`, a host buffer of `*value_size` bytes. `*value_size` is
 *  then set to the value's length plus one: the bytes written, or the bytes
 *  needed when the buffer was too small, in which case nothing is written
 *  and the code is 1604 (16 bytes hold every dialect). `*ret_code`: 0, 1501,
 *  1502, 1503, 1601, 1604, 1302. */
DFQ_API void dfq_get_option(char **name, char **value_out, int *value_size,
                            int *ret_code);

/** Write the log facility's level to `*log_level`. `*ret_code`: 0, 1503. */
DFQ_API void get_log_level(int *log_level, int *ret_code);

/** Set the log facility's level to `*log_level` (0 TRACE .. 5 FATAL).
 *  `*ret_code`: 0, 1503, 1000 (outside 0..5). */
DFQ_API void set_log_level(int *log_level, int *ret_code);

/** Print every node of the graph to standard output. Without a DAG instance
 *  an ERROR record is logged and nothing is printed. */
DFQ_API void print_dag(void);

/** Print the nodes still to compute for node `nodeid[0]` to standard output;
 *  marks reference nodes whose input is executed as executed. A bad id or a
 *  missing DAG instance logs an ERROR record and prints nothing more. */
DFQ_API void print_dag_path(char **nodeid);

/* ---- Operations: each adds a node and writes its id ------------------ */

/** Projection of node `nodeid_in[0]`: "select <arg_value[0]> from <input>";
 *  with `arg_name[0]` "top"/"TOP" a row limit of `arg_value[0]` rows
 *  ("select top n *", or "... limit n" in the portable dialects). The
 *  default dialect writes the row count as given; the portable dialects
 *  take only a count of rows, digits with nothing but blanks around them,
 *  at most 9223372036854775807, and refuse any other text ("-1", "abc",
 *  "+5", "1; drop table t") before a node is added (1615). When `*length`
 *  is 2, `arg_value[1]` is written in front of the query.
 *  `*ret_code`: 0, 1303, 1615, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_select(char **nodeid_in, char **arg_name, char **arg_value,
                        char **output_table, char **output_schema,
                        char **nodeid_out_str, int *length, int *ret_code);

/** Filter of node `nodeid_in[0]` with the condition `arg_value[0]`.
 *  `*ret_code`: 0, 1304, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_filter(char **nodeid_in, char **arg_name, char **arg_value,
                        char **output_table, char **output_schema,
                        char **nodeid_out_str, int *ret_code);

/** Computed columns `arg_value[0]` on node `nodeid_in[0]`; `arg_value[1]`
 *  ("1" or "Y" drops the input's columns) must be present. The input's
 *  columns are kept as "<input>.*", or as "*" in the portable dialects.
 *  `*ret_code`: 0, 1322, 1202, 1203, 1000, 15xx, 1302. */
DFQ_API void dfq_assign(char **nodeid_in, char **arg_name, char **arg_value,
                        char **output_table, char **output_schema,
                        char **nodeid_out_str, int *ret_code);

/** Ordering `arg_value[0]` of node `nodeid_in[0]`; nothing can be built on
 *  an ordering. `*ret_code`: 0, 1317, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_orderby(char **nodeid_in, char **arg_name, char **arg_value,
                         char **output_table, char **output_schema,
                         char **nodeid_out_str, int *ret_code);

/** The first `*row_count` rows of node `nodeid_in[0]` under the ordering
 *  `arg_value[0]` (as for dfq_orderby), as one node that later nodes may
 *  read: `default` writes "select top n * from IN order by ORDERING", the
 *  portable dialects "select * from IN order by ORDERING limit n". Reads
 *  only `arg_name[0]` (a tag, not used, may be empty) and `arg_value[0]`.
 *  A count of 0 gives no rows; a negative count is refused with 1616 before
 *  a node is added. Its query type is "topn". `*ret_code`: 0, 1616, 1332,
 *  1202, 1203, 1503, 15xx, 1302. */
DFQ_API void dfq_topn(char **nodeid_in, char **arg_name, char **arg_value,
                      int *row_count, char **output_table,
                      char **output_schema, char **nodeid_out_str,
                      int *ret_code);

/** Group node `nodeid_in[0]` by the expression `arg_value[0]`
 *  ("F|word columns"). `output_table[0]`/`output_schema[0]` are overwritten
 *  with the input's output names (buffers must be large enough).
 *  `*ret_code`: 0, 1316, 1211, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_groupby(char **nodeid_in, char **arg_name, char **arg_value,
                         char **output_table, char **output_schema,
                         char **nodeid_out_str, int *ret_code);

/** Time-series grouping of node `nodeid_in[0]`: `arg_value[0..4]` are the
 *  interval, grouping columns, timecode column, timecode option and fill
 *  (entries 1..4 may be null or empty). Output names are overwritten as for
 *  dfq_groupby. Refused in the portable dialects (1613, before any output
 *  is written). `*ret_code`: 0, 1613, 1316, 1211, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_groupby_time(char **nodeid_in, char **arg_name,
                              char **arg_value, char **output_table,
                              char **output_schema, char **nodeid_out_str,
                              int *ret_code);

/** Aggregate expressions `arg_value[0]` over node `nodeid_in[0]`, grouped by
 *  the grouping that reaches it. `*ret_code`: 0, 1320, 1202, 1203, 15xx,
 *  1302. */
DFQ_API void dfq_aggregate(char **nodeid_in, char **arg_name, char **arg_value,
                           char **output_table, char **output_schema,
                           char **nodeid_out_str, int *ret_code);

/** Join of `nodeid_in[0]` and `nodeid_in[1]`. `arg_name[0]` is the join type
 *  (inner, left, right, full, cross, semi, anti; any case), `arg_name[1..3]`
 *  non-empty tags; `arg_value[0..3]` the condition, the two aliases and the
 *  select list ("" = "*"). A semi (anti) join keeps each row of the first
 *  input that has (has no) row of the second meeting the condition, once,
 *  written as `where exists (select 1 from ... where COND)` (`not exists`);
 *  its select list names only the first input's columns (through its alias,
 *  or "*"): naming the second alias is refused with 1415, equal aliases with
 *  1414. `*ret_code`: 0, 1402-1405, 1414, 1415, 1318, 1202, 1203, 15xx,
 *  1302. */
DFQ_API void dfq_join(char **nodeid_in, char **arg_name, char **arg_value,
                      char **output_table, char **output_schema,
                      char **nodeid_out_str, int *ret_code);

/** Set operation `arg_name[0]` (union, unionall, minus, minusall, intersect,
 *  intersectall; any case) over the `*num_inputs` (>= 2) nodes of
 *  `nodeid_in`, projecting input i to the columns `arg_value[i]`. The
 *  portable dialects write minus as except; sqlite refuses minusall and
 *  intersectall (1611). `*ret_code`: 0, 1406-1410, 1326, 1611, 1202, 1203,
 *  15xx, 1302. */
DFQ_API void dfq_setop(char **nodeid_in, char **arg_name, char **arg_value,
                       char **output_table, char **output_schema,
                       int *num_inputs, char **nodeid_out_str, int *ret_code);

/** Sample of node `nodeid_in[0]`. `arg_value[0..4]`: select list,
 *  with-replacement ("1"/"Y"), randomized allocation ("1"/"Y"), fractions,
 *  else value. Either fractions with `*len_of_list` 0, or `*len_of_list`
 *  WHEN conditions and THEN sizes in `when_list`/`then_list`. The portable
 *  dialects take one count (digits: "order by random() limit n") or one
 *  fraction from 0 to 1 (with a point: each row kept with that
 *  probability) and refuse the other forms (1612).
 *  `*ret_code`: 0, 1411-1413, 1326, 1612, 1202, 1203, 15xx, 1302. */
DFQ_API void dfq_sample(char **nodeid_in, char **arg_name, char **arg_value,
                        char **output_table, char **output_schema,
                        char **nodeid_out_str, char **when_list,
                        char **then_list, int *len_of_list, int *ret_code);

/** ML function call `arg_value[0]` (function `function_name[0]`) reading the
 *  `*nodeid_count` nodes of `nodeid_in`, yielding `*num_outputs` (>= 1)
 *  tables named by `output_table[k]`/`output_schema[k]`. The ids of the ML
 *  node and its output nodes go to `nodeid_out_str[0..num_outputs-1]`
 *  (21 bytes each). Optional `query_nodeids` (`*query_nodeids_count` ids)
 *  lists nodes whose statements must run with it. Refused in the portable
 *  dialects (1614). `*ret_code`: 0, 1314, 1614, 1202, 1203, 1000, 15xx,
 *  1302. */
DFQ_API void dfq_ml_query(char **nodeid_in, char **arg_name, char **arg_value,
                          char **output_table, char **output_schema,
                          char **function_name, int *nodeid_count,
                          int *num_outputs, char **nodeid_out_str,
                          int *ret_code, char **query_nodeids,
                          int *query_nodeids_count);

/* ---- Statements ---------------------------------------------------- */

/** Generate (or reuse) the executable statements of node `nodeid_in[0]` and
 *  write their number to `*queries_count`. `*ret_code`: 0, 1206, 1207, 1217,
 *  1305, 1307, 15xx, 1302. */
DFQ_API void dfq_gen_exec_queries(char **nodeid_in, int *queries_count,
                                  int *ret_code);

/** Write each generated statement's length plus one (buffer size) to
 *  `query_lengths[i]`; the array must hold one entry per statement.
 *  `queries_count` is not read. `*ret_code`: 0, 1309, 1501, 1502, 1503. */
DFQ_API void dfq_get_exec_querysize(char **nodeid_in, int *queries_count,
                                    int *query_lengths, int *ret_code);

/** Copy at most `*queries_count` statements: the i-th statement's text into
 *  `query[i]` (sized from dfq_get_exec_querysize), its table or view name
 *  into `tablename[i]`, its query type into `query_type[i]` and its node id
 *  into `nodeid[i]` (host buffers). `*ret_code`: 0, 1308, 15xx. */
DFQ_API void dfq_get_exec_query(char **nodeid_in, int *queries_count,
                                char **query, char **tablename,
                                char **query_type, char **nodeid,
                                int *ret_code);

/** Write the buffer sizes of node `node_in[0]`'s show query for `*option`
 *  (1 statements, 2 one query per full-path node, 3 top-node statements)
 *  to `length_out[i]`. Option 1 generates the statements.
 *  `*ret_code`: 0, 1325, 1329, 1206, 1207, 1307, 15xx, 1302. */
DFQ_API void dfq_show_query_length(char **node_in, int *option,
                                   int *length_out, int *ret_code);

/** Copy node `node_id[0]`'s show query for `*option` into `query_out[i]`
 *  (sized from dfq_show_query_length); option 2 also writes each node id
 *  into `nodeid_list[i]`. `*ret_code`: 0, 1324, 1328, 1206, 1207, 1307,
 *  15xx, 1302. */
DFQ_API void dfq_show_query(char **node_id, int *option, char **query_out,
                            char **nodeid_list, int *ret_code);

/** Generate node `nodeid_in[0]`'s full path (ignoring execution) and write
 *  its number of nodes to `*nodes_count`. `*ret_code`: 0, 1205, 1217, 15xx,
 *  1302. */
DFQ_API void dfq_gen_full_dagpath(char **nodeid_in, int *nodes_count,
                                  int *ret_code);

/** Generate (once) node `nodeid_in[0]`'s statements written against the top
 *  of the graph and write their number to `*queries_count`.
 *  `*ret_code`: 0, 1206, 1207, 1217, 1307, 15xx, 1302. */
DFQ_API void dfq_gen_queries_with_reference_to_topnode(char **nodeid_in,
                                                       int *queries_count,
                                                       int *ret_code);

/* ---- Node state ---------------------------------------------------- */

/** Set node `nodeid_in[0]` to `*node_state` (0 or 1): alone when
 *  `*dag_nodes_count` is 1, else with its whole generated path; the number
 *  of nodes updated is written back to `*dag_nodes_count`.
 *  `*ret_code`: 0, 1401, 1310, 1206, 1208, 15xx, 1302. */
DFQ_API void dfq_update_node_state(char **nodeid_in, int *node_state,
                                   int *dag_nodes_count, int *ret_code);

/** Set node `nodeid_in[0]` alone to `*node_state` (0 or 1).
 *  `*ret_code`: 0, 1401, 1208, 15xx, 1302. */
DFQ_API void dfq_update_node_state_single(char **nodeid_in, int *node_state,
                                          int *ret_code);

/** Write 1 to `*node_state` when node `nodeid_in[0]` is executed, else 0.
 *  `*ret_code`: 0, 1315, 1209, 15xx, 1302. */
DFQ_API void dfq_is_node_executed(char **nodeid_in, int *node_state,
                                  int *ret_code);

/* ---- Node inspection ------------------------------------------------ */

/** Copy node `nodeid_in[0]`'s output table and schema into `output_table[0]`
 *  and `output_schema[0]` (non-empty host buffers). `*ret_code`: 0, 1316,
 *  1211, 15xx, 1302. */
DFQ_API void dfq_get_tablename(char **nodeid_in, char **output_table,
                               char **output_schema, int *ret_code);

/** As dfq_get_tablename, but a base table made from its source with empty
 *  output names yields its source table. `*ret_code`: as dfq_get_tablename. */
DFQ_API void dfq_get_source_tablename(char **nodeid_in, char **output_table,
                                      char **output_schema, int *ret_code);

/** Copy node `nodeid_in[0]`'s query type into `query_type[0]`.
 *  `*ret_code`: 0, 1321, 1214, 15xx, 1302. */
DFQ_API void dfq_get_node_query_type(char **nodeid_in, char **query_type,
                                     int *ret_code);

/** Copy node `nodeid_in[0]`'s group-by expression (maybe empty) into
 *  `query_type[0]`. `*ret_code`: 0, 1323, 1216, 15xx, 1302. */
DFQ_API void dfq_get_node_groupby_expr(char **nodeid_in, char **query_type,
                                       int *ret_code);

/** Write node `nodeid_in[0]`'s number of inputs to `*inputs_count`.
 *  `*ret_code`: 0, 1331, 1219, 15xx, 1302. */
DFQ_API void dfq_get_parent_nodes_count(char **nodeid_in, int *inputs_count,
                                        int *ret_code);

/** Copy the ids of node `nodeid_in[0]`'s inputs, in input order, into
 *  `parent_nodeid[i]` (21-byte buffers, count from
 *  dfq_get_parent_nodes_count). `*ret_code`: 0, 1330, 1218, 15xx, 1302. */
DFQ_API void dfq_get_parent_nodeids(char **nodeid_in, char **parent_nodeid,
                                    int *ret_code);

/* ---- Log facility --------------------------------------------------- */

/** Lock callback: called with (udata, 1) before and (udata, 0) after a
 *  record is written to standard error, while the library's own lock is
 *  held (so it must not wait for a thread that is calling the library). */
typedef void (*log_LockFn)(void *udata, int lock);

/** Write one record of `level` (0 TRACE .. 5 FATAL) from `file`:`line` with
 *  printf-style `fmt`: to the stream set by log_set_fp always, to standard
 *  error when `level` equals the configured level and quiet is off. */
DFQ_API void log_log(int level, const char *file, int line, const char *fmt,
                     ...) DFQ_PRINTF_LIKE(4, 5);

/** Store the pointer handed back to the lock callback. */
DFQ_API void log_set_udata(void *udata);

/** Install the lock callback (null switches locking off). */
DFQ_API void log_set_lock(log_LockFn fn);

/** Send every record also to `fp` (owned by the host; null switches off). */
DFQ_API void log_set_fp(FILE *fp);

/** Return the configured level. */
DFQ_API int log_get_level(void);

/** Set the level without a range check. */
DFQ_API void log_set_level(int level);

/** Quiet (non-zero) suppresses standard-error output. */
DFQ_API void log_set_quiet(int enable);

/** Return the library's log file name buffer ("dfq.log"); `fp` is unused. */
DFQ_API char *getFilename(FILE *fp);

#ifdef __cplusplus
}
#endif

#endif /* DFQ_H */
