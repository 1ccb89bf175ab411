#!/usr/bin/env python3
"""Checks that vtfc4's JSON of an answer says what the answer's XML says.

usage: json_matches.py ANSWER.xml ANSWER.json

Every response's status attributes, and every element below it, must be in the JSON, in the
document's order, with the same value: numbers equal as numbers, booleans as true/false, the rest
as the same text. A JSON key that starts with "OR" and holds a list stands for the choices its
entries made (each entry an object of one member), as the document writes them in a row.
"""
import json
import sys
import xml.etree.ElementTree as ET


def same(text, value):
    if isinstance(value, bool):
        return text == ("true" if value else "false")
    if isinstance(value, (int, float)):
        return float(text) == float(value)
    return text == value


def members(node):
    """The JSON object's members as (element, value) pairs in order, choices expanded."""
    out = []
    for key, value in node.items():
        if key.startswith("OR") and isinstance(value, list):
            for entry in value:
                ((chosen, inner),) = entry.items()
                out.append((chosen, inner))
        elif isinstance(value, list) and (not value or not isinstance(value[0], list)):
            out.extend((key, v) for v in value)
        else:
            out.append((key, value))
    return out


def match(element, value, path):
    children = list(element)
    attributes = dict(element.attrib)
    if not children and not attributes:
        if not same(element.text or "", value):
            raise AssertionError(f"{path}: {element.text!r} against {value!r}")
        return
    if not isinstance(value, dict):
        raise AssertionError(f"{path}: an element with members against {value!r}")
    pairs = members(value)
    # Attributes of a record (colID, rowNumber...) are members like the elements.
    for name, text in attributes.items():
        found = [v for k, v in pairs if k == name]
        if len(found) != 1 or not same(text, found[0]):
            raise AssertionError(f"{path}/@{name}: {text!r} against {found!r}")
    elements = [(k, v) for k, v in pairs if k not in attributes]
    if element.text and element.text.strip():
        elements = [(k, v) for k, v in elements if k != "value"]
        if not same(element.text.strip(), value.get("value")):
            raise AssertionError(f"{path}: text {element.text!r} against {value.get('value')!r}")
    if [c.tag for c in children] != [k for k, _ in elements]:
        raise AssertionError(f"{path}: elements {[c.tag for c in children]} against {[k for k, _ in elements]}")
    for child, (key, inner) in zip(children, elements):
        match(child, inner, f"{path}/{key}")


def main():
    root = ET.parse(sys.argv[1]).getroot()
    with open(sys.argv[2], encoding="utf-8") as f:
        answer = json.load(f)
    responses = list(root.find("VTXMLMsgsRs"))
    if len(responses) != len(answer["responses"]):
        raise AssertionError("not as many responses")
    for element, response in zip(responses, answer["responses"]):
        if list(response)[:3] != ["statusCode", "statusSeverity", "statusMessage"]:
            raise AssertionError(f"the statuses are not first: {list(response)}")
        for name in ("statusCode", "statusSeverity", "statusMessage"):
            if not same(element.get(name), response[name]):
                raise AssertionError(f"{element.tag}/@{name}")
        if response["type"] != element.tag:
            raise AssertionError(f"type {response['type']} of {element.tag}")
        detail = {k: v for k, v in response.items()
                  if k not in ("statusCode", "statusSeverity", "statusMessage", "type", "retCount")}
        elements = [(k, v) for k, v in members(detail)]
        if [c.tag for c in element] != [k for k, _ in elements]:
            raise AssertionError(f"{element.tag}: {[c.tag for c in element]} against {[k for k, _ in elements]}")
        for child, (key, inner) in zip(element, elements):
            match(child, inner, f"{element.tag}/{key}")
    print(f"{len(responses)} responses match")


if __name__ == "__main__":
    main()
