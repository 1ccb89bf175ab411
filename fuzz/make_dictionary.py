#!/usr/bin/env python3
"""Writes the libFuzzer dictionary of the vtXML targets: every element and attribute name of
the tag table (src/xml/tags.tsv) as an opening tag, a closing tag and an attribute, and the
prolog pieces a vtXML document starts with.

Usage: make_dictionary.py TAGS_TSV OUTPUT
"""
import sys

PROLOG = [
    '<?xml version="1.0" ?>',
    '<?vtxml version="4.0"?>',
    '<?vtxml version="CA3.0"?>',
    "<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VTD 1.0//EN' 'http://developer.korven.example/'>",
    '<!DOCTYPE VTXML [',
    '<!ENTITY',
    '&amp;',
    '&#x',
    '<![CDATA[',
    ']]>',
    '/>',
    '="',
]


def quoted(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


def main():
    tags_path, out_path = sys.argv[1], sys.argv[2]
    names = []
    with open(tags_path, encoding='utf-8') as tags:
        next(tags)  # the header: id, name
        for line in tags:
            fields = line.rstrip('\n').split('\t')
            if len(fields) >= 2 and fields[1] and fields[1] != "LastTagEntry":
                names.append(fields[1])
    entries = list(PROLOG)
    for name in names:
        entries += ['<' + name + '>', '</' + name + '>', ' ' + name + '="']
    with open(out_path, 'w', encoding='utf-8') as out:
        for entry in entries:
            out.write(quoted(entry) + '\n')


if __name__ == '__main__':
    main()
