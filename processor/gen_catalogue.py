#!/usr/bin/env python3
"""Emits the sandbox's view of the catalogue: every aggregate class with its shape and members.

Usage: gen_catalogue.py CATALOGUE_TXT OUTPUT_INC [ENUMS_TSV]

The sandbox needs only what decides how a record is read, merged and written back: element
names, their order, kind and type, whether a member is required, the vtXML versions that
carry it, the lists a reference names (of=) and the members that make a record's name where it
has no Name (name). Classes are emitted sorted by name so the engine can look them up by
binary search.

The sandbox takes one choice the library's catalogue does not name: a subscription's callback
may be a URL (HTTPCallbackInfo) in place of a class (COMCallbackInfo). The library's object
model names only the class, so the choice is added here, to the sandbox's view alone.
"""
import sys

SHAPES = {"plain": "Shape::Plain", "or": "Shape::Or", "group": "Shape::Group"}
KINDS = {"value": "Kind::Value", "attr": "Kind::Attr", "agg": "Kind::Agg",
         "vlist": "Kind::VList", "alist": "Kind::AList"}


def version_number(text, where):
    major, dot, minor = text.partition(".")
    if not dot or not major.isdigit() or not minor.isdigit():
        sys.exit(f"{where}: bad version '{text}'")
    return int(major) * 100 + int(minor)


def read(path):
    classes, current = {}, None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].rstrip()
            where = f"{path}:{number}"
            if not line.strip():
                continue
            fields = line.split()
            if not line[0].isspace():
                if len(fields) < 3 or fields[0] != "class" or fields[2] not in SHAPES or \
                        not set(fields[3:]) <= {"untyped", "response"}:
                    sys.exit(f"{where}: expected 'class <Name> <plain|or|group> [untyped] [response]'")
                if fields[1] in classes:
                    sys.exit(f"{where}: class {fields[1]} given twice")
                current = classes[fields[1]] = {"shape": fields[2], "members": []}
                continue
            if current is None or len(fields) < 3 or fields[1] not in KINDS:
                sys.exit(f"{where}: expected '<Element> <kind> <type> [flags]' inside a class")
            member = {"element": fields[0], "kind": fields[1], "type": fields[2],
                      "req": False, "from": 0, "until": 0, "of": "", "name": False, "macro": False,
                      "country": "Edition::Any"}
            for flag in fields[3:]:
                if flag == "req":
                    member["req"] = True
                elif flag.startswith("from="):
                    member["from"] = version_number(flag[5:], where)
                elif flag.startswith("until="):
                    member["until"] = version_number(flag[6:], where)
                elif flag.startswith("of="):
                    member["of"] = flag[3:]
                elif flag == "name":
                    member["name"] = True
                elif flag == "macro":
                    member["macro"] = True
                elif flag in ("country=CA", "country=notCA"):
                    member["country"] = "Edition::CA" if flag == "country=CA" else "Edition::NotCA"
            current["members"].append(member)
    for name, cls in classes.items():
        for m in cls["members"]:
            if m["kind"] in ("agg", "alist") and m["type"] != "VTBaseRef" and m["type"] not in classes:
                sys.exit(f"{path}: {name}.{m['element']} names unknown class {m['type']}")
    return classes


def member(element, kind, type_, req=False):
    return {"element": element, "kind": kind, "type": type_, "req": req, "from": 0, "until": 0, "of": "",
            "name": False, "macro": False, "country": "Edition::Any"}


def add_url_callbacks(classes):
    """Every subscription Add and Ret takes its callback as a choice of a class or a URL."""
    if "ORCOMHTTPCallbackInfo" in classes:
        return  # the catalogue names the choice itself
    classes["HTTPCallbackInfo"] = {"shape": "plain", "members": [
        member("AppName", "value", "string", req=True), member("URL", "value", "string", req=True)]}
    classes["ORCOMHTTPCallbackInfo"] = {"shape": "or", "members": [
        member("COMCallbackInfo", "agg", "COMCallbackInfo"), member("HTTPCallbackInfo", "agg", "HTTPCallbackInfo")]}
    replaced = 0
    for name, cls in classes.items():
        if not name.endswith(("SubscriptionAdd", "SubscriptionRet")):
            continue
        for i, m in enumerate(cls["members"]):
            if m["element"] == "COMCallbackInfo":
                cls["members"][i] = member("ORCOMHTTPCallbackInfo", "agg", "ORCOMHTTPCallbackInfo", req=m["req"])
                replaced += 1
    if "COMCallbackInfo" in classes and not replaced:
        sys.exit("no subscription Add or Ret names COMCallbackInfo: the URL callback has no place")


def read_enums(path):
    """The words of every enumeration, from the word tables (enums.tsv)."""
    words = {}
    with open(path, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            words.setdefault(row["enum"], []).append(row["word"])
    return words


def emit(classes, out_path, enums=None):
    lines = ["// Generated by processor/gen_catalogue.py from src/catalogue/catalogue.txt; do not edit.",
             "inline constexpr Member kMembers[] = {"]
    rows, offset = [], 0
    for name in sorted(classes):
        cls = classes[name]
        for m in cls["members"]:
            lines.append(f'  {{"{m["element"]}", {KINDS[m["kind"]]}, "{m["type"]}", '
                         f'{"true" if m["req"] else "false"}, {m["from"]}, {m["until"]}, '
                         f'"{m["of"]}", {"true" if m["name"] else "false"}, {m["country"]}, '
                         f'{"true" if m["macro"] else "false"}}},')
        rows.append(f'  {{"{name}", {SHAPES[cls["shape"]]}, {offset}, {len(cls["members"])}}},')
        offset += len(cls["members"])
    lines += ["};", "inline constexpr ClassRow kClassRows[] = {"] + rows + ["};"]
    used = sorted({m["type"] for c in classes.values() for m in c["members"] if m["type"].startswith("EN")})
    lines.append("inline constexpr EnumWords kEnumWords[] = {")
    for name in used:
        words = (enums or {}).get(name)
        if words is None:
            if enums is not None:
                sys.exit(f"the enumeration {name} has no word table")
            continue
        lines.append(f'  {{"{name}", "{"|".join(words)}"}},')
    lines += ["};", ""]
    with open(out_path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    catalogue = read(sys.argv[1])
    add_url_callbacks(catalogue)
    emit(catalogue, sys.argv[2], read_enums(sys.argv[3]) if len(sys.argv) == 4 else None)
