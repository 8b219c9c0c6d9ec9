"""libdfq for Python: build a chain of dataframe operations, get its SQL, run it.

    import sqlite3, dfq
    with dfq.Dag() as dag:
        sales = dag.table("sales")
        big = sales.filter("amount >= 100").assign("amount * 1.2 as gross")
        print(big.sql()[0].sql)
        rows = big.run(sqlite3.connect("shop.db"))

Every operation adds one node to the library's graph and returns a new
`Frame`; nothing is computed until `.sql()`, `.show()` or `.run()`. The
library is found through the environment variable DFQ_LIBRARY (the path of
libdfq.so), else the system's library search path.

Only the standard library is used (ctypes).
"""

import ctypes
import ctypes.util
import itertools
import os
from collections import namedtuple

__all__ = ["Dag", "Frame", "DfqError", "Statement", "load_library"]

Statement = namedtuple("Statement", "sql name query_type nodeid")
Statement.__doc__ = "One executable statement: SQL, the table it creates, query type, node id."

_NODEID_SIZE = 21
_SHORT_TEXT = 64
_MIN_BUFFER = 4096

_CharPP = ctypes.POINTER(ctypes.POINTER(ctypes.c_char))
_IntP = ctypes.POINTER(ctypes.c_int)

# Argument shapes of the C functions used here: "s" is char**, "i" is int*.
_SIGNATURES = {
    "init_dag": "ssisi", "close_dag": "", "dfq_get_error_message": "is", "set_log_level": "ii",
    "dfq_table": "sssssi", "dfq_query": "sssssi", "dfq_select": "ssssssii",
    "dfq_filter": "ssssssi", "dfq_assign": "ssssssi", "dfq_orderby": "ssssssi",
    "dfq_groupby": "ssssssi", "dfq_groupby_time": "ssssssi", "dfq_aggregate": "ssssssi",
    "dfq_join": "ssssssi", "dfq_setop": "sssssisi", "dfq_sample": "ssssssssii",
    "dfq_ml_query": "ssssssiisisi", "dfq_gen_exec_queries": "sii",
    "dfq_get_exec_querysize": "siii", "dfq_get_exec_query": "sissssi",
    "dfq_show_query_length": "siii", "dfq_show_query": "sissi", "dfq_gen_full_dagpath": "sii",
    "dfq_gen_queries_with_reference_to_topnode": "sii", "dfq_update_node_state": "siii",
    "dfq_update_node_state_single": "sii",
    "dfq_is_node_executed": "sii", "dfq_get_tablename": "sssi",
}


class DfqError(Exception):
    """A failure reported by the library, with its code and message."""

    def __init__(self, code, message):
        super().__init__("DFQ-%d: %s" % (code, message))
        self.code = code
        self.message = message


def load_library(path=None):
    """Loads libdfq from `path`, DFQ_LIBRARY or the library search path."""
    path = path or os.environ.get("DFQ_LIBRARY") or ctypes.util.find_library("dfq")
    if not path:
        raise OSError("libdfq not found: set DFQ_LIBRARY to the path of libdfq.so")
    lib = ctypes.CDLL(path)
    for name, shape in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = None
        fn.argtypes = [_CharPP if c == "s" else _IntP for c in shape]
    lib.log_set_quiet.argtypes = [ctypes.c_int]
    lib.log_set_quiet.restype = None
    return lib


class _Strings:
    """Writable C strings in a `char **` array (null-terminated)."""

    def __init__(self, values=(), sizes=None, prefill=""):
        if sizes is None:
            raw = [v.encode() for v in values]
            self._buffers = [ctypes.create_string_buffer(r, len(r) + 1) for r in raw]
        else:
            self._buffers = [ctypes.create_string_buffer(prefill.encode(), max(s, len(prefill) + 1))
                             for s in sizes]
        array = (ctypes.POINTER(ctypes.c_char) * (len(self._buffers) + 1))()
        for i, b in enumerate(self._buffers):
            array[i] = ctypes.cast(b, ctypes.POINTER(ctypes.c_char))
        self.ptr = array

    @classmethod
    def buffers(cls, count, size, prefill=""):
        return cls(sizes=[size] * count, prefill=prefill)

    def __getitem__(self, i):
        return self._buffers[i].value.decode()

    def __len__(self):
        return len(self._buffers)


def _int(value=0):
    return ctypes.c_int(value)


def _yes(flag):
    return "Y" if flag else "N"


class Dag:
    """The process's DAG instance (keep one at a time): a factory of Frames.

    Nodes without an explicit name get an output table named after their
    operation ("filter_3") in `schema`.
    """

    def __init__(self, library=None, log_level=4, schema="main", quiet=True):
        self.lib = library if isinstance(library, ctypes.CDLL) else load_library(library)
        self.schema = schema
        self._names = itertools.count(1)
        self._longest = 0
        self.lib.log_set_quiet(1 if quiet else 0)
        self.open = False
        self._call("init_dag", _Strings([""]), _Strings([""]), _int(log_level), _Strings([""]))
        self.open = True

    def close(self):
        """Discards the DAG instance and every node."""
        if self.open:
            self.lib.close_dag()
            self.open = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- sources -------------------------------------------------------

    def table(self, source):
        """A base table reading the table reference `source`."""
        node = self._new_node("dfq_table", [_Strings(["source"]), self._text(source),
                                            _Strings([""]), _Strings([""])])
        return Frame(self, node, source, "")

    def query(self, sql, name=None):
        """A node whose SQL is `sql`."""
        table, schema = self._output(name, "query")
        node = self._new_node("dfq_query", [_Strings(["query"]), self._text(sql),
                                            self._text(table), self._text(schema)])
        return Frame(self, node, table, schema, query=sql)

    def error_message(self, code):
        """The message the library last recorded for `code`."""
        out = _Strings.buffers(1, max(_MIN_BUFFER, 2 * self._longest + 1024))
        self.lib.dfq_get_error_message(ctypes.byref(_int(code)), out.ptr)
        return out[0]

    def set_log_level(self, level):
        self._call("set_log_level", _int(level))

    # ---- plumbing ------------------------------------------------------

    def _call(self, name, *args):
        """Calls C function `name` with `args` and a return code; raises
        DfqError when the library reports a failure."""
        rc = _int()
        converted = [a.ptr if isinstance(a, _Strings) else
                     a if isinstance(a, ctypes.Array) else ctypes.byref(a) for a in args]
        getattr(self.lib, name)(*converted, ctypes.byref(rc))
        if rc.value:
            raise DfqError(rc.value, self.error_message(rc.value))

    def _new_node(self, name, before, after=()):
        """Calls a node-creating entry with the node-id output between
        `before` and `after`; returns the new id. The output arrives
        non-empty, as some entries require."""
        out = _Strings.buffers(1, _NODEID_SIZE, "0")
        self._call(name, *before, out, *after)
        return out[0]

    def _text(self, *values):
        """Texts for the library; remembers the longest, to size outputs
        that have no length call."""
        for v in values:
            self._longest = max(self._longest, len(v.encode()))
        return _Strings(values)

    def _output(self, name, op):
        """Output table and schema: `name` may be "schema.table"."""
        name = name or "%s_%d" % (op, next(self._names))
        if "." in name:
            schema, table = name.split(".", 1)
            return table, schema
        return name, self.schema


class Frame:
    """One node of the graph; every operation returns a new Frame."""

    def __init__(self, dag, nodeid, table, schema, query=None, parents=()):
        self.dag = dag
        self.nodeid = nodeid
        self.table = table
        self.schema = schema
        # The library reads a free query by its output name from the start,
        # so run() creates the tables of the free queries a frame reads.
        self.query = query
        self._queries = [q for parent in parents for q in parent._queries]
        if query is not None:
            self._queries.append(self)

    def __repr__(self):
        return "Frame(node=%s, output=%s)" % (self.nodeid, self.output_name)

    @property
    def output_name(self):
        """The node's output as SQL: "schema"."table", or the bare table."""
        if not self.schema:
            return self.table
        return '"%s"."%s"' % (self.schema, self.table)

    # ---- single-input operations -----------------------------------------

    def _single(self, entry, op, values, name, after=()):
        dag = self.dag
        table, schema = dag._output(name, op)
        before = [_Strings([self.nodeid]), _Strings([op]), dag._text(*values),
                  dag._text(table), dag._text(schema)]
        return Frame(dag, dag._new_node(entry, before, after), table, schema, parents=[self])

    def select(self, columns, name=None, prefix=None):
        """Projection: "select <columns> from ..."; `prefix` goes in front."""
        return self._single("dfq_select", "select", [columns, prefix or ""], name,
                            [_int(2 if prefix else 1)])

    def top(self, rows, name=None):
        """The first `rows` rows ("select top"; not every database has it)."""
        return self._single("dfq_select", "top", [str(rows), ""], name, [_int(1)])

    def filter(self, condition, name=None):
        return self._single("dfq_filter", "filter", [condition], name)

    def assign(self, expressions, drop=False, name=None):
        """New columns beside the existing ones (or instead, with `drop`)."""
        return self._single("dfq_assign", "assign", [expressions, _yes(drop)], name)

    def order_by(self, ordering, name=None):
        """Ordering; nothing can be built on an ordered frame."""
        return self._single("dfq_orderby", "orderby", [ordering], name)

    def aggregate(self, expressions, name=None):
        """Aggregates over the grouping that reaches this frame."""
        return self._single("dfq_aggregate", "aggregate", [expressions], name)

    def group_by(self, columns, function=""):
        """Groups by `columns` (with `function`, by function(columns)); a
        later aggregate uses the grouping."""
        return self._grouping("dfq_groupby", "groupby", ["%s|by %s" % (function, columns)])

    def group_by_time(self, interval, columns="", timecode="", timecode_option="", fill=""):
        """Time-series grouping (for databases with "group by time")."""
        return self._grouping("dfq_groupby_time", "groupbytime",
                              [interval, columns, timecode, timecode_option, fill])

    def _grouping(self, entry, op, values):
        # The library overwrites both output names with this frame's names.
        dag = self.dag
        size = max(_MIN_BUFFER, dag._longest + 1)
        before = [_Strings([self.nodeid]), _Strings([op]), dag._text(*values),
                  _Strings.buffers(1, size, "-"), _Strings.buffers(1, size, "-")]
        return Frame(dag, dag._new_node(entry, before), self.table, self.schema, parents=[self])

    def sample(self, fractions="", cases=(), else_value="", columns="*",
               with_replacement=False, randomized=False, name=None):
        """SAMPLE by fractions, or stratified by (condition, size) cases."""
        dag = self.dag
        table, schema = dag._output(name, "sample")
        cases = list(cases)
        before = [_Strings([self.nodeid]),
                  _Strings(["sample", "with_replacement", "randomized", "fractions", "else"]),
                  dag._text(columns, _yes(with_replacement), _yes(randomized), fractions,
                            else_value),
                  dag._text(table), dag._text(schema)]
        # Without cases the lists still hold one (unread) string each.
        whens, thens = [c for c, _ in cases] or [""], [n for _, n in cases] or [""]
        after = [dag._text(*whens), dag._text(*thens), _int(len(cases))]
        return Frame(dag, dag._new_node("dfq_sample", before, after), table, schema,
                     parents=[self])

    # ---- multi-input operations --------------------------------------------

    def join(self, other, on="", how="inner", columns="*", aliases=("l", "r"), name=None):
        """Join with `other` (inner, left, right, full, cross) under the two
        aliases, selecting `columns`."""
        dag = self.dag
        table, schema = dag._output(name, "join")
        before = [_Strings([self.nodeid, other.nodeid]),
                  dag._text(how, "left_alias", "right_alias", "columns"),
                  dag._text(on, aliases[0], aliases[1], columns),
                  dag._text(table), dag._text(schema)]
        return Frame(dag, dag._new_node("dfq_join", before), table, schema,
                     parents=[self, other])

    def setop(self, op, others, columns, name=None):
        """Set operation `op` over this frame and `others`; `columns` is one
        column list for all inputs, or a list with one per input."""
        dag = self.dag
        frames = [self] + list(others)
        if isinstance(columns, str):
            columns = [columns] * len(frames)
        table, schema = dag._output(name, op)
        before = [_Strings([f.nodeid for f in frames]), dag._text(op), dag._text(*columns),
                  dag._text(table), dag._text(schema), _int(len(frames))]
        return Frame(dag, dag._new_node("dfq_setop", before), table, schema, parents=frames)

    def union(self, *others, columns="*", all=False, name=None):
        return self.setop("unionall" if all else "union", others, columns, name)

    def intersect(self, *others, columns="*", all=False, name=None):
        return self.setop("intersectall" if all else "intersect", others, columns, name)

    def minus(self, *others, columns="*", all=False, name=None):
        return self.setop("minusall" if all else "minus", others, columns, name)

    # ---- SQL ----------------------------------------------------------------

    def sql(self):
        """The statements that materialise this frame, in the library's order
        (they run from the last to the first)."""
        dag, node = self.dag, _Strings([self.nodeid])
        count = _int()
        dag._call("dfq_gen_exec_queries", node, count)
        if count.value <= 0:
            return []
        lengths = (ctypes.c_int * count.value)()
        dag._call("dfq_get_exec_querysize", node, count, lengths)
        sql = _Strings(sizes=list(lengths))
        names = _Strings.buffers(count.value, max(_MIN_BUFFER, 2 * dag._longest + 8))
        types = _Strings.buffers(count.value, _SHORT_TEXT)
        ids = _Strings.buffers(count.value, _NODEID_SIZE)
        dag._call("dfq_get_exec_query", node, count, sql, names, types, ids)
        return [Statement(sql[i], names[i], types[i], ids[i]) for i in range(count.value)]

    def show(self, option=1):
        """A display form of the SQL: 1 the statements, 2 one query per node
        of the full path, 3 the statements against the top node."""
        dag, node = self.dag, _Strings([self.nodeid])
        path_nodes = _int()
        dag._call("dfq_gen_full_dagpath", node, path_nodes)
        # Option 1 has no count of its own: leave room for far more
        # statements than the path has nodes; unused lengths stay 0.
        capacity = 1024 + 16 * path_nodes.value if option == 1 else path_nodes.value
        if option == 3:
            count = _int()
            dag._call("dfq_gen_queries_with_reference_to_topnode", node, count)
            capacity = count.value
        lengths = (ctypes.c_int * (max(capacity, 1) + 1))()
        dag._call("dfq_show_query_length", node, _int(option), lengths)
        used = list(itertools.takewhile(lambda n: n > 0, lengths))
        queries = _Strings(sizes=used)
        ids = _Strings.buffers(max(len(used), 1), _NODEID_SIZE)
        dag._call("dfq_show_query", node, _int(option), queries, ids)
        return [queries[i] for i in range(len(used))]

    # ---- running -------------------------------------------------------------

    def is_executed(self):
        state = _int()
        self.dag._call("dfq_is_node_executed", _Strings([self.nodeid]), state)
        return state.value == 1

    def run(self, conn):
        """Runs the statements on a sqlite3 connection, each as a table named
        by its statement name (schemas are attached in memory), marks their
        nodes executed and returns this frame's rows."""
        for q in self._queries:
            if not _exists(conn, q.schema, q.table):
                _create(conn, q.output_name, q.query)
        if not self.is_executed():
            statements = self.sql()
            for s in reversed(statements):
                _create(conn, s.name, s.sql)
            # Only the nodes with a table of their own are executed; the
            # others were inlined into a statement.
            for nodeid in {s.nodeid for s in statements}:
                self.dag._call("dfq_update_node_state_single", _Strings([nodeid]), _int(1))
        return conn.execute("select * from %s" % self.output_name).fetchall()


def _schema_of(name):
    """The schema of a statement name "schema"."table" ("main" when bare)."""
    if name.startswith('"') and '"."' in name:
        return name[1:name.index('"."')]
    return "main"


def _create(conn, name, sql):
    _ensure_schema(conn, _schema_of(name))
    conn.execute("create table %s as %s" % (name, sql))


def _exists(conn, schema, table):
    _ensure_schema(conn, schema or "main")
    master = "sqlite_temp_master" if schema == "temp" else '"%s".sqlite_master' % (schema or "main")
    return conn.execute("select 1 from %s where name = ?" % master, (table,)).fetchone() is not None


def _ensure_schema(conn, schema):
    attached = {row[1] for row in conn.execute("pragma database_list")}
    if schema not in attached and schema != "temp":
        conn.execute("attach ':memory:' as \"%s\"" % schema.replace('"', '""'))
