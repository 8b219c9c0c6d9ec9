"""The C library through ctypes: finding and loading libdfq, the argument
shapes of its functions, and writable `char **` arrays."""

import ctypes
import ctypes.util
import os
import threading

# Every call sequence into the library (a call and its error message; count,
# sizes and fetch of a statement list) runs under this lock, so threads of
# one process never interleave their sequences. Re-entrant: a sequence may
# be made of smaller ones.
LOCK = threading.RLock()

NODEID_SIZE = 21
SHORT_TEXT = 64
MIN_BUFFER = 4096

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
# Functions of newer libraries; an older library simply lacks them.
_OPTIONAL_SIGNATURES = {"dfq_set_option": "ssi", "dfq_get_option": "ssii",
                        "dfq_topn": "sssisssi"}

# Names of the library inside the package directory (an installed package
# may carry its library).
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_BUNDLED_NAMES = ("libdfq.so.1", "libdfq.so")

_loaded = {}


def library_path(path=None):
    """Where the library is taken from: `path`, else the environment
    variable DFQ_LIBRARY, else a libdfq.so.1 (or libdfq.so) next to this
    package, else the system's library search path."""
    if path:
        return path
    if os.environ.get("DFQ_LIBRARY"):
        return os.environ["DFQ_LIBRARY"]
    for name in _BUNDLED_NAMES:
        candidate = os.path.join(_PACKAGE_DIR, name)
        if os.path.exists(candidate):
            return candidate
    return ctypes.util.find_library("dfq") or "libdfq.so.1"


def load_library(path=None):
    """Loads libdfq (see `library_path`); a library is loaded once per process."""
    path = library_path(path)
    with LOCK:
        if path in _loaded:
            return _loaded[path]
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            raise OSError("libdfq not found (%s): set DFQ_LIBRARY to the path of libdfq.so, "
                          "put libdfq.so.1 next to the dfq package, or install it on the "
                          "library search path" % e) from None
        for name, shape in list(_SIGNATURES.items()) + list(_OPTIONAL_SIGNATURES.items()):
            try:
                fn = getattr(lib, name)
            except AttributeError:
                if name in _OPTIONAL_SIGNATURES:
                    continue
                raise OSError("%s is not a usable libdfq: %s is missing" % (path, name)) from None
            fn.restype = None
            fn.argtypes = [_CharPP if c == "s" else _IntP for c in shape]
        lib.log_set_quiet.argtypes = [ctypes.c_int]
        lib.log_set_quiet.restype = None
        _loaded[path] = lib
        return lib


class Strings:
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


_entries = {}


def entries(lib):
    """The library's functions as the binding calls them: the same symbols
    without argument conversion (only arrays and `byref` values made by this
    module are passed), which halves the cost of a call. `lib`'s own
    function objects keep their argument checks for other callers. A
    library object that cannot be indexed by name is used as it is."""
    with LOCK:
        found = _entries.get(id(lib))
        if found is not None and found[0] is lib:
            return found[1]
        table = {}
        for name in list(_SIGNATURES) + list(_OPTIONAL_SIGNATURES):
            if getattr(lib, name, None) is None:
                continue  # missing from this library
            try:
                fn = lib[name]
                fn.restype = None
            except (TypeError, AttributeError, KeyError):
                fn = getattr(lib, name)
            table[name] = fn
        _entries[id(lib)] = (lib, table)
        return table


# Array types of `texts`, by the number of values.
_TEXT_ARRAYS = [ctypes.c_char_p * (n + 1) for n in range(8)]


def texts(values):
    """A read-only `char **` array (null-terminated) of the encoded `values`;
    the array keeps the bytes alive. For inputs only: the library never
    writes them."""
    n = len(values)
    kind = _TEXT_ARRAYS[n] if n < len(_TEXT_ARRAYS) else ctypes.c_char_p * (n + 1)
    return kind(*values)


class NodeId(ctypes.Structure):
    """A node id in one block: a `char **` array of one string (and its
    terminating null) followed by the string's 21 bytes. Passed by
    reference, it is the output of the call that adds a node (prefilled with
    "0": some entries require a non-empty output) and then the input node id
    of later calls, without building anything again."""

    _fields_ = [("first", ctypes.c_void_p), ("end", ctypes.c_void_p),
                ("text", ctypes.c_char * NODEID_SIZE)]

    @classmethod
    def of(cls, text=b"0"):
        """A node id holding `text` (bytes), "0" for an output."""
        if len(text) >= NODEID_SIZE:
            raise ValueError("invalid node id %r: more than %d digits"
                             % (text.decode(errors="replace"), NODEID_SIZE - 1))
        node = cls()
        node.first = ctypes.addressof(node) + _TEXT_OFFSET
        node.text = text
        return node

    @property
    def value(self):
        return self.text.decode()


_TEXT_OFFSET = NodeId.text.offset


def c_int(value=0):
    return ctypes.c_int(value)


def c_ints(count):
    return (ctypes.c_int * count)()
