"""kelvane_testing.Session's own promises: a clean start, a clean end whatever happened, and
the host's failures reported."""

import os
import tempfile

import pytest

from kelvane_testing import ControlError, HostError, Session


@pytest.fixture
def temporary(tmp_path, monkeypatch):
    """A folder that holds the sessions' temporary folders, to see what they leave."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_a_host_that_fails_to_start_is_reported_and_leaves_nothing(temporary):
    with pytest.raises(HostError) as failure:
        Session(baud=49).start()
    assert failure.value.status == 2
    assert "--baud needs 0 (unpaced) or a rate from 50 to 10000000" in failure.value.stderr
    assert list(temporary.iterdir()) == []


def test_a_test_that_raises_still_stops_the_host_and_leaves_nothing(temporary):
    with pytest.raises(ZeroDivisionError):
        with Session() as session:
            pid = session.process.pid
            assert os.path.exists(session.client_path)
            1 / 0
    assert session.status == 0
    assert gone(pid)
    assert list(temporary.iterdir()) == []


def test_a_host_that_dies_is_reported_at_the_end(temporary):
    session = Session().start()
    session.process.kill()
    with pytest.raises(HostError) as failure:
        session.stop()
    assert failure.value.status == -9
    assert list(temporary.iterdir()) == []


def test_a_refused_request_raises_with_the_hosts_words():
    with Session() as session:
        with pytest.raises(ControlError) as refusal:
            session.set("ECHOSOUNDER", "MAX_DEPTH_M", "deep")
        assert refusal.value.error == (
            "ECHOSOUNDER/MAX_DEPTH_M takes type float (a number such as 2.5), not: deep")
        with pytest.raises(ValueError):
            session.fault("sideways", 1)
        assert session.stats()["faults"] == "none"


def test_wait_for_takes_each_event_once_in_order():
    with Session() as session:
        session.fault("garbage", 3)
        session.fault("stall", 0)
        began = session.wait_for(lambda e: e["event"] == "faultBegan", timeout=5)
        assert began == {"event": "faultBegan", "fault": "garbage", "bytes": 3}
        assert session.wait_for(lambda e: e["event"] == "faultBegan", timeout=5)["fault"] == "stall"
        with pytest.raises(TimeoutError):
            session.wait_for(lambda e: e["event"] == "faultBegan", timeout=0.5)
