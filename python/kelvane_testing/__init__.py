"""Test sessions for software that talks to the Kelvane echo sounder.

A ``Session`` runs ``kelvane-host`` with the simulator on a private pty pair and a control
channel, so that a test can open the client end like the instrument's serial port, inject faults
and wait on what the host reports::

    from kelvane_testing import Session

    with Session(seed=42, faults={"checksum": 0.05}) as s:
        port = s.client_path
        s.fault("unplug", 2)
        s.wait_for(lambda e: e["event"] == "faultEnded", timeout=5)

The pytest plugin (``kelvane_testing.pytest_plugin``) provides the fixture ``kelvane_session``.
"""

from .session import ControlError, HostError, Session, find_host

__all__ = ["Session", "HostError", "ControlError", "find_host"]
