"""Where one SQL statement ends, read the way the engines read it: quoted
texts, quoted names and comments hide their ';', and a ';' outside them
followed by anything but blanks, comments or further ';' starts a second
statement. run() executes each statement as exactly one statement, so a
host text such as "a > 1; drop table t" is refused before anything runs.

The engines' quoting rules ("flavors"):
  sqlite:     '...' (with ''), "..." (""), `...` (``), [...]; -- and /* */
              (not nested; a "/*" that ends the text is a '/').
  postgresql: '...' (with ''), E'...' (also backslash escapes), "...",
              $tag$...$tag$; -- and /* */ (nested).
"""

FLAVORS = ("sqlite", "postgresql")

_BLANKS = " \t\n\r\f\v"


def _is_name_char(c):
    return c.isalnum() or c in "_$" or ord(c) >= 0x80


def _starts_name(c):
    return c.isalpha() or c == "_" or ord(c) >= 0x80


def _past_quoted(s, at, close, backslash):
    i, n = at + 1, len(s)
    while i < n:
        c = s[i]
        if backslash and c == "\\":
            i += 2
            continue
        if c == close:
            if close != "]" and i + 1 < n and s[i + 1] == close:
                i += 2
                continue
            return i + 1
        i += 1
    return n


def _past_block_comment(s, at, nested):
    depth, i, n = 0, at, len(s)
    while i + 1 < n:
        pair = s[i:i + 2]
        if pair == "/*" and (nested or depth == 0):
            depth += 1
            i += 2
        elif pair == "*/":
            depth -= 1
            i += 2
            if depth == 0:
                return i
        else:
            i += 1
    return n


def _dollar_tag_length(s, at):
    """Length of the $tag$ opening at `at`, 0 when none opens there."""
    if at > 0 and _is_name_char(s[at - 1]):
        return 0
    i, n = at + 1, len(s)
    if i < n and _starts_name(s[i]):
        while i < n and _is_name_char(s[i]) and s[i] != "$":
            i += 1
    return i + 1 - at if i < n and s[i] == "$" else 0


def _past_hidden(s, at, flavor):
    """Past the quoted text or comment opening at `at`, or None."""
    pg = flavor == "postgresql"
    c = s[at]
    nxt = s[at + 1] if at + 1 < len(s) else ""
    if c == "'":
        escapes = (pg and at > 0 and s[at - 1] in "eE"
                   and (at < 2 or not _is_name_char(s[at - 2])))
        return _past_quoted(s, at, "'", escapes)
    if c == '"':
        return _past_quoted(s, at, '"', False)
    if c == "-" and nxt == "-":
        end = s.find("\n", at)
        return len(s) if end < 0 else end + 1
    if c == "/" and nxt == "*" and (pg or at + 2 < len(s)):
        return _past_block_comment(s, at, pg)
    if not pg and c == "`":
        return _past_quoted(s, at, "`", False)
    if not pg and c == "[":
        return _past_quoted(s, at, "]", False)
    if pg and c == "$":
        tag = _dollar_tag_length(s, at)
        if not tag:
            return None
        close = s.find(s[at:at + tag], at + tag)
        return len(s) if close < 0 else close + tag
    return None


def statement_end(sql, flavor):
    """Offset of the first ';' outside quotes and comments, or None."""
    i, n = 0, len(sql)
    while i < n:
        if sql[i] == ";":
            return i
        past = _past_hidden(sql, i, flavor)
        i = i + 1 if past is None else past
    return None


def second_statement(sql, flavor):
    """Offset where a second statement starts in `sql` (the first character
    after the first statement's ';' that is neither blank, nor in a comment,
    nor a further ';'), or None when `sql` is one statement."""
    end = statement_end(sql, flavor)
    if end is None:
        return None
    i, n = end + 1, len(sql)
    while i < n:
        c = sql[i]
        if c == ";" or c in _BLANKS:
            i += 1
            continue
        past = _past_hidden(sql, i, flavor) if c in "-/" else None
        if past is None:
            return i
        i = past
    return None


def second_statement_reason(sql, flavors=FLAVORS):
    """Why `sql` is not one statement under every reading in `flavors`
    (None when it is one): where the second statement starts, on one line."""
    for flavor in flavors:
        second = second_statement(sql, flavor)
        if second is not None:
            start = " ".join(sql[second:second + 40].split(None))
            if second + 40 < len(sql):
                start += "..."
            return "a second statement follows the ';' at character %d: %s" % (
                statement_end(sql, flavor) + 1, start)
    return None
