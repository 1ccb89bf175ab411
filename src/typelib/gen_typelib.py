#!/usr/bin/env python3
"""Emits the type library VTFC4Lib from the interfaces compiled into the library.

Usage: gen_typelib.py --preprocessed FILE --requests requests.tsv --listing interfaces.txt
                      --tlb OUT.tlb --inc OUT_DIR

The interfaces are read from the preprocessed public headers (the hand-written ones and those
the catalogue generator made), so the type library describes exactly what is compiled: every
interface deriving from IDispatch, each function in slot order with its dispatch identifier,
invoke kind and parameters; the enumerations; the creatable classes of the listing. Dispatch
identifiers run in slot order from the base interface's next one, a property's get and put
sharing one; the Append<Name>Rq methods take theirs from the request table; the listing's
"next" lines set where the interfaces derived from one continue.

Outputs: the type library text (vtfc4.tlb, installed beside the library, and embedded in it
as typelib_text.inc), the callers of typelib_calls.inc (one per argument shape), the library's
identifier (typelib_libid.inc), and, for the tests, typelib_slots.inc (the ends of every
interface with their slots, to compare with the compiler's).
"""
import argparse
import csv
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from gen_tables import guid_for, guid_initializer, write_if_changed  # noqa: E402

LIBRARY = "VTFC4Lib"
HELP = "vtFC4 1.0 Type Library"
FIRST_SLOT = 7  # after IUnknown's three and IDispatch's four

# C++ parameter types and how they travel: (type word of the library text, argument class).
# The argument class is how the caller passes it: p a pointer, i a 32-bit integer, d a double,
# f a float.
SCALARS = {"BSTR": ("BSTR", "p"), "LONG": ("LONG", "i"), "SHORT": ("SHORT", "i"),
           "VARIANT_BOOL": ("VARIANT_BOOL", "i"), "DATE": ("DATE", "d"), "double": ("double", "d"),
           "float": ("float", "f"), "int32_t": ("LONG", "i")}


class TableError(Exception):
    pass


def parse_params(text, where, enums):
    params = []
    text = " ".join(text.split())
    if not text:
        return params
    for raw in text.split(","):
        m = re.fullmatch(r"\s*([A-Za-z_]\w*)\s*(\**)\s*([A-Za-z_]\w*)\s*", raw)
        if not m:
            raise TableError(f"{where}: cannot read the parameter '{raw.strip()}'")
        ctype, stars, name = m.group(1), len(m.group(2)), m.group(3)
        out = False
        if ctype in SCALARS:
            word, klass = SCALARS[ctype]
            if stars > 1:
                raise TableError(f"{where}: {ctype} behind {stars} pointers")
            out = stars == 1
        elif ctype in enums:
            word, klass = ctype, "i"
            if stars > 1:
                raise TableError(f"{where}: {ctype} behind {stars} pointers")
            out = stars == 1
        elif ctype == "SAFEARRAY":
            if stars != 2:
                raise TableError(f"{where}: a SAFEARRAY goes out behind two pointers")
            word, klass, out = "SAFEARRAY(BSTR)", "p", True
        elif ctype.startswith("I"):
            if stars not in (1, 2):
                raise TableError(f"{where}: {ctype} behind {stars} pointers")
            word, klass, out = ctype + "*", "p", stars == 2
        else:
            raise TableError(f"{where}: {ctype} is no automation type")
        params.append({"name": name, "type": word, "class": "p" if out else klass, "out": out})
    return params


def read_interfaces(text, enums):
    """Every interface deriving from IDispatch, in declaration order, with its functions."""
    bodies = {}
    order = []
    for m in re.finditer(r"struct\s+(I\w+)\s*:\s*public\s+(I\w+)\s*\{(.*?)\};", text, re.S):
        bodies[m.group(1)] = (m.group(2), m.group(3))
        order.append(m.group(1))
    interfaces = {}
    for name in order:
        if name == "IDispatch" or not derives_from_dispatch(name, bodies):
            continue
        base, body = bodies[name]
        functions = []
        for f in re.finditer(r"virtual\s+HRESULT\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;", body):
            functions.append({"cname": f.group(1), "params": parse_params(f.group(2), f"{name}.{f.group(1)}", enums)})
        interfaces[name] = {"base": base, "functions": functions}
    return interfaces, [n for n in order if n in interfaces]


def read_enums(text):
    enums = {}
    for m in re.finditer(r"enum\s+(EN\w+)\s*:\s*int32_t\s*\{(.*?)\};", text, re.S):
        values = []
        for item in m.group(2).split(","):
            item = item.strip()
            if not item:
                continue
            n, _, v = item.partition("=")
            values.append((n.strip(), int(v.strip(), 0)))
        enums[m.group(1)] = values
    return enums


def derives_from_dispatch(name, bodies):
    """True for IDispatch's descendants (bodies: name -> (base, ...) or {"base": ...})."""
    while name in bodies and name != "IDispatch":
        entry = bodies[name]
        name = entry["base"] if isinstance(entry, dict) else entry[0]
    return name == "IDispatch"


def assign(interfaces, order, appends, nexts):
    """Slots, dispatch identifiers and invoke kinds, base interfaces first."""
    done = {}

    def visit(name):
        if name in done:
            return done[name]
        info = interfaces[name]
        base = info["base"]
        slot, dispid = (FIRST_SLOT, 1) if base == "IDispatch" else visit(base)
        properties = {}
        for f in info["functions"]:
            c = f["cname"]
            kind, pname = "method", c
            if c.startswith("get_") or c.startswith("put_"):
                kind, pname = ("propget" if c.startswith("get_") else "propput"), c[4:]
            f["slot"], f["kind"], f["name"] = slot, kind, pname
            slot += 1
            if name == "IMsgSetRequest" and c in appends:
                f["dispid"] = appends[c]
            elif kind != "method" and pname in properties:
                f["dispid"] = properties[pname]
            else:
                f["dispid"] = dispid
            properties[pname] = f["dispid"]
            dispid = max(dispid, f["dispid"] + 1)
            # The last out parameter of a property get or a method is what a late-bound call
            # returns.
            if f["params"] and f["params"][-1]["out"] and kind != "propput":
                f["params"][-1]["retval"] = True
        done[name] = (slot, nexts.get(name, dispid))
        return done[name]

    for name in order:
        if derives_from_dispatch(name, interfaces):
            visit(name)


def write_text(interfaces, order, enums, classes):
    lines = [f"# {LIBRARY}: generated by src/typelib/gen_typelib.py. Do not edit.",
             f"library\t{LIBRARY}\t{{{str(guid_for('LIBID', LIBRARY)).upper()}}}\t1\t0\t{HELP}"]
    for name, values in sorted(enums.items()):
        lines.append(f"enum\t{name}")
        lines += [f"value\t{n}\t{v}" for n, v in values]
    for name in order:
        if not derives_from_dispatch(name, interfaces):
            continue
        info = interfaces[name]
        lines.append(f"interface\t{name}\t{{{str(guid_for('IID', name)).upper()}}}\t{info['base']}")
        for f in info["functions"]:
            lines.append(f"function\t{f['name']}\t{f['dispid']}\t{f['kind']}\t{f['slot']}")
            for p in f["params"]:
                flags = "out,retval" if p.get("retval") else ("out" if p["out"] else "in")
                lines.append(f"param\t{p['name']}\t{p['type']}\t{flags}")
    for c, interface in classes:
        lines.append(f"coclass\t{c}\t{{{str(guid_for('CLSID', c)).upper()}}}\t{interface}")
    return "\n".join(lines) + "\n"


def shapes_of(interfaces, order):
    shapes = set()
    for name in order:
        if derives_from_dispatch(name, interfaces):
            for f in interfaces[name]["functions"]:
                shapes.add("".join(p["class"] for p in f["params"]))
    return sorted(shapes, key=lambda s: (len(s), s))


def gen_calls(shapes):
    ctype = {"p": "void*", "i": "int32_t", "d": "double", "f": "float"}
    field = {"p": "p", "i": "i", "d": "d", "f": "f"}
    out = ["// Generated by src/typelib/gen_typelib.py. Do not edit.\n",
           "// One caller per argument shape (p pointer, i 32-bit integer, d double, f float): the\n",
           "// function `fn` of `self`'s vtable called with `self` and the arguments.\n"]
    for s in shapes:
        types = ", ".join(["void*"] + [ctype[c] for c in s])
        args = ", ".join(["self"] + [f"a[{i}].{field[c]}" for i, c in enumerate(s)])
        out.append(f'{{"{s}", [](void* self, void* fn, const Argument* a) {{ (void)a; '
                   f'return reinterpret_cast<HRESULT (*)({types})>(fn)({args}); }}}},\n')
    return "".join(out)


def gen_slots(interfaces, order):
    # The first and the last function of each interface: slots are read in declaration order,
    # so an interface whose ends stand where the compiler puts them has every function there.
    out = ["// Generated by src/typelib/gen_typelib.py. Do not edit.\n",
           "// The first and last function of every interface of the type library with the slot it\n",
           "// gives them, and the compiler's.\n"]
    for name in order:
        functions = interfaces[name]["functions"]
        for f in {id(x): x for x in (functions[:1] + functions[-1:])}.values():
            out.append(f'{{"{name}", "{f["cname"]}", {f["slot"]}, SlotOf(&{name}::{f["cname"]})}},\n')
    return "".join(out)


def embed(text):
    # Raw string pieces, each below the compilers' literal limit, as the elements of an array
    # (adjacent literals would make one literal again).
    pieces, chunk = [], 16000
    for i in range(0, len(text), chunk):
        pieces.append('R"vtfc4tlb(' + text[i:i + chunk] + ')vtfc4tlb",\n')
    return "// Generated by src/typelib/gen_typelib.py. Do not edit.\n" + "".join(pieces)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--preprocessed", required=True)
    ap.add_argument("--requests", required=True)
    ap.add_argument("--listing", required=True)
    ap.add_argument("--tlb", required=True)
    ap.add_argument("--inc", required=True)
    a = ap.parse_args()
    try:
        with open(a.preprocessed, encoding="utf-8") as f:
            text = f.read()
        enums = read_enums(text)
        interfaces, order = read_interfaces(text, enums)
        with open(a.requests, encoding="utf-8") as f:
            appends = {f"Append{r['request_element']}": int(r["dispid"]) for r in csv.DictReader(f, delimiter="\t")}
        nexts, classes = {}, []
        with open(a.listing, encoding="utf-8") as f:
            for line in f:
                words = line.split("#", 1)[0].split()
                if len(words) == 3 and words[0] == "next":
                    nexts[words[1]] = int(words[2])
                elif len(words) == 3 and words[0] == "class":
                    classes.append((words[1], words[2]))
        assign(interfaces, order, appends, nexts)
        missing = set(appends) - {f["cname"] for f in interfaces.get("IMsgSetRequest", {"functions": []})["functions"]}
        if missing:
            raise TableError(f"IMsgSetRequest lacks {sorted(missing)[0]}")
        tlb = write_text(interfaces, order, enums, classes)
        os.makedirs(os.path.dirname(os.path.abspath(a.tlb)), exist_ok=True)
        write_if_changed(a.tlb, tlb)
        os.makedirs(a.inc, exist_ok=True)
        write_if_changed(os.path.join(a.inc, "typelib_text.inc"), embed(tlb))
        write_if_changed(os.path.join(a.inc, "typelib_calls.inc"), gen_calls(shapes_of(interfaces, order)))
        write_if_changed(os.path.join(a.inc, "typelib_slots.inc"), gen_slots(interfaces, order))
        write_if_changed(os.path.join(a.inc, "typelib_libid.inc"),
                         "// Generated by src/typelib/gen_typelib.py. Do not edit.\n" +
                         guid_initializer(guid_for("LIBID", LIBRARY)) + "\n")
    except (TableError, OSError, KeyError, ValueError) as e:
        sys.exit(f"gen_typelib.py: {e}")


if __name__ == "__main__":
    main()
