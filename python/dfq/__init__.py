"""libdfq for Python: build a chain of dataframe operations, get its SQL, run it.

    import sqlite3, dfq
    with dfq.Dag() as dag:
        sales = dag.table("sales")
        big = sales.filter("amount >= 100").assign("amount * 1.2 as gross")
        print(big.sql()[0].sql)
        result = big.run(sqlite3.connect("shop.db"))
        print(result.columns, result.rows)

Every operation adds one node to the library's graph and returns a new
`Frame`; nothing is computed until `.sql()`, `.show()` or `.run()`.

The library is taken from the environment variable DFQ_LIBRARY (the path of
libdfq.so), else from a libdfq.so.1 next to this package (an installed
package may carry one), else from the system's library search path.

The library keeps one DAG instance per process, so one `Dag` is open at a
time; every call sequence into the library holds the module's lock, so a
`Dag` and its frames may be used from several threads.

Only the standard library is used (ctypes).
"""

import itertools
import weakref
from collections import namedtuple

from . import _native
from ._native import LOCK as _LOCK, Strings as _Strings, c_int as _int, load_library
from ._run import NotRunnableError, Result, engine_for as _engine_for, split_name as _split_name

__all__ = ["Dag", "Frame", "DfqError", "DagError", "NotRunnableError", "Result", "Statement",
           "load_library"]

Statement = namedtuple("Statement", "sql name query_type nodeid")
Statement.__doc__ = "One executable statement: SQL, the table it creates, query type, node id."


class DfqError(Exception):
    """A failure reported by the library, with its code and message."""

    def __init__(self, code, message):
        super().__init__("DFQ-%d: %s" % (code, message))
        self.code = code
        self.message = message


class DagError(RuntimeError):
    """A use of the DAG instance that cannot work: a second open `Dag`, a
    closed `Dag`, or frames of different `Dag`s combined."""


# The open Dag of this process (a weak reference), and whether the library's
# instance was left open by a Dag that was dropped without close().
_current = None
_left_open = False


# dfq_get_option: the buffer was too small; the size needed was written.
_OPTION_BUFFER_TOO_SMALL = 1604


def _yes(flag):
    return "Y" if flag else "N"


def _text(value, what):
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (what, type(value).__name__))
    return value


def _check_name(part, name):
    if not part:
        raise ValueError("invalid output name %r: empty schema or table" % name)
    if '"' in part:
        raise ValueError("invalid output name %r: a name cannot contain '\"'" % name)
    return part


class Dag:
    """The process's DAG instance: a factory of Frames.

    Only one Dag is open at a time (the library keeps one DAG instance per
    process): close it (`close()`, or use `with`) before opening another.
    Nodes without an explicit name get an output table named after their
    operation ("filter_3") in `schema`. `dialect` ("default", "postgresql"
    or "sqlite") sets the SQL dialect of the statements. `quiet` keeps the
    library's log records off standard error (failures raise DfqError
    with code and message either way).
    """

    def __init__(self, library=None, log_level=4, schema="main", quiet=True, dialect=None):
        global _current, _left_open
        _check_name(_text(schema, "schema"), schema)
        self.lib = library if library is not None and not isinstance(library, str) \
            else load_library(library)
        self.schema = schema
        self._names = itertools.count(1)
        self._longest = 0
        self.open = False
        with _LOCK:
            other = _current() if _current is not None else None
            if other is not None and other.open:
                raise DagError("a Dag is already open in this process (the library keeps one "
                               "DAG instance per process): close it first with close(), or "
                               "use 'with dfq.Dag() as dag:'")
            if _left_open:
                # Its Dag is gone: nothing can reach that instance any more.
                self.lib.close_dag()
                _left_open = False
            self.lib.log_set_quiet(1 if quiet else 0)
            self.open = True
            try:
                self._call("init_dag", _Strings([""]), _Strings([""]), _int(log_level),
                           _Strings([""]))
                if dialect is not None:
                    self.set_option("dialect", dialect)
            except BaseException:
                self.lib.close_dag()
                self.open = False
                raise
            _current = weakref.ref(self, _dropped)

    def close(self):
        """Discards the DAG instance and every node; the frames of this Dag
        cannot be used afterwards."""
        global _current
        with _LOCK:
            if self.open:
                self.lib.close_dag()
                self.open = False
                _current = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "Dag(schema=%r, %s)" % (self.schema, "open" if self.open else "closed")

    # ---- sources -------------------------------------------------------

    def table(self, source):
        """A base table reading the table reference `source`."""
        node = self._new_node("dfq_table", [_Strings(["source"]),
                                            self._texts((source, "source")),
                                            _Strings([""]), _Strings([""])])
        return Frame(self, node, "table", source, "")

    def query(self, sql, name=None):
        """A node whose SQL is `sql`."""
        text = self._texts((sql, "sql"))
        table, schema = self._output(name, "query")
        node = self._new_node("dfq_query", [_Strings(["query"]), text,
                                            self._texts((table, "name")),
                                            self._texts((schema, "name"))])
        return Frame(self, node, "query", table, schema, query=sql)

    # ---- options, messages, log level ------------------------------------

    def set_option(self, name, value):
        """Sets a library option on this DAG instance, e.g. ("dialect", "sqlite")."""
        self._require("dfq_set_option")
        self._call("dfq_set_option", self._texts((name, "option name")),
                   self._texts((value, "option value")))

    def get_option(self, name):
        """The value of a library option."""
        self._require("dfq_get_option")
        names = self._texts((name, "option name"))
        with _LOCK:
            size = _int(_native.SHORT_TEXT)
            for _ in range(2):
                out = _Strings.buffers(1, size.value)
                rc = _int()
                self._check_open()
                self.lib.dfq_get_option(names.ptr, out.ptr, _native.ctypes.byref(size),
                                        _native.ctypes.byref(rc))
                if rc.value == 0:
                    return out[0]
                if rc.value != _OPTION_BUFFER_TOO_SMALL:
                    break
            raise DfqError(rc.value, self.error_message(rc.value))

    def error_message(self, code):
        """The message the library last recorded for `code`."""
        out = _Strings.buffers(1, max(_native.MIN_BUFFER, 2 * self._longest + 1024))
        with _LOCK:
            self.lib.dfq_get_error_message(_native.ctypes.byref(_int(code)), out.ptr)
        return out[0]

    def set_log_level(self, level):
        self._call("set_log_level", _int(level))

    # ---- plumbing ------------------------------------------------------

    def _require(self, function):
        if not hasattr(self.lib, function) or getattr(self.lib, function).argtypes is None:
            raise DagError("this libdfq has no %s: it predates library options" % function)

    def _check_open(self):
        if not self.open:
            raise DagError("this Dag is closed: its frames cannot be used; open a new Dag")

    def _call(self, name, *args):
        """Calls C function `name` with `args` and a return code; raises
        DfqError when the library reports a failure."""
        rc = _int()
        converted = [a.ptr if isinstance(a, _Strings) else
                     a if isinstance(a, _native.ctypes.Array) else _native.ctypes.byref(a)
                     for a in args]
        with _LOCK:
            self._check_open()
            getattr(self.lib, name)(*converted, _native.ctypes.byref(rc))
            if rc.value:
                raise DfqError(rc.value, self.error_message(rc.value))

    def _new_node(self, name, before, after=()):
        """Calls a node-creating entry with the node-id output between
        `before` and `after`; returns the new id. The output arrives
        non-empty, as some entries require."""
        out = _Strings.buffers(1, _native.NODEID_SIZE, "0")
        self._call(name, *before, out, *after)
        return out[0]

    def _texts(self, *pairs):
        """Texts for the library, given as (value, what) pairs: each must be
        a str. Remembers the longest, to size outputs that have no length
        call."""
        values = [_text(v, what) for v, what in pairs]
        with _LOCK:
            for v in values:
                self._longest = max(self._longest, len(v.encode()))
        return _Strings(values)

    def _output(self, name, op):
        """Output table and schema: `name` may be "schema.table"."""
        if name is None:
            with _LOCK:
                name = "%s_%d" % (op, next(self._names))
        _text(name, "name")
        schema, table = name.split(".", 1) if "." in name else (self.schema, name)
        return _check_name(table, name), _check_name(schema, name)


def _dropped(ref):
    """A Dag was collected: if it was still open, the next Dag closes its
    instance first."""
    global _left_open
    if _current is ref:
        _left_open = True


class Frame:
    """One node of the graph; every operation returns a new Frame."""

    def __init__(self, dag, nodeid, kind, table, schema, query=None, parents=()):
        self.dag = dag
        self.nodeid = nodeid
        self.kind = kind
        self.table = table
        self.schema = schema
        # The library reads a free query by its output name from the start,
        # so run() creates the tables of the free queries a frame reads.
        self.query = query
        self._queries = [q for parent in parents for q in parent._queries]
        if query is not None:
            self._queries.append(self)

    def __repr__(self):
        return "<Frame %s %s (node %s)>" % (self.kind, self.output_name, self.nodeid)

    @property
    def output_name(self):
        """The node's output as SQL: "schema"."table", or the bare table."""
        if not self.schema:
            return self.table
        return '"%s"."%s"' % (self.schema, self.table)

    def _others(self, others):
        frames = list(others)
        for other in frames:
            if not isinstance(other, Frame):
                raise TypeError("expected a Frame, not %s" % type(other).__name__)
            if other.dag is not self.dag:
                raise DagError("frames of different Dags cannot be combined")
        return frames

    # ---- single-input operations -----------------------------------------

    def _single(self, entry, op, values, name, after=(), kind=None):
        dag = self.dag
        texts = dag._texts(*values)
        table, schema = dag._output(name, op)
        before = [_Strings([self.nodeid]), _Strings([op]), texts,
                  dag._texts((table, "name")), dag._texts((schema, "name"))]
        return Frame(dag, dag._new_node(entry, before, after), kind or op, table, schema,
                     parents=[self])

    def select(self, columns, name=None, prefix=None):
        """Projection: "select <columns> from ..."; `prefix` goes in front."""
        return self._single("dfq_select", "select",
                            [(columns, "columns"), (prefix or "", "prefix")], name,
                            [_int(2 if prefix else 1)])

    def top(self, rows, name=None):
        """The first `rows` rows ("select top", or "limit" in the portable dialects)."""
        if isinstance(rows, bool) or not isinstance(rows, (int, str)):
            raise TypeError("rows must be an int or a str, not %s" % type(rows).__name__)
        return self._single("dfq_select", "top", [(str(rows), "rows"), ("", "prefix")], name,
                            [_int(1)])

    def filter(self, condition, name=None):
        return self._single("dfq_filter", "filter", [(condition, "condition")], name)

    def assign(self, expressions, drop=False, name=None):
        """New columns beside the existing ones (or instead, with `drop`)."""
        return self._single("dfq_assign", "assign",
                            [(expressions, "expressions"), (_yes(drop), "drop")], name)

    def order_by(self, ordering, name=None):
        """Ordering; nothing can be built on an ordered frame."""
        return self._single("dfq_orderby", "orderby", [(ordering, "ordering")], name)

    def aggregate(self, expressions, name=None):
        """Aggregates over the grouping that reaches this frame."""
        return self._single("dfq_aggregate", "aggregate", [(expressions, "expressions")], name)

    def group_by(self, columns, function=""):
        """Groups by `columns` (with `function`, by function(columns)); a
        later aggregate uses the grouping."""
        _text(columns, "columns")
        _text(function, "function")
        return self._grouping("dfq_groupby", "groupby",
                              [("%s|by %s" % (function, columns), "columns")])

    def group_by_time(self, interval, columns="", timecode="", timecode_option="", fill=""):
        """Time-series grouping (for databases with "group by time")."""
        return self._grouping("dfq_groupby_time", "groupbytime",
                              [(interval, "interval"), (columns, "columns"),
                               (timecode, "timecode"), (timecode_option, "timecode_option"),
                               (fill, "fill")])

    def _grouping(self, entry, op, values):
        # The library overwrites both output names with this frame's names.
        dag = self.dag
        texts = dag._texts(*values)
        size = max(_native.MIN_BUFFER, dag._longest + 1)
        before = [_Strings([self.nodeid]), _Strings([op]), texts,
                  _Strings.buffers(1, size, "-"), _Strings.buffers(1, size, "-")]
        return Frame(dag, dag._new_node(entry, before), op, self.table, self.schema,
                     parents=[self])

    def sample(self, fractions="", cases=(), else_value="", columns="*",
               with_replacement=False, randomized=False, name=None):
        """SAMPLE by fractions, or stratified by (condition, size) cases."""
        dag = self.dag
        cases = list(cases)
        values = dag._texts((columns, "columns"), (_yes(with_replacement), ""),
                            (_yes(randomized), ""), (fractions, "fractions"),
                            (else_value, "else_value"))
        # Without cases the lists still hold one (unread) string each.
        whens = [(c, "case condition") for c, _ in cases] or [("", "")]
        thens = [(n, "case size") for _, n in cases] or [("", "")]
        after = [dag._texts(*whens), dag._texts(*thens), _int(len(cases))]
        table, schema = dag._output(name, "sample")
        before = [_Strings([self.nodeid]),
                  _Strings(["sample", "with_replacement", "randomized", "fractions", "else"]),
                  values, dag._texts((table, "name")), dag._texts((schema, "name"))]
        return Frame(dag, dag._new_node("dfq_sample", before, after), "sample", table, schema,
                     parents=[self])

    # ---- multi-input operations --------------------------------------------

    def join(self, other, on="", how="inner", columns="*", aliases=("l", "r"), name=None):
        """Join with `other` (inner, left, right, full, cross) under the two
        aliases, selecting `columns`."""
        dag = self.dag
        self._others([other])
        names = dag._texts((how, "how"), ("left_alias", ""), ("right_alias", ""),
                           ("columns", ""))
        values = dag._texts((on, "on"), (aliases[0], "alias"), (aliases[1], "alias"),
                            (columns, "columns"))
        table, schema = dag._output(name, "join")
        before = [_Strings([self.nodeid, other.nodeid]), names, values,
                  dag._texts((table, "name")), dag._texts((schema, "name"))]
        return Frame(dag, dag._new_node("dfq_join", before), "join", table, schema,
                     parents=[self, other])

    def setop(self, op, others, columns, name=None):
        """Set operation `op` over this frame and `others`; `columns` is one
        column list for all inputs, or a list with one per input."""
        dag = self.dag
        frames = [self] + self._others(others)
        if isinstance(columns, str):
            columns = [columns] * len(frames)
        columns = list(columns)
        if len(columns) != len(frames):
            raise ValueError("%d column lists for %d inputs" % (len(columns), len(frames)))
        texts = [dag._texts((op, "op")), dag._texts(*[(c, "columns") for c in columns])]
        table, schema = dag._output(name, op)
        before = [_Strings([f.nodeid for f in frames]), *texts,
                  dag._texts((table, "name")), dag._texts((schema, "name")), _int(len(frames))]
        return Frame(dag, dag._new_node("dfq_setop", before), op, table, schema, parents=frames)

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
        with _LOCK:
            dag._call("dfq_gen_exec_queries", node, count)
            if count.value <= 0:
                return []
            lengths = _native.c_ints(count.value)
            dag._call("dfq_get_exec_querysize", node, count, lengths)
            sql = _Strings(sizes=list(lengths))
            names = _Strings.buffers(count.value, max(_native.MIN_BUFFER, 2 * dag._longest + 8))
            types = _Strings.buffers(count.value, _native.SHORT_TEXT)
            ids = _Strings.buffers(count.value, _native.NODEID_SIZE)
            dag._call("dfq_get_exec_query", node, count, sql, names, types, ids)
        return [Statement(sql[i], names[i], types[i], ids[i]) for i in range(count.value)]

    def show_queries(self, option=1):
        """One show form as a list: 1 the statements, 3 the statements
        against the top node (both as texts), 2 one (nodeid, query) per
        node of the full path."""
        if option not in (1, 2, 3):
            raise ValueError("show option must be 1, 2 or 3, not %r" % (option,))
        dag, node = self.dag, _Strings([self.nodeid])
        with _LOCK:
            path_nodes = _int()
            dag._call("dfq_gen_full_dagpath", node, path_nodes)
            # Option 1 has no count of its own: leave room for far more
            # statements than the path has nodes; unused lengths stay 0.
            capacity = 1024 + 16 * path_nodes.value if option == 1 else path_nodes.value
            if option == 3:
                count = _int()
                dag._call("dfq_gen_queries_with_reference_to_topnode", node, count)
                capacity = count.value
            lengths = _native.c_ints(max(capacity, 1) + 1)
            dag._call("dfq_show_query_length", node, _int(option), lengths)
            used = list(itertools.takewhile(lambda n: n > 0, lengths))
            queries = _Strings(sizes=used)
            ids = _Strings.buffers(max(len(used), 1), _native.NODEID_SIZE)
            dag._call("dfq_show_query", node, _int(option), queries, ids)
        if option == 2:
            return [(ids[i], queries[i]) for i in range(len(used))]
        return [queries[i] for i in range(len(used))]

    def show(self, option=None):
        """The show forms as text: `option` 1 the statements, 2 one query per
        node of the full path (each after a "-- node N" line), 3 the
        statements against the top node; without `option` all three, each
        under its heading."""
        if option is not None:
            shown = self.show_queries(option)
            if option == 2:
                return "\n".join("-- node %s\n%s" % q for q in shown)
            return "\n".join(shown)
        with _LOCK:
            forms = [self.show(n) for n in (1, 2, 3)]
        headings = ["-- option 1: statements", "-- option 2: full path, one query per node",
                    "-- option 3: statements against the top node"]
        return "\n".join("%s\n%s" % pair for pair in zip(headings, forms))

    # ---- running -------------------------------------------------------------

    def is_executed(self):
        state = _int()
        self.dag._call("dfq_is_node_executed", _Strings([self.nodeid]), state)
        return state.value == 1

    def run(self, conn, replace=False):
        """Runs this frame on a DB-API 2 connection (sqlite3, psycopg2, ...)
        and returns its rows as a Result (`.columns`, `.rows`).

        The statements run from the last to the first, each created as a
        table named by its statement name (missing schemas are created; on
        SQLite a schema other than main is a database file beside the main
        one, shop.work.db for schema work of shop.db, or in memory when the
        main database is), in one transaction that is committed; their nodes are then marked
        executed. With `replace`, a table or view of the same name is dropped
        first, so a run can be repeated. Statements the database cannot run
        raise NotRunnableError before anything runs; a statement the database
        rejects rolls the run back and leaves the nodes unexecuted."""
        engine = _engine_for(conn)
        statements = [] if self.is_executed() else self.sql()
        for s in statements:
            feature = engine.unsupported(s)
            if feature:
                raise NotRunnableError(engine.name, s.name, feature)
        engine.check_statements(statements, self._queries)
        # The database work runs outside the library lock: other threads may
        # go on adding nodes meanwhile.
        work = [(q.schema or None, q.table, q.query) for q in self._queries]
        work += [_split_name(s.name) + (s.sql,) for s in reversed(statements)]
        try:
            engine.begin({schema for schema, _, _ in work if schema})
            for i, (schema, table, sql) in enumerate(work):
                free_query = i < len(self._queries)
                if replace:
                    engine.drop(schema, table)
                elif free_query and engine.kind_of(schema, table):
                    continue
                engine.create_table(schema, table, sql)
            result = engine.execute("select * from %s" % self.output_name)
            engine.commit()
        except BaseException:
            engine.rollback()
            raise
        # Only the nodes with a table of their own are executed; the others
        # were inlined into a statement.
        with _LOCK:
            for nodeid in dict.fromkeys(s.nodeid for s in statements):
                self.dag._call("dfq_update_node_state_single", _Strings([nodeid]), _int(1))
        return result
