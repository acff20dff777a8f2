import os
import shutil

import pytest

from wineenv import ARTIFACTS, WinePrefix, Xvfb, make_template_prefix
from comports import _end_com_ports  # noqa: F401  (ends every simulated device after each test)
from inspector import app  # noqa: F401  (fixture of the window tests)


@pytest.fixture(scope="session")
def xvfb():
    server = Xvfb()
    yield server
    server.close()


@pytest.fixture(scope="session")
def wine_template(xvfb):
    path = make_template_prefix(xvfb.display)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def wine(wine_template, xvfb):
    prefix = WinePrefix(wine_template, xvfb.display)
    yield prefix
    prefix.close()


@pytest.fixture(scope="session")
def artifacts():
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    return ARTIFACTS


def pytest_collection_modifyitems(config, items):
    # In CI a missing tool is a failure, never a silent skip.
    if os.environ.get("CI"):
        for tool in ("wine", "Xvfb", "wineserver"):
            if shutil.which(tool) is None:
                raise pytest.UsageError(f"{tool} is not installed")
