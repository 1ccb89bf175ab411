#!/usr/bin/env python3
"""The catalogue generator: a tiny table in, the expected text out; bad tables refused."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "..", "src", "catalogue", "generate.py")
GOLDEN = os.path.join(HERE, "golden")
INPUTS = ("enums.tsv", "enum_classes.tsv", "other_enums.tsv", "object_types.tsv", "message_types.tsv")


CATALOGUE_INPUTS = (("--catalogue", "catalogue.txt"), ("--tags", "tags.tsv"),
                    ("--object-types", "object_types.tsv"), ("--enums", "enums.tsv"),
                    ("--kinds", "enum_classes.tsv"), ("--other", "other_enums.tsv"),
                    ("--requests", "requests.tsv"), ("--details", "detail_factory.tsv"))


def run(input_dir, out_dir):
    """Both generator steps over one input folder; the first failure is returned."""
    args = [sys.executable, GENERATOR, "enums"]
    for flag, name in zip(("--enums", "--kinds", "--other", "--object-types", "--message-types"), INPUTS):
        args += [flag, os.path.join(input_dir, name)]
    result = subprocess.run(args + ["--out", out_dir], capture_output=True, text=True)
    if result.returncode != 0:
        return result
    args = [sys.executable, GENERATOR, "catalogue"]
    for flag, name in CATALOGUE_INPUTS:
        args += [flag, os.path.join(input_dir, name)]
    return subprocess.run(args + ["--out", out_dir], capture_output=True, text=True)


class Golden(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_outputs_equal_the_golden_files(self):
        result = run(os.path.join(GOLDEN, "input"), self.tmp)
        self.assertEqual(result.returncode, 0, result.stderr)
        expected_dir = os.path.join(GOLDEN, "expected")
        self.assertEqual(sorted(os.listdir(self.tmp)), sorted(os.listdir(expected_dir)))
        for name in os.listdir(expected_dir):
            with open(os.path.join(expected_dir, name)) as e, open(os.path.join(self.tmp, name)) as g:
                self.assertEqual(g.read(), e.read(), name)

    def test_unchanged_outputs_are_not_rewritten(self):
        self.assertEqual(run(os.path.join(GOLDEN, "input"), self.tmp).returncode, 0)
        path = os.path.join(self.tmp, "enums.h")
        os.utime(path, (1, 1))
        self.assertEqual(run(os.path.join(GOLDEN, "input"), self.tmp).returncode, 0)
        self.assertEqual(os.stat(path).st_mtime, 1)

    def refused(self, table, text, message):
        inputs = tempfile.mkdtemp(dir=self.tmp)
        shutil.copytree(os.path.join(GOLDEN, "input"), inputs, dirs_exist_ok=True)
        with open(os.path.join(inputs, table), "w") as f:
            f.write(text)
        result = run(inputs, os.path.join(inputs, "out"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(message, result.stderr)

    def test_bad_tables_are_refused(self):
        head = "enum\tprefix\tvalue\tconstant\tword\n"
        self.refused("enums.tsv", head + "ENColor\tc\t0\tcBlue\tRed\n",
                     "constant cBlue is not the prefix c and the word Red")
        self.refused("enums.tsv", head + "ENColor\tc\t1\tcRed\tRed\n", "value 1 out of order")
        self.refused("enum_classes.tsv", "enum\tvalue_class\tlist_class\nENColor\tyes\tyes\n"
                     "ENShape\tyes\tyes\n", "ENShape: list class yes but object type ENShapeList does not exist")
        self.refused("enum_classes.tsv", "enum\tvalue_class\tlist_class\nENColor\tyes\tyes\n",
                     "no row for ENShape")

    def test_bad_catalogues_are_refused(self):
        self.refused("catalogue.txt", "class Gadget plain\n  Name value string\n",
                     "class Gadget is not in the object type list")
        self.refused("catalogue.txt", "class Widget plain\n  Colour value string\n",
                     "Colour is not in the tag table")
        self.refused("catalogue.txt", "class Widget plain\n  Name agg Nothing\n", "unknown class Nothing")
        self.refused("catalogue.txt", "class Widget plain\n  Name value ENShape\n",
                     "ENShape has no value class")
        self.refused("catalogue.txt", "class Widget plain\n  Name value string\n  Name value int\n",
                     "member listed twice")
        self.refused("catalogue.txt", "class Widget plain\n  Name value string len=x\n", "bad number in len=x")
        self.refused("requests.tsv", "dispid\tname\trequest_element\tavailability_class\tmin_version\t"
                     "country_condition\n7\tWidgetQuery\tWidgetQueryRq\tC\t2.0\tsomewhere\n",
                     "unknown country condition somewhere")
        self.refused("requests.tsv", "dispid\tname\trequest_element\tavailability_class\tmin_version\t"
                     "country_condition\n7\tGadgetQuery\tWidgetQueryRq\tC\t2.0\tany\n",
                     "the request kind GadgetQuery has no class in the catalogue")


if __name__ == "__main__":
    unittest.main()
