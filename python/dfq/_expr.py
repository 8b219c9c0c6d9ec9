"""Expressions that each database spells its own way (date literals, date
arithmetic, parts of a date, substring, concatenation, casts), written for
one dialect. The library takes expressions as text; these helpers only
write that text, so that one pipeline reads the same on every dialect:

    e = dag.expr
    recent = orders.filter("o_date >= %s" % e.add_months(e.date("1995-03-15"), -3))
    yearly = recent.assign("%s as o_year" % e.year("o_date"))

Arguments named `expr` are SQL expressions (a column name, or the text
another helper returned); a `datetime.date` stands for its literal.
"""

import datetime
import re

DIALECTS = ("default", "postgresql", "sqlite")

# Portable type names of cast(), and how each dialect writes them.
_TYPES = {
    "integer": {"default": "integer", "postgresql": "integer", "sqlite": "integer"},
    "bigint": {"default": "bigint", "postgresql": "bigint", "sqlite": "integer"},
    "real": {"default": "double precision", "postgresql": "double precision", "sqlite": "real"},
    "text": {"default": "varchar(32000)", "postgresql": "text", "sqlite": "text"},
    "date": {"default": "date", "postgresql": "date", "sqlite": None},
}
_DECIMAL = re.compile(r"^\s*(?:decimal|numeric)\s*\(\s*(\d+)\s*(?:,\s*(\d+)\s*)?\)\s*$", re.I)
_PARTS = {"year": "%Y", "month": "%m", "day": "%d"}


_SIMPLE = re.compile(r"[\w.]+|\"[^\"]*\"|'[^']*'|date '[^']*'|[\w.]+\(.*\)", re.I | re.S)


def _operand(expr):
    """`expr` as an operand of an operator: in parentheses unless it is one
    name, literal or function call (the databases rank operators
    differently)."""
    if _SIMPLE.fullmatch(expr) and (not expr.endswith(")") or _one_call(expr)):
        return expr
    return "(%s)" % expr


def _one_call(expr):
    """Whether the first "(" of `expr` closes at its end (quotes aside)."""
    depth, quote = 0, None
    for i, c in enumerate(expr):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return i == len(expr) - 1
    return False


def _count(n, what):
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError("%s must be an int, not %s" % (what, type(n).__name__))
    return n


class Expressions:
    """The expression helpers for `dialect` ("default", "postgresql" or
    "sqlite"); `Dag.expr` gives the ones of a Dag's dialect. Each returns
    SQL text."""

    def __init__(self, dialect="default"):
        if not isinstance(dialect, str) or dialect.lower() not in DIALECTS:
            raise ValueError("unknown dialect %r: one of %s" % (dialect, ", ".join(DIALECTS)))
        self.dialect = dialect.lower()

    def __repr__(self):
        return "Expressions(%r)" % self.dialect

    def _expr(self, expr):
        if isinstance(expr, datetime.date) and not isinstance(expr, datetime.datetime):
            return self.date(expr)
        if not isinstance(expr, str) or not expr.strip():
            raise TypeError("an expression must be a non-empty str (or a datetime.date), not %r"
                            % (expr,))
        return expr

    # ---- dates --------------------------------------------------------------

    def date(self, value):
        """The literal of a date, given as "YYYY-MM-DD" or a datetime.date
        (in sqlite, the ISO text that its date functions read)."""
        if isinstance(value, datetime.datetime) or not isinstance(value, (str, datetime.date)):
            raise TypeError("a date is a \"YYYY-MM-DD\" str or a datetime.date, not %r" % (value,))
        if isinstance(value, str):
            if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", value):
                raise ValueError("invalid date %r: write it as YYYY-MM-DD" % value)
            try:
                value = datetime.date.fromisoformat(value)
            except ValueError as e:
                raise ValueError("invalid date %r: %s" % (value, e)) from None
        text = "'%s'" % value.isoformat()
        return text if self.dialect == "sqlite" else "date " + text

    def add_days(self, expr, days):
        """The date `days` whole days after `expr` (before it when negative)."""
        return self._add(expr, _count(days, "days"), "day")

    def add_months(self, expr, months):
        """The date `months` whole months after `expr` (before it when
        negative); a day past the end of the month it lands in becomes that
        month's last day (January 31 plus one month is February's last)."""
        return self._add(expr, _count(months, "months"), "month")

    def add_years(self, expr, years):
        """The date `years` whole years after `expr` (before it when
        negative); February 29 becomes February 28 in a year without one."""
        return self._add(expr, _count(years, "years"), "year")

    def _add(self, expr, n, unit):
        expr = self._expr(expr)
        if self.dialect != "sqlite":
            expr = _operand(expr)
        if self.dialect == "default":
            return "(%s %s interval '%d' %s)" % (expr, "-" if n < 0 else "+", abs(n), unit)
        if self.dialect == "postgresql":
            return "cast(%s + interval '%d %ss' as date)" % (expr, n, unit)
        if unit == "day":
            return "date(%s, '%+d days')" % (expr, n)
        # SQLite carries a day past the end of the month into the next
        # month; the other databases stop at the month's last day, which is
        # the first of the month after next, less a day.
        months = n * 12 if unit == "year" else n
        return ("min(date(%s, '%+d months'), date(%s, 'start of month', '%+d months', "
                "'-1 day'))" % (expr, months, expr, months + 1))

    def year(self, expr):
        """The year of a date, as an integer."""
        return self._part(expr, "year")

    def month(self, expr):
        """The month of a date (1 to 12), as an integer."""
        return self._part(expr, "month")

    def day(self, expr):
        """The day of the month of a date (1 to 31), as an integer."""
        return self._part(expr, "day")

    def _part(self, expr, part):
        expr = self._expr(expr)
        if self.dialect == "sqlite":
            return "cast(strftime('%s', %s) as integer)" % (_PARTS[part], expr)
        if self.dialect == "postgresql":
            return "cast(extract(%s from %s) as integer)" % (part, expr)
        return "extract(%s from %s)" % (part, expr)

    # ---- strings ------------------------------------------------------------

    def substring(self, expr, start, length=None):
        """`length` characters of a string from position `start` (the first
        is 1); without `length`, the rest of the string."""
        expr = self._expr(expr)
        if _count(start, "start") < 1:
            raise ValueError("start must be 1 or more (the first character is 1), not %d"
                             % start)
        if length is not None and _count(length, "length") < 0:
            raise ValueError("length must be 0 or more, not %d" % length)
        if self.dialect == "sqlite":
            return "substr(%s)" % ", ".join([expr, str(start)] +
                                            ([] if length is None else [str(length)]))
        return "substring(%s from %d%s)" % (expr, start,
                                            "" if length is None else " for %d" % length)

    def concat(self, *exprs):
        """The values one after the other as one string (null when any is
        null). PostgreSQL converts each to text first, as SQLite does."""
        if not exprs:
            raise TypeError("concat needs at least one expression")
        parts = [self._expr(e) for e in exprs]
        if self.dialect == "postgresql":
            parts = ["cast(%s as text)" % p for p in parts]
        return "(%s)" % " || ".join(map(_operand, parts))

    # ---- conversion ---------------------------------------------------------

    def cast(self, expr, type):
        """`expr` converted to a portable type: "integer", "bigint", "real"
        (double precision), "text", "date" (from "YYYY-MM-DD" text) or
        "decimal(p, s)" (SQLite has no decimal type: a real rounded to s
        places). A value with a fraction cast to an integer is rounded by
        some databases and cut by others: round() it first."""
        expr = self._expr(expr)
        if not isinstance(type, str):
            raise TypeError("type must be a str, not %s" % (type.__class__.__name__))
        decimal = _DECIMAL.match(type)
        if decimal:
            precision, scale = int(decimal.group(1)), int(decimal.group(2) or 0)
            if not 0 < precision or scale > precision:
                raise ValueError("invalid type %r: decimal(p, s) needs 0 < p and s <= p" % type)
            if self.dialect == "sqlite":
                return "round(cast(%s as real), %d)" % (expr, scale)
            return "cast(%s as %s(%d, %d))" % (
                expr, "numeric" if self.dialect == "postgresql" else "decimal", precision, scale)
        names = _TYPES.get(type.strip().lower())
        if names is None:
            raise ValueError("unknown type %r: one of %s, decimal(p, s)"
                             % (type, ", ".join(_TYPES)))
        if names[self.dialect] is None:  # a date in SQLite is its ISO text
            return "date(%s)" % expr
        return "cast(%s as %s)" % (expr, names[self.dialect])
