# SPDX-License-Identifier: MIT
"""What the Python package's tests share: the sockets they hold, and skips
reported as GoogleTest words them, so that the test command's count of
skips (scripts/ctest_summary.py) reads their reasons."""
import os
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))


def pytest_terminal_summary(terminalreporter):
    for report in terminalreporter.stats.get("skipped", []):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        terminalreporter.write_line(f"{report.nodeid}: Skipped")
        terminalreporter.write_line(reason.removeprefix("Skipped: "))


def needs_root(what):
    return pytest.mark.skipif(os.geteuid() != 0, reason=f"needs root: {what}")


def comm(pid):
    with open(f"/proc/{pid}/comm") as file:
        return file.read().rstrip("\n")


@pytest.fixture
def held():
    """A TCP listener this process and a child hold at the same descriptor,
    a connection to it (both ends), a connected UDP socket and an unconnected
    IPv6 one."""
    listener = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(listener.getsockname())
    accepted, _ = listener.accept()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.connect(("127.0.0.1", 9))
    udp6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp6.bind(("::1", 0))
    child = subprocess.Popen([sys.executable, "-c", "import sys; print(flush=True); sys.stdin.read()"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=[listener.fileno()])
    try:
        # Started: it holds the listener and no longer the other sockets,
        # which it held from the fork until the exec.
        child.stdout.readline()
        yield {"listener": listener, "client": client, "accepted": accepted, "udp": udp, "udp6": udp6, "child": child}
    finally:
        child.stdin.close()
        child.wait(timeout=30)
        child.stdout.close()
        for held_socket in (listener, client, accepted, udp, udp6):
            held_socket.close()
