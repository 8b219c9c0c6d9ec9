"""Running statements on a DB-API 2 connection: what each database can run,
where its schemas live, how a table of the same name is dropped, and the
rows that come back."""

import os

from ._statements import FLAVORS, second_statement_reason


class NotRunnableError(Exception):
    """A statement uses SQL the connection's database does not have (for
    example "select top" or SAMPLE on SQLite); nothing was run."""

    def __init__(self, engine, statement, feature):
        super().__init__("not runnable on %s: %s uses %s" % (engine, statement, feature))
        self.engine = engine
        self.statement = statement
        self.feature = feature


class MultipleStatementsError(NotRunnableError):
    """A statement holds a second statement after a ';' (a host text such as
    "a > 1; drop table t"); nothing was run, created, dropped or marked."""

    def __init__(self, engine, statement, nodeid, reason):
        Exception.__init__(self, "statement %s (node %s) is not one SQL statement: %s"
                           % (statement, nodeid, reason))
        self.engine = engine
        self.statement = statement
        self.nodeid = nodeid
        self.feature = reason


class Result:
    """Rows with their column names; iterates over the rows (tuples) and
    compares equal to a list of the same rows."""

    __slots__ = ("columns", "rows")

    def __init__(self, columns, rows):
        self.columns = list(columns)
        self.rows = [tuple(r) for r in rows]

    def __iter__(self):
        return iter(self.rows)

    def __len__(self):
        return len(self.rows)

    def __getitem__(self, i):
        return self.rows[i]

    def __eq__(self, other):
        if isinstance(other, Result):
            return (self.columns, self.rows) == (other.columns, other.rows)
        if isinstance(other, (list, tuple)):
            return self.rows == [tuple(r) for r in other]
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        return "Result(columns=%r, %d rows)" % (self.columns, len(self.rows))

    def to_pandas(self):
        """The rows as a pandas DataFrame (needs pandas)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("Result.to_pandas() needs pandas, which is not installed") from None
        return pandas.DataFrame.from_records(self.rows, columns=self.columns)


def literal(text):
    return "'" + text.replace("'", "''") + "'"


def quoted(name):
    return '"' + name.replace('"', '""') + '"'


def split_name(name):
    """(schema, table) of a statement name "schema"."table"; schema is None
    for a bare name."""
    if name.startswith('"') and '"."' in name and name.endswith('"'):
        schema, table = name[1:-1].split('"."', 1)
        return schema, table
    if name.startswith('"') and name.endswith('"'):
        return None, name[1:-1]
    return None, name


# Fragments the library writes itself, in exactly this form, for SQL that
# only some databases have; each with the name a message uses.
_TOP = ("select top ", "select top")
_SAMPLE = (" SAMPLE ", "SAMPLE")
_GROUP_BY_TIME = (" group by time (", "group by time")
_TIME_COLUMNS = ("$QZ_", "time-series pseudo-columns")
_MINUS = (" minus ", "minus")
_INTERSECT_ALL = (" intersect all ", "intersect all")
_TABLE_STAR = ('".*', 'a schema-qualified table star ("schema"."table".*)')


class Engine:
    """A database reached through a DB-API 2 connection, spoken to with
    plain SQL only (no parameters, so no paramstyle)."""

    name = "this database"
    missing = (_TOP, _SAMPLE, _GROUP_BY_TIME, _TIME_COLUMNS, _MINUS)
    # How the database reads quotes and comments; a driver unknown here must
    # see one statement under every reading.
    flavors = FLAVORS

    def __init__(self, conn):
        self.conn = conn

    def unsupported(self, statement):
        """What `statement` uses that this database lacks ("" when nothing)."""
        kind = statement.query_type
        if kind == "reference" or kind.startswith("ml_query"):
            return "an ML function call"
        for fragment, feature in self.missing:
            if fragment in statement.sql:
                return feature
        return ""

    def check_statements(self, statements, queries=()):
        """Refuses, before anything runs, a statement (or free query frame in
        `queries`) that is more than one SQL statement: each runs as exactly
        one, whatever the driver does with a ';'."""
        texts = [(q.query, q.output_name, q.nodeid) for q in queries]
        texts += [(s.sql, s.name, s.nodeid) for s in statements]
        for sql, name, nodeid in texts:
            reason = second_statement_reason(sql, self.flavors)
            if reason:
                raise MultipleStatementsError(self.name, name, nodeid, reason)

    def execute(self, sql):
        cursor = self.conn.cursor()
        try:
            cursor.execute(sql)
            if cursor.description is None:
                return None
            return Result([d[0] for d in cursor.description], cursor.fetchall())
        finally:
            cursor.close()

    def begin(self, schemas):
        """Prepares a run writing into `schemas` (a set of names)."""
        for schema in sorted(schemas):
            self.execute("create schema if not exists %s" % quoted(schema))

    def commit(self):
        self.conn.commit()

    def rollback(self):
        rollback = getattr(self.conn, "rollback", None)
        if rollback is not None:
            rollback()

    def kind_of(self, schema, table):
        """"table", "view" or None: what `schema`.`table` is now."""
        where = "table_schema = %s" % (literal(schema) if schema else "current_schema()")
        found = self.execute("select table_type from information_schema.tables where %s and "
                             "table_name = %s" % (where, literal(table)))
        if not found.rows:
            return None
        return "view" if found.rows[0][0] == "VIEW" else "table"

    def drop(self, schema, table):
        kind = self.kind_of(schema, table)
        if kind is not None:
            self.execute("drop %s %s" % (kind, _qualified(schema, table)))

    def create_table(self, schema, table, sql):
        self.execute("create table %s as %s" % (_qualified(schema, table), sql))


class PostgreSQL(Engine):
    name = "PostgreSQL"
    flavors = ("postgresql",)


class SQLite(Engine):
    """SQLite through the sqlite3 module: a schema other than main and temp
    is an attached database of that name, kept in a file beside the main
    database's (schema work of shop.db in shop.work.db, as dfq-run keeps
    it), or in memory when the main database is."""

    name = "SQLite"
    missing = Engine.missing + (_INTERSECT_ALL, _TABLE_STAR)
    flavors = ("sqlite",)

    def begin(self, schemas):
        files = {row[1]: row[2] for row in self.execute("pragma database_list")}
        missing = sorted(schemas - set(files) - {"temp"})
        if missing and self.conn.in_transaction:
            self.conn.commit()  # SQLite attaches only outside a transaction
        for schema in missing:
            self.execute("attach %s as %s" % (literal(_schema_file(files.get("main"), schema)),
                                              quoted(schema)))
        # One transaction for the whole run (the sqlite3 module starts none
        # before "create table"), so a failed statement leaves no tables.
        if not self.conn.in_transaction:
            self.execute("begin")

    # In SQL, so that it also ends the run's transaction when the connection
    # is in autocommit mode, where the module's commit() does nothing.
    def commit(self):
        if self.conn.in_transaction:
            self.execute("commit")

    def rollback(self):
        if self.conn.in_transaction:
            self.execute("rollback")

    def kind_of(self, schema, table):
        schema = schema or "main"
        if schema not in {row[1] for row in self.execute("pragma database_list")}:
            return None
        master = "sqlite_temp_master" if schema == "temp" else quoted(schema) + ".sqlite_master"
        found = self.execute("select type from %s where name = %s" % (master, literal(table)))
        return found.rows[0][0] if found.rows else None


def _schema_file(main, schema):
    if not main:
        return ":memory:"
    folder, name = os.path.split(main)
    return os.path.join(folder, "%s.%s.db" % (os.path.splitext(name)[0], schema))


def _qualified(schema, table):
    return quoted(table) if schema is None else quoted(schema) + "." + quoted(table)


def engine_for(conn):
    """The Engine for a DB-API 2 connection, told by its driver module."""
    module = type(conn).__module__.split(".")[0]
    if module == "sqlite3":
        return SQLite(conn)
    if module in ("psycopg2", "psycopg", "pg8000", "asyncpg", "pgdb"):
        return PostgreSQL(conn)
    if not callable(getattr(conn, "cursor", None)):
        raise TypeError("run() needs a DB-API 2 connection (with cursor()), not %s"
                        % type(conn).__name__)
    return Engine(conn)
