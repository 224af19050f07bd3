"""The depth alarm against the simulated echo sounder, through kelvane_testing alone."""

import pytest

from depth_alarm import DepthAlarm


def at_depth(session, metres):
    """The simulator holds the depth at metres."""
    session.set("KELVANE_SIMULATOR", "CONST_MODE", True)
    session.set("ECHOSOUNDER", "MAX_DEPTH_M", metres)


@pytest.fixture
def alarm(kelvane_session):
    alarm = DepthAlarm(port=kelvane_session.client_path, below=15.0, stale_after=1.5)
    yield alarm
    alarm.close()


def test_reads_the_depth_and_alarms_in_shallow_water(kelvane_session, alarm):
    at_depth(kelvane_session, 12.5)
    assert alarm.run_until(lambda a: a.depth == 12.5, timeout=10)
    assert alarm.alarm and alarm.rejected == 0
    at_depth(kelvane_session, 20)
    assert alarm.run_until(lambda a: a.depth == 20, timeout=10)
    assert not alarm.alarm


@pytest.mark.kelvane(seed=42)
def test_rejects_exactly_the_sentences_the_host_damaged(kelvane_session, alarm):
    # Pings every 50 ms; the rates change between whole lines, so that the lines the alarm read
    # while they held are the ones the host counts.
    alarm.send(b"interval 0.05 #go")
    assert alarm.run_until(lambda a: a.accepted > 0, timeout=10)
    kelvane_session.rates(checksum=0.2)
    assert alarm.run_until(lambda a: a.accepted + a.rejected > 300, timeout=30)
    kelvane_session.rates(checksum=0)
    seen = alarm.accepted
    assert alarm.run_until(lambda a: a.accepted > seen + 30, timeout=10)
    damaged = kelvane_session.stats()["toClient"]["faults"]["checksum"]
    assert damaged > 20
    assert alarm.rejected == damaged


def test_goes_stale_during_an_unplug_and_comes_back(kelvane_session, alarm):
    assert alarm.run_until(lambda a: not a.stale, timeout=10)
    kelvane_session.fault("unplug", 3)
    assert alarm.run_until(lambda a: a.stale, timeout=5)
    kelvane_session.wait_for(lambda e: e["event"] == "faultEnded", timeout=10)
    assert alarm.run_until(lambda a: not a.stale, timeout=10)
    assert alarm.reconnects == 0


def test_reopens_the_port_after_a_hangup(kelvane_session, alarm):
    assert alarm.run_until(lambda a: a.depth is not None, timeout=10)
    kelvane_session.fault("hangup", 1)
    kelvane_session.wait_for(lambda e: e["event"] == "clientEndClosed", timeout=5)
    kelvane_session.wait_for(lambda e: e["event"] == "faultEnded", timeout=10)
    before = alarm.accepted
    assert alarm.run_until(lambda a: a.reconnects == 1 and a.accepted > before, timeout=10)


@pytest.mark.kelvane(tcp=0)
def test_reads_the_depth_over_tcp(kelvane_session):
    alarm = DepthAlarm(address=kelvane_session.tcp_address, below=15.0)
    try:
        alarm.poll(0)  # connects
        kelvane_session.wait_for(lambda e: e["event"] == "tcpClientJoined", timeout=5)
        at_depth(kelvane_session, 8)
        assert alarm.run_until(lambda a: a.depth == 8, timeout=10)
        assert alarm.alarm
    finally:
        alarm.close()
