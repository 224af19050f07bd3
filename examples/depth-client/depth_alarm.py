"""A depth alarm: reads the echo sounder's depth (NMEA DBT) and raises an alarm in shallow water.

This is the client under test of the worked example: a small program as a boat's software would
have it, with no knowledge of kelvane-host. It reads a serial port (or a TCP feed), checks every
sentence's checksum, counts the sentences it had to reject, notices when the depth goes stale
and reopens the port when it goes away (a USB adapter unplugged).

    python3 depth_alarm.py /dev/ttyUSB0 --below 3
"""

import argparse
import errno
import os
import select
import socket
import termios
import time
import tty

_SPEEDS = {9600: termios.B9600, 19200: termios.B19200, 38400: termios.B38400,
           57600: termios.B57600, 115200: termios.B115200}


def sentence_fields(line):
    """The fields of a sentence "$TTSSS,f1,f2*HH" (the talker's two letters and the type first)
    if its checksum holds, else None."""
    if not line.startswith(b"$") or len(line) < 4 or line[-3:-2] != b"*":
        return None
    body = line[1:-3]
    checksum = 0
    for byte in body:
        checksum ^= byte
    try:
        if int(line[-2:], 16) != checksum:
            return None
    except ValueError:
        return None
    return body.decode("ascii", errors="replace").split(",")


class DepthAlarm:
    """Follows the depth on a serial port (port) or a TCP feed (address, a (host, port) pair).

    accepted: sentences with a good checksum; rejected: sentences ("$...") it could not trust;
    reconnects: times the port came back after it went away. alarm holds while the last depth
    read is below `below` metres; stale while no depth came for stale_after seconds.
    """

    def __init__(self, port=None, address=None, below=3.0, baud=115200, stale_after=3.0):
        if (port is None) == (address is None):
            raise ValueError("give a serial port or a TCP address")
        self.port = port
        self.address = address
        self.below = below
        self.baud = baud
        self.stale_after = stale_after
        self.depth = None
        self.depth_at = None
        self.accepted = 0
        self.rejected = 0
        self.reconnects = 0
        self._fd = None
        self._sock = None
        self._pending = b""
        self._was_open = False

    @property
    def alarm(self):
        return self.depth is not None and self.depth < self.below

    @property
    def stale(self):
        return self.depth_at is None or time.monotonic() - self.depth_at > self.stale_after

    # The port

    def _open(self):
        """Opens the port if it is there; whether it is open."""
        try:
            if self.port is not None:
                fd = os.open(self.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                tty.setraw(fd)
                attributes = termios.tcgetattr(fd)
                attributes[4] = attributes[5] = _SPEEDS[self.baud]
                termios.tcsetattr(fd, termios.TCSANOW, attributes)
                self._fd = fd
            else:
                self._sock = socket.create_connection(self.address, timeout=1)
                self._sock.setblocking(False)
                self._fd = self._sock.fileno()
        except OSError:
            return False
        if self._was_open:
            self.reconnects += 1
        self._was_open = True
        self._pending = b""
        return True

    def _close(self):
        if self._sock is not None:
            self._sock.close()
        elif self._fd is not None:
            os.close(self._fd)
        self._fd = self._sock = None

    def close(self):
        self._close()

    def send(self, text):
        """Sends a command to the instrument, e.g. b"interval 0.1 #go"."""
        if self._fd is None and not self._open():
            raise OSError(errno.ENODEV, "the port is not there")
        os.write(self._fd, text)

    # Reading

    def poll(self, timeout):
        """Reads what comes within timeout seconds (reopening a port that went away)."""
        if self._fd is None and not self._open():
            time.sleep(min(timeout, 0.05))
            return
        ready, _, _ = select.select([self._fd], [], [], timeout)
        if not ready:
            return
        try:
            chunk = os.read(self._fd, 65536)
        except BlockingIOError:
            return
        except OSError:  # EIO: the device hung up
            chunk = b""
        if not chunk:
            self._close()
            return
        self._pending += chunk
        *lines, self._pending = self._pending.split(b"\n")
        for line in lines:
            self._take(line.rstrip(b"\r"))

    def _take(self, line):
        if not line.startswith(b"$"):
            return  # the instrument's replies to commands, not sentences
        fields = sentence_fields(line)
        if fields is None:
            self.rejected += 1
            return
        self.accepted += 1
        # $SDDBT,feet,f,metres,M,fathoms,F
        if fields[0][2:] == "DBT" and len(fields) >= 5 and fields[4] == "M":
            try:
                self.depth = float(fields[3])
            except ValueError:
                self.rejected += 1
                return
            self.depth_at = time.monotonic()

    def run_until(self, condition, timeout):
        """Reads until condition(self) holds or timeout seconds passed; whether it held."""
        deadline = time.monotonic() + timeout
        while not condition(self):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.poll(min(left, 0.1))
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("--below", type=float, default=3.0, help="alarm depth, metres")
    parser.add_argument("--baud", type=int, default=115200, choices=sorted(_SPEEDS))
    options = parser.parse_args()
    alarm = DepthAlarm(port=options.port, below=options.below, baud=options.baud)
    shown = None
    while True:
        alarm.poll(1.0)
        state = ("STALE" if alarm.stale else "ALARM" if alarm.alarm else "ok", alarm.depth)
        if state != shown:
            print(f"{state[0]}: depth {state[1]} m, rejected {alarm.rejected}", flush=True)
            shown = state


if __name__ == "__main__":
    main()
