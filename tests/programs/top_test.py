#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# sockscope --top against a known load: a child process sends a steady
# number of bytes a second over one long connection, another makes short
# connections that each close between two looks (counted from the
# connection stream), and --top --json must show each rate within 10 % of
# what the receiving end counted over the same intervals.
# Then the live view on a pseudo-terminal: the alternate screen, no line
# wider than the terminal, and `q` quits and restores the terminal.
#
#   top_test.py SOCKSCOPE
#
# Exit 0 passed, 1 failed, 77 skipped (not root, or no stream: it needs
# CAP_BPF and a build with BPF).
# Every wait is bounded; every process it starts is ended and reaped.
import fcntl
import json
import os
import pty
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

class Skipped(Exception):
    """What this machine or build can't run, said as the reason."""


RATE = 400_000            # bytes a second over the long connection
SHORT_PER_SECOND = 20     # short connections a second
SHORT_BYTES = 10_000      # sent on each
INTERVALS = 5             # of --top --json, after its first
TOLERANCE = 0.10

SENDER = r"""
import socket, sys, time
rate, port = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port))
chunk, start, sent = bytes(rate // 100), time.monotonic(), 0
while time.monotonic() - start < 60:
    due = (time.monotonic() - start) * rate
    if sent < due:
        s.sendall(chunk); sent += len(chunk)
    else:
        time.sleep(0.002)
"""

CHURNER = r"""
import socket, sys, time
per_second, size, port = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
start, made, data = time.monotonic(), 0, bytes(size)
while time.monotonic() - start < 60:
    if made < (time.monotonic() - start) * per_second:
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(data); s.shutdown(socket.SHUT_WR)
        s.recv(1); s.close(); made += 1
    else:
        time.sleep(0.005)
"""


class Sink:
    """A listener in this process that reads every connection to its end,
    counting what came over the first connection (the steady sender's) and
    over the others (the short ones): what --top should see, whatever pace
    the senders keep on a busy machine."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.stop = False
        self.long_bytes = self.short_bytes = self.short_connections = 0
        self.first = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        open_ = [self.listener]
        while not self.stop:
            ready, _, _ = select.select(open_, [], [], 0.2)
            for s in ready:
                if s is self.listener:
                    accepted = s.accept()[0]
                    if self.first is None:
                        self.first = accepted
                    else:
                        self.short_connections += 1
                    open_.append(accepted)
                    continue
                data = s.recv(1 << 16)
                if s is self.first:
                    self.long_bytes += len(data)
                else:
                    self.short_bytes += len(data)
                if not data:
                    open_.remove(s)
                    s.close()
        for s in open_:
            s.close()


def start(processes, args, **kwargs):
    process = subprocess.Popen(args, **kwargs)
    processes.append(process)
    return process


def end(processes):
    for process in reversed(processes):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


def within(what, got, expected):
    if abs(got - expected) > TOLERANCE * expected:
        raise AssertionError(f"{what}: {got:.0f}, expected {expected:.0f} within {TOLERANCE:.0%}")


def rates_test(tool, processes):
    sink = Sink()
    try:
        sender = start(processes, [sys.executable, "-c", SENDER, str(RATE), str(sink.port)],
                       stderr=subprocess.DEVNULL)
        # The sender's connection is the sink's first.
        until = time.monotonic() + 10
        while sink.first is None and time.monotonic() < until:
            time.sleep(0.05)
        assert sink.first is not None, "the sender did not connect"
        churner = start(processes, [sys.executable, "-c", CHURNER, str(SHORT_PER_SECOND), str(SHORT_BYTES),
                                    str(sink.port)], stderr=subprocess.DEVNULL)
        time.sleep(1)  # both at their pace
        top = start(processes, [tool, "--top", "--json", "--interval", "1"], stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE)
        # Its lines as they come, until enough (at most a minute on a busy
        # machine).
        # The sink's counts as each line comes: the truth over the same
        # intervals.
        out, until, counted = b"", time.monotonic() + 60, []
        while out.count(b"\n") < INTERVALS + 1 and time.monotonic() < until:
            ready, _, _ = select.select([top.stdout], [], [], 1)
            if ready:
                chunk = os.read(top.stdout.fileno(), 1 << 20)
                if not chunk:
                    break
                for _ in range(chunk.count(b"\n")):
                    counted.append((time.monotonic(), sink.long_bytes, sink.short_bytes, sink.short_connections))
                out += chunk
        top.send_signal(signal.SIGTERM)
        rest, err = top.communicate(timeout=10)
        if top.returncode != 0:
            raise AssertionError(f"--top ended with {top.returncode}: {err.decode()}")
        lines = [json.loads(line) for line in (out + rest).decode().splitlines()][: INTERVALS + 1]
        if len(lines) < INTERVALS + 1:
            raise AssertionError(f"{len(lines)} lines within a minute: {out.decode()}")
        # Without the stream the short connections can't be counted: a
        # build without BPF, or a kernel that refuses the programs.
        if not any(line["stream"] for line in lines):
            raise Skipped("the connection stream can't run here (a build without BPF, or a kernel "
                          "that refuses its programs): skipped")
        # The intervals after the first (the load may start within it), each
        # with every owner; the rates over them all.
        totals, seconds = {}, 0.0
        for line in lines[1:]:
            assert line["stream"] is True, line
            rows = {row["pid"]: row for row in line["rows"]}
            for pid in (sender.pid, churner.pid, os.getpid()):
                assert pid in rows, f"no row for {pid}: {line}"
            assert 0.5 <= line["seconds"] <= 3, line
            seconds += line["seconds"]
            for pid, row in rows.items():
                for key in ("sent_bytes_per_second", "received_bytes_per_second", "opened_per_second"):
                    totals[(pid, key)] = totals.get((pid, key), 0) + row[key] * line["seconds"]
            assert rows[sender.pid]["open"] == 1, rows[sender.pid]
            # Busiest first (bytes both ways): the sink, which receives what
            # both send, before the two senders (other processes on the
            # machine may be busier still).
            busy = [row["sent_bytes_per_second"] + row["received_bytes_per_second"] for row in line["rows"]]
            assert busy == sorted(busy, reverse=True), busy
            order = [row["pid"] for row in line["rows"]]
            assert order.index(os.getpid()) < order.index(sender.pid), order
        rate = {key: value / seconds for key, value in totals.items()}
        print("rates:", {f"{'sender' if pid == sender.pid else 'churner' if pid == churner.pid else 'sink'} {key}": round(value)
                         for (pid, key), value in rate.items() if pid in (sender.pid, churner.pid, os.getpid())},
              "lost:", sum(line["lost"] for line in lines[1:]))
        (t0, long0, short0, count0), (t1, long1, short1, count1) = counted[0], counted[INTERVALS]
        truth = {"long": (long1 - long0) / (t1 - t0), "short": (short1 - short0) / (t1 - t0),
                 "connections": (count1 - count0) / (t1 - t0)}
        print("the sink's:", {key: round(value) for key, value in truth.items()})
        assert truth["long"] > RATE / 2 and truth["connections"] > SHORT_PER_SECOND / 2, "the senders fell far behind"
        within("the sender's bytes sent a second", rate[(sender.pid, "sent_bytes_per_second")], truth["long"])
        within("the short connections' bytes sent a second", rate[(churner.pid, "sent_bytes_per_second")],
               truth["short"])
        within("the short connections opened a second", rate[(churner.pid, "opened_per_second")],
               truth["connections"])
        within("the sink's bytes received a second", rate[(os.getpid(), "received_bytes_per_second")],
               truth["long"] + truth["short"])
        print(f"rates over {INTERVALS} intervals ({seconds:.1f} s): within {TOLERANCE:.0%}")
    finally:
        end(processes)
        sink.stop = True
        sink.thread.join(timeout=5)


def terminal_test(tool, processes, ending):
    rows, columns = 12, 50
    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    before = termios.tcgetattr(secondary)
    top = start(processes, [tool, "--top", "--interval", "0.2"], stdin=secondary, stdout=secondary,
                stderr=secondary, close_fds=True)
    screen = b""
    until = time.monotonic() + 10
    while time.monotonic() < until and screen.count(b"PID") < 3:
        ready, _, _ = select.select([primary], [], [], 0.5)
        if ready:
            screen += os.read(primary, 65536)
    assert b"\x1b[?1049h" in screen and b"\x1b[?7l" in screen, f"no alternate screen, or wrapping on: {screen!r}"
    if ending == "q":
        os.write(primary, b"q")
    else:
        top.send_signal(signal.SIGTERM)
    # Read on while it ends, as a terminal does: a view whose output is
    # not read blocks in its write.
    until = time.monotonic() + 20
    while top.poll() is None and time.monotonic() < until:
        ready, _, _ = select.select([primary], [], [], 0.1)
        if ready:
            screen += os.read(primary, 65536)
    if top.poll() is None:
        raise AssertionError(f"--top still runs 20 s after {ending}")
    while select.select([primary], [], [], 0.2)[0]:
        try:
            screen += os.read(primary, 65536)
        except OSError:
            break
    assert top.returncode == 0, top.returncode
    assert screen.rstrip().endswith(b"\x1b[?1049l"), f"the terminal not given back: {screen[-80:]!r}"
    assert termios.tcgetattr(secondary) == before, "the terminal's modes were not restored"
    text = screen.decode(errors="replace")
    import re
    for frame in text.split("\x1b[H\x1b[2J")[1:]:
        frame = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", frame)
        lines = frame.replace("\r", "").split("\n")
        assert len(lines) <= rows, f"{len(lines)} lines on a terminal of {rows}: {lines}"
        for line in lines:
            assert len(line) <= columns, f"a line wider than {columns}: {line!r}"
    os.close(primary)
    os.close(secondary)
    print(f"terminal: alternate screen, fits 50x12, {ending} ends it and restores the terminal")


def main():
    tool = sys.argv[1]
    if os.geteuid() != 0:
        print("not root: the connection stream cannot be opened: skipped")
        return 77
    processes = []
    try:
        rates_test(tool, processes)
        terminal_test(tool, processes, "q")
        terminal_test(tool, processes, "SIGTERM")
        return 0
    finally:
        end(processes)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Skipped as reason:
        print(reason)
        sys.exit(77)
    except AssertionError as error:
        print(f"FAILED: {error}")
        sys.exit(1)
