"""Cost per operation of the binding: a chain of N filters built through
dfq.Frame.filter, against the same N library calls made directly through
ctypes with arrays prepared once.

    DFQ_LIBRARY=build/release/libdfq.so python3 python/bench_binding.py [N] [repeats]

Prints the best of `repeats` runs (processor time, so that other work on
the machine counts less), per operation, for the binding and for the
bare library call, and the binding's own share (their difference)."""

import ctypes
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dfq  # noqa: E402
from dfq import _native  # noqa: E402


def binding_chain(n):
    with dfq.Dag(schema="work") as dag:
        frame = dag.table("t")
        start = time.process_time()
        for i in range(n):
            frame = frame.filter("a > %d" % i)
        return time.process_time() - start


def library_chain(n):
    """The same chain through the C entry, called as the binding calls it,
    with every argument but the node ids made once: the library's own cost
    and that of one foreign call."""
    with dfq.Dag(schema="work") as dag:
        call = dag._fn["dfq_filter"]
        node = dag.table("t")._node
        op, condition = _native.texts([b"filter"]), _native.texts([b"a > 0"])
        table, schema = _native.texts([b"f"]), _native.texts([b"work"])
        rc = ctypes.c_int()
        start = time.process_time()
        for _ in range(n):
            out = _native.NodeId.of()
            call(ctypes.byref(node), op, condition, table, schema, ctypes.byref(out),
                 ctypes.byref(rc))
            node = out
        elapsed = time.process_time() - start
        if rc.value:
            raise RuntimeError("dfq_filter failed with %d" % rc.value)
        return elapsed


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    binding = min(binding_chain(n) for _ in range(repeats)) / n
    library = min(library_chain(n) for _ in range(repeats)) / n
    print("chain of %d filters, best of %d" % (n, repeats))
    print("binding:       %6.2f us per operation" % (binding * 1e6))
    print("library call:  %6.2f us per operation" % (library * 1e6))
    print("binding share: %6.2f us per operation" % ((binding - library) * 1e6))


if __name__ == "__main__":
    main()
