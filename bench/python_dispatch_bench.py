#!/usr/bin/env python3
"""Late binding's cost from Python: reading a property of a request object through the vtfc4
package against the same read through IDispatch::Invoke in C++ (bench/dispatch_bench.cpp).

    PYTHONPATH=build/python python3 bench/python_dispatch_bench.py [--cxx build/bench/dispatch_bench]

Prints the calls per second of each Python read; with --cxx, also runs the C++ benchmark and
prints its figures beside them and how many times the C++ Invoke's time each Python read takes.
The session manager is created by its ProgID: with VTFC4_REGISTRY set, from that registry file
(where the library must be registered); without it, the library is registered in a scratch one
by the vtfc4-regsvr beside it, as the build tree lays them out. Nothing is asserted: these are
figures to read, not limits.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit


def python_reads(seconds):
    import vtfc4

    manager = vtfc4.Dispatch("VTFC4.VTSessionManager")
    request = manager.CreateMsgSetRequest("US", 4, 0)
    customer = request.AppendCustomerAddRq()
    attributes = request.Attributes
    attributes.OnError = vtfc4.constants.roeContinue
    cases = {
        # The C++ benchmark's read: a member object, handed out as a new late-bound object.
        "ICustomerAdd.Name (object)": lambda: customer.Name,
        # A number: no object to wrap.
        "IAttributesRqSet.OnError (int)": lambda: attributes.OnError,
    }
    figures = {}
    for name, read in cases.items():
        number = 1000
        while True:  # as many reads as fill a tenth of the time asked for, then the best of five
            elapsed = timeit.timeit(read, number=number)
            if elapsed > seconds / 10:
                break
            number *= 4
        best = min(timeit.repeat(read, number=number, repeat=5))
        figures[name] = number / best
    return figures


def cxx_reads(program):
    done = subprocess.run([program, "--benchmark_format=json"], capture_output=True, text=True, check=True)
    out = {}
    for b in json.loads(done.stdout)["benchmarks"]:
        seconds = b["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        out[b["name"]] = 1.0 / seconds
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cxx", help="the C++ dispatch_bench program, run for its figures")
    parser.add_argument("--seconds", type=float, default=1.0, help="about how long each Python case runs")
    args = parser.parse_args()
    if "VTFC4_REGISTRY" not in os.environ:
        scratch = tempfile.mkdtemp(prefix="vtfc4-bench-")
        os.environ["VTFC4_REGISTRY"] = os.path.join(scratch, "registry")
        import vtfc4
        library = vtfc4._native.library_path()
        regsvr = os.path.join(os.path.dirname(library), "vtfc4-regsvr")
        subprocess.run([regsvr, library], check=True, capture_output=True)
    python = python_reads(args.seconds)
    cxx = cxx_reads(args.cxx) if args.cxx else {}
    invoke = cxx.get("BM_InvokePropertyGet")
    for name, rate in python.items():
        line = "Python  %-34s %12.0f calls/s" % (name, rate)
        if invoke:
            line += "   (%.1fx the time of C++ Invoke)" % (invoke / rate)
        print(line)
    for name, rate in cxx.items():
        print("C++     %-34s %12.0f calls/s" % (name, rate))


if __name__ == "__main__":
    sys.exit(main())
