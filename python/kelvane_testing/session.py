"""One run of kelvane-host for a test: started, driven over its control channel, stopped."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

#: The control channel's protocol this library speaks (docs/control.md).
PROTOCOL = 1

_FAULT_EVENTS = {"unplug": "seconds", "stall": "seconds", "hangup": "seconds", "garbage": "bytes"}


class HostError(RuntimeError):
    """kelvane-host could not be found, could not start, or ended with a failure.

    ``status`` is its exit status (None when it never ran or did not end), ``stdout`` and
    ``stderr`` what it wrote.
    """

    def __init__(self, message, status=None, stdout="", stderr=""):
        text = message
        if stderr:
            text += "\n--- kelvane-host's standard error ---\n" + stderr.rstrip("\n")
        super().__init__(text)
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


class ControlError(RuntimeError):
    """The host refused a request; ``error`` is its reason, ``request`` what was sent."""

    def __init__(self, error, request):
        super().__init__(f"{error} (request: {json.dumps(request)})")
        self.error = error
        self.request = request


def find_host():
    """The kelvane-host to run: $KELVANE_HOST, else the one on PATH, else the build folder's."""
    named = os.environ.get("KELVANE_HOST")
    if named:
        return named
    on_path = shutil.which("kelvane-host")
    if on_path:
        return on_path
    built = Path(__file__).resolve().parents[2] / "build" / "host" / "kelvane-host"
    if built.is_file():
        return str(built)
    raise HostError("kelvane-host not found: set KELVANE_HOST, put it on PATH, or build it in "
                    f"{built.parent.parent}")


class _Channel:
    """The control channel: requests answered in order, events kept as they come.

    A thread reads the socket all the time, so that the host never finds this client slow (it
    drops a control client that leaves more than 1 MiB unread) while the test is busy elsewhere.
    """

    def __init__(self, sock, pending=b""):
        self._sock = sock
        self._pending = pending
        self._cond = threading.Condition()
        self._answers = {}
        self._next_id = 0
        self.events = []
        self.closed = False
        self._reader = threading.Thread(target=self._read, name="kelvane-control", daemon=True)
        self._reader.start()

    def _read(self):
        try:
            for line in _lines(self._sock, self._pending):
                message = json.loads(line)
                with self._cond:
                    if "event" in message:
                        self.events.append(message)
                    else:
                        self._answers[message.get("id")] = message
                    self._cond.notify_all()
        except (OSError, ValueError):
            pass
        finally:
            with self._cond:
                self.closed = True
                self._cond.notify_all()

    def request(self, request, timeout):
        """Sends request with an id of its own; its answer, or raises."""
        with self._cond:
            self._next_id += 1
            ident = self._next_id
        self._sock.sendall((json.dumps(dict(request, id=ident)) + "\n").encode())
        with self._cond:
            if not self._cond.wait_for(lambda: ident in self._answers or self.closed, timeout):
                raise TimeoutError(f"no answer to {json.dumps(request)} within {timeout} s")
            if ident not in self._answers:
                raise HostError(f"the control channel closed before an answer to "
                                f"{json.dumps(request)}")
            return self._answers.pop(ident)

    def wait(self, done, timeout):
        """Waits, up to timeout seconds, until done() holds (asked under the channel's lock) or
        the channel closed."""
        with self._cond:
            self._cond.wait_for(lambda: done() or self.closed, timeout)

    def close(self):
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._reader.join(5)
        self._sock.close()


class Session:
    """kelvane-host with the simulator on a pty pair of its own, for one test.

    Everything the run needs (a settings file that does not exist yet, the pair's folder, the
    control socket, the host's output) is in a temporary folder that stop() removes; the user's
    settings are never read or written.

    baud, seed, faults and command_faults ({"checksum": 0.05, ...}), tcp (a port, 0 for any free
    one, or "ADDR:PORT"), talker and plugin are the host's options of those names; args are
    more of its command line. start_timeout bounds the start, timeout each request.
    """

    def __init__(self, baud=115200, seed=None, faults=None, command_faults=None, tcp=None,
                 talker=None, plugin=None, args=(), host=None, start_timeout=30.0, timeout=10.0):
        self.host = host or find_host()
        self.timeout = timeout
        self.start_timeout = start_timeout
        self._options = []
        self._options += ["--baud", str(baud)]
        if seed is not None:
            self._options += ["--seed", str(seed)]
        if faults:
            self._options += ["--faults", _rate_list(faults)]
        if command_faults:
            self._options += ["--command-faults", _rate_list(command_faults)]
        if tcp is not None:
            self._options += ["--tcp", f"127.0.0.1:{tcp}" if isinstance(tcp, int) else str(tcp)]
        if talker:
            self._options += ["--talker", talker]
        if plugin:
            self._options += ["--plugin", str(plugin)]
        self._options += [str(a) for a in args]
        self.folder = None
        self.process = None
        self.status = None
        self.stdout = ""
        self.stderr = ""
        self.tcp_address = None
        self._channel = None
        self._seen = 0

    # The run

    def start(self):
        """Starts the host and returns once the client end exists and the channel answers."""
        if self.process is not None:
            raise RuntimeError("the session has started already")
        self.folder = Path(tempfile.mkdtemp(prefix="kelvane-session-"))
        self._control = self.folder / "control"
        argv = [self.host, "--no-console", "--settings", str(self.folder / "settings.ini"),
                "--link-dir", str(self.folder / "links"), "--control", str(self._control)]
        argv += self._options
        try:
            with open(self.folder / "stdout", "wb") as out, \
                    open(self.folder / "stderr", "wb") as err:
                self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                                stderr=err)
            self._connect()
            self._channel.request({"cmd": "subscribe"}, self.timeout)
            if "--tcp" in self._options:
                listen = self.stats()["clients"]["tcp"]["listen"]
                address, _, port = listen.rpartition(":")
                self.tcp_address = (address.strip("[]"), int(port))
        except BaseException:
            self._finish()
            raise
        return self

    def _connect(self):
        """Connects once the socket exists, and waits for the greeting, which comes once the
        host takes clients; the host may still fail meanwhile, so both are waited for in short
        steps."""
        deadline = time.monotonic() + self.start_timeout
        sock = None
        received = b""
        while b"\n" not in received:
            if self.process.poll() is not None:
                raise HostError(f"kelvane-host ended before it was ready (status "
                                f"{self.process.returncode})", self.process.returncode,
                                *self._output())
            if time.monotonic() > deadline:
                raise HostError(f"kelvane-host was not ready within {self.start_timeout} s",
                                None, *self._output())
            try:
                if sock is None:
                    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    sock.settimeout(0.1)
                    sock.connect(str(self._control))
                chunk = sock.recv(65536)
                if not chunk:
                    raise HostError("kelvane-host closed the control channel at the start",
                                    None, *self._output())
                received += chunk
            except socket.timeout:
                pass
            except (FileNotFoundError, ConnectionRefusedError):
                sock.close()
                sock = None
                time.sleep(0.02)  # the host has not made its socket yet
        hello, _, rest = received.partition(b"\n")
        hello = json.loads(hello)
        if hello.get("protocol") != PROTOCOL:
            sock.close()
            raise HostError(f"the host speaks control protocol {hello.get('protocol')}, this "
                            f"library {PROTOCOL}")
        sock.settimeout(None)
        self._channel = _Channel(sock, rest)

    def stop(self, check=True):
        """Quits the host, collects its status and output, and removes the session's folder.

        Raises HostError when check is true and the host ended with a failure (not status 0).
        """
        if self.process is None:
            return
        if self._channel and not self._channel.closed:
            try:
                self._channel.request({"cmd": "quit"}, self.timeout)
            except (OSError, TimeoutError, HostError):
                pass  # the exit status tells what happened
        self._finish()
        if check and self.status != 0:
            raise HostError(f"kelvane-host ended with status {self.status}", self.status,
                            self.stdout, self.stderr)

    def _finish(self):
        """Ends the host (by SIGTERM, then SIGKILL, when quit did not), and cleans up."""
        try:
            if self.process is not None:
                try:
                    self.process.wait(self.timeout)
                except subprocess.TimeoutExpired:
                    self.process.terminate()
                    try:
                        self.process.wait(self.timeout)
                    except subprocess.TimeoutExpired:
                        self.process.kill()
                        self.process.wait()
                self.status = self.process.returncode
            if self._channel:
                self._channel.close()
            if self.folder:
                self.stdout, self.stderr = self._output()
        finally:
            if self.folder:
                shutil.rmtree(self.folder, ignore_errors=True)
            self.process = None
            self._channel = None

    def _output(self):
        read = lambda name: (self.folder / name).read_bytes().decode(errors="replace") \
            if (self.folder / name).exists() else ""
        return read("stdout"), read("stderr")

    def __enter__(self):
        return self.start()

    def __exit__(self, kind, value, trace):
        # A failing test's own error is the one to see; the host's failure only otherwise.
        self.stop(check=kind is None)
        return False

    # Paths

    @property
    def client_path(self):
        """The client end: open it as the instrument's serial port."""
        return str(self.folder / "links" / "client")

    # Commands

    def command(self, cmd, **fields):
        """Runs a control command; its answer (a dict), or raises ControlError."""
        if self._channel is None:
            raise RuntimeError("the session is not running")
        request = dict(fields, cmd=cmd)
        answer = self._channel.request(request, self.timeout)
        if not answer.get("ok"):
            raise ControlError(answer.get("error"), request)
        return answer

    def stats(self):
        """The line's statistics, the object that --stats writes."""
        return self.command("stats")["stats"]

    def fault(self, event, amount=None):
        """A fault event: "unplug", "stall" or "hangup" for amount seconds (default 1), or
        "garbage" of amount bytes (default 16)."""
        if event not in _FAULT_EVENTS:
            raise ValueError(f"unknown fault event {event!r} (one of {', '.join(_FAULT_EVENTS)})")
        if amount is None:
            amount = 16 if event == "garbage" else 1
        return self.command("fault", event=event, **{_FAULT_EVENTS[event]: amount})["text"]

    def rates(self, direction="output", **rates):
        """New fault rates, live, for the output or the "commands": rates(drop=0.1)."""
        return self.command("fault", rates=rates, direction=direction)["text"]

    def set(self, group, name, value):
        """Changes a setting of the plug-in, with the console's type check; the host's warning
        about the value, if any."""
        return self.command("set", group=group, name=name, value=value).get("warning")

    def start_plugin(self):
        return self.command("start")

    def stop_plugin(self):
        return self.command("stop")

    # Events

    @property
    def events(self):
        """Every event so far (a copy)."""
        with self._channel._cond:
            return list(self._channel.events)

    def wait_for(self, predicate, timeout=5.0):
        """The first event after those earlier waits returned for which predicate holds.

        Raises TimeoutError (naming the events that came) when none does within timeout.
        """
        channel = self._channel
        found = []

        def match():
            while self._seen < len(channel.events):
                event = channel.events[self._seen]
                self._seen += 1
                if predicate(event):
                    found.append(event)
                    return True
            return False

        start = self._seen
        channel.wait(match, timeout)
        if found:
            return found[0]
        seen = [e.get("event") for e in channel.events[start:]]
        raise TimeoutError(f"no such event within {timeout} s; came: {seen}")


def _lines(sock, pending):
    """The lines a socket brings, without their LF, after those in pending."""
    while True:
        while b"\n" in pending:
            line, _, pending = pending.partition(b"\n")
            yield line
        chunk = sock.recv(1 << 16)
        if not chunk:
            return
        pending += chunk


def _rate_list(rates):
    return ",".join(f"{kind}={rate}" for kind, rate in rates.items())
