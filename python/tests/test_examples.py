"""The Python examples (examples/python/), each run as a user runs it on a new company file,
with the figures the C++ examples print for the same work."""
import os
import re
import subprocess
import sys

import pytest

EXAMPLES = os.environ.get("VTFC4_TEST_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples",
                                                              "python"))


def run(script, *args):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("scripts, expected", [
    ((("customers.py", "Ames Trading"), ("customers.py", "Baker & Sons")), [
        r"^Added Baker & Sons as [0-9A-F]+-\d+$",
        r"^Ames Trading +555-0100 +12 Quai Est, Lyon$",
        r"^Baker & Sons +555-0100 +12 Quai Est, Lyon$",
    ]),
    ((("invoice.py",),), [
        r"^Invoice INV-1001 \(TxnID [0-9A-F]+-\d+\): Subtotal 275\.50, BalanceRemaining 275\.50$",
        r"^Payment of 200\.00 received, 0\.00 of it unused$",
        r"^Invoice INV-1001 now: AppliedAmount -200\.00, BalanceRemaining 75\.50, open$",
    ]),
    ((("invoice.py",), ("profit_and_loss.py",)), [
        r"^2024-01-01 through 2024-12-31$",
        r"^  Service Income +240\.00$",
        r"^  Uncategorized Income +35\.50$",
        r"^Net Income +275\.50$",
    ]),
])
def test_example_prints_the_figures(company, scripts, expected):
    output = ""
    for script, *args in scripts:
        output = run(script, company, *args)  # the last one's output is checked
    for pattern in expected:
        assert re.search(pattern, output, re.MULTILINE), "%s not in:\n%s" % (pattern, output)


def test_example_refuses_a_missing_company_file(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "customers.py"), str(tmp_path / "none.vtc")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and "0x80040403" in done.stderr
