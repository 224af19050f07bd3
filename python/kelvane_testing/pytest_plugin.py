"""The pytest fixture ``kelvane_session``: a started Session for each test that asks for it.

Installed (``pip install ./python``) the plugin is found by pytest by itself; otherwise a
conftest.py names it: ``pytest_plugins = ["kelvane_testing.pytest_plugin"]``. A test gives the
Session's options with a marker::

    @pytest.mark.kelvane(seed=42, faults={"checksum": 0.05}, tcp=0)
    def test_depth(kelvane_session):
        ...

The host is stopped after the test; a host that ended with a failure makes the test's teardown
fail with its status and standard error.
"""

import pytest

from .session import Session


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "kelvane(**options): the options of the kelvane_session fixture's Session")


@pytest.fixture
def kelvane_session(request):
    marker = request.node.get_closest_marker("kelvane")
    with Session(**(marker.kwargs if marker else {})) as session:
        yield session
