"""The sandbox the tests run against: a registry file of their own where the library and the
sandbox's processor are registered, and a new company file for each test. The build names the
programs through the environment (python/CMakeLists.txt)."""
import gc
import os
import subprocess
import tempfile

import pytest

_work = tempfile.TemporaryDirectory(prefix="vtfc4-python-")
# Set before the library reads them: the registry and the sandbox's clock.
os.environ["VTFC4_REGISTRY"] = os.path.join(_work.name, "registry")
os.environ["VTFC4_COMMON_APPDATA"] = os.path.join(_work.name, "appdata")
os.environ["VTFC4_SANDBOX_NOW"] = "2024-12-31T12:00:00"

import vtfc4  # noqa: E402


def _tool(name):
    path = os.environ.get(name)
    if not path:
        pytest.exit("%s is not set: run these tests through ctest" % name, returncode=2)
    return path


@pytest.fixture(scope="session", autouse=True)
def registered():
    subprocess.run([_tool("VTFC4_TEST_REGSVR"), _tool("VTFC4_TEST_LIBRARY")], check=True, capture_output=True)
    subprocess.run([_tool("VTFC4_TEST_SANDBOX"), "register", _tool("VTFC4_TEST_PROCESSOR")], check=True,
                   capture_output=True)
    yield
    _work.cleanup()


@pytest.fixture
def company(tmp_path):
    """A new sandbox company file."""
    path = str(tmp_path / "books.vtc")
    subprocess.run([_tool("VTFC4_TEST_SANDBOX"), "create", path], check=True, capture_output=True)
    return path


@pytest.fixture
def session(company):
    with vtfc4.desktop_session(company, "vtFC4 Python tests") as s:
        yield s


@pytest.fixture(autouse=True)
def nothing_left_alive():
    """Every test drops all it made: the library then has no object alive (a test that
    starts with objects a failed one kept in its traceback is not blamed for them)."""
    gc.collect()
    clean = vtfc4.can_unload_now()
    yield
    gc.collect()
    assert vtfc4.can_unload_now() or not clean, "an object of the library outlived its test"
