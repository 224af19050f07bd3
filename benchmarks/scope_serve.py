#!/usr/bin/env python3
"""kelvane-scope --tcp --serve 0 on a line this script serves: N single-frequency pings (the
three of tests/data/scope-single-frames.txt over and over) sent at once, read with no browser,
or with one that never reads (its receive buffer 4 kB, not a byte taken). Prints the time from
the first byte sent to the scope's "went away" (the line closed after the last byte), the
scope's peak resident memory (VmHWM) then, and what it said when it dropped the browser.

Usage: benchmarks/scope_serve.py BUILD_DIR [PINGS]"""
import os
import re
import signal
import socket
import subprocess
import sys
import time

build, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 30000
root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
golden = open(os.path.join(root, "tests/data/scope-single-frames.txt"), "rb").read()
pings = golden[golden.index(b"#DeviceID"):]
data = pings * (count // 3)


def run(stalled):
    line = socket.socket()
    line.bind(("127.0.0.1", 0))
    line.listen(1)
    scope = subprocess.Popen([os.path.join(build, "scope/kelvane-scope"), "--tcp",
                              "127.0.0.1:%d" % line.getsockname()[1], "--serve", "0"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    os.set_blocking(scope.stderr.fileno(), False)
    said = [b""]

    def until(text, seconds):
        deadline = time.time() + seconds
        while text not in said[0] and time.time() < deadline:
            said[0] += scope.stderr.read() or b""
            time.sleep(0.02)
        return text in said[0]

    conn, _ = line.accept()
    assert until(b"serving the echogram", 30), said[0]
    page_port = int(re.search(rb"127\.0\.0\.1:(\d+)/", said[0]).group(1))
    browser = None
    if stalled:
        page = b""
        with socket.create_connection(("127.0.0.1", page_port)) as http:
            http.sendall(b"GET / HTTP/1.0\r\n\r\n")
            while b"</html>" not in page:
                page += http.recv(65536)
        stream = int(re.search(rb'stream-port" content="(\d+)', page).group(1))
        browser = socket.socket()
        browser.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        browser.connect(("127.0.0.1", stream))
        browser.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                        b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        b"Sec-WebSocket-Version: 13\r\n\r\n")
        browser.recv(1, socket.MSG_PEEK)  # answered; never read
    began = time.time()
    conn.sendall(data)
    conn.close()
    assert until(b"went away", 600), said[0]
    seconds = time.time() - began
    with open("/proc/%d/status" % scope.pid) as status:
        peak = [l.split()[1] for l in status if l.startswith("VmHWM")][0]
    dropped = ""
    if stalled:
        until(b" dropped: ", 30)
        dropped = [l for l in said[0].decode().split("\n") if " dropped: " in l][0]
    scope.send_signal(signal.SIGINT)
    scope.wait(30)
    print("%-16s %d pings in %.2f s, peak %s kB %s" %
          ("stalled browser:" if stalled else "no browser:", count, seconds, peak, dropped))


run(False)
run(True)
