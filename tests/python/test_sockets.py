# SPDX-License-Identifier: MIT
"""sockets() and net_connections() against sockets the tests hold, the C
interface's own reading of the same snapshot, and psutil."""
import ctypes
import errno
import ipaddress
import os
import socket
import subprocess
import sys

import psutil
import pytest
from conftest import comm, needs_root

import sockscope
from sockscope import _compat, _native, _sockets

SO_COOKIE = 57


def test_held_sockets_with_their_owners(held):
    listener, client, udp, child = held["listener"], held["client"], held["udp"], held["child"]
    port = listener.getsockname()[1]
    found = {(s.protocol, s.local[1], s.remote and s.remote[1]): s
             for s in sockscope.sockets("all", family=4, ports=[port, udp.getsockname()[1]])}
    me = os.getpid()
    listening = found[("tcp", port, None)]
    assert listening.state == sockscope.State.LISTEN and listening.remote is None
    assert listening.local == (ipaddress.IPv4Address("127.0.0.1"), port)
    assert listening.inode == os.fstat(listener.fileno()).st_ino
    cookie = listener.getsockopt(socket.SOL_SOCKET, SO_COOKIE, 8)
    assert listening.cookie == int.from_bytes(cookie, sys.byteorder)
    assert listening.netns == os.stat("/proc/self/ns/net").st_ino and listening.netns_name is None
    assert [(o.pid, o.fd, o.comm) for o in listening.owners] == sorted(
        (pid, listener.fileno(), comm(pid)) for pid in (me, child.pid))
    connected = found[("tcp", client.getsockname()[1], port)]
    assert connected.state == sockscope.State.ESTABLISHED and [o.fd for o in connected.owners] == [client.fileno()]
    datagram = found[("udp", udp.getsockname()[1], 9)]
    assert datagram.state_name == "ESTABLISHED" and datagram.remote[0] == ipaddress.IPv4Address("127.0.0.1")
    assert datagram.uid == os.geteuid() and datagram.owners[0].pid == me
    unconnected = sockscope.sockets("udp", family=6, ports=[held["udp6"].getsockname()[1]])
    assert [(s.local[0], s.remote, s.state_name) for s in unconnected] == [
        (ipaddress.IPv6Address("::1"), None, "UNCONN")]


def test_selection_is_applied(held):
    port = held["listener"].getsockname()[1]
    listening = sockscope.sockets("tcp", states=["listen"], ports=[port])
    assert [s.state for s in listening] == [sockscope.State.LISTEN]
    assert sockscope.sockets("udp", ports=[port]) == []
    by_expression = sockscope.sockets(expression=f"dport = :{port}")
    assert [s.local[1] for s in by_expression] == [held["client"].getsockname()[1]]


class CSocket(ctypes.Structure):
    """struct sockscope_socket up to netns_name, read a record at a time."""
    _fields_ = [("protocol", ctypes.c_uint8), ("family", ctypes.c_uint8), ("state", ctypes.c_uint8),
                ("v6only", ctypes.c_uint8), ("interface", ctypes.c_uint32), ("state_name", ctypes.c_char_p),
                ("local_address", ctypes.c_uint8 * 16), ("remote_address", ctypes.c_uint8 * 16),
                ("local_text", ctypes.c_char_p), ("remote_text", ctypes.c_char_p), ("local_port", ctypes.c_uint16),
                ("remote_port", ctypes.c_uint16), ("uid", ctypes.c_uint32), ("receive_queue", ctypes.c_uint32),
                ("send_queue", ctypes.c_uint32), ("inode", ctypes.c_uint64), ("cookie", ctypes.c_uint64),
                ("owners", ctypes.c_void_p), ("owner_count", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("netns", ctypes.c_uint64), ("netns_name", ctypes.c_char_p)]


class COwner(ctypes.Structure):
    _fields_ = [("pid", ctypes.c_uint32), ("fd", ctypes.c_int32), ("name", ctypes.c_char_p),
                ("comm", ctypes.c_char_p), ("cgroup", ctypes.c_char_p), ("container", ctypes.c_char_p)]


def text(value):
    return value.decode() if value is not None else None


@pytest.mark.parametrize("what", [_sockets.TCP | _sockets.UDP, _sockets.TCP | _sockets.UDP | _sockets.ALL_NAMESPACES])
def test_same_as_the_c_interface_of_one_snapshot(held, what):
    with _sockets._Snapshot(what, None, None, None) as snapshot:
        rows, psutil_rows = _sockets._socket_rows(snapshot), _compat._psutil_rows(snapshot)
        base = ctypes.c_void_p.from_address(snapshot._pointer + 32).value
        expected = []
        for i in range(snapshot.count):
            c = CSocket.from_address(base + i * snapshot.socket_size)
            owners = tuple((o.pid, o.fd, text(o.name), text(o.comm), text(o.cgroup), text(o.container)) for o in (
                COwner.from_address(c.owners + k * snapshot.owner_size) for k in range(c.owner_count)))
            local = ipaddress.ip_address(c.local_text.decode())
            remote = None if c.remote_port == 0 and not any(c.remote_address) else (
                ipaddress.ip_address(c.remote_text.decode()), c.remote_port)
            expected.append((c.state_name.decode(), local, c.local_port, remote, c.uid, c.receive_queue,
                             c.send_queue, c.inode, c.cookie, c.netns, text(c.netns_name), owners))
    assert len(rows) == len(psutil_rows) == len(expected) > 4
    assert [(s.state_name, s.local[0], s.local[1], s.remote, s.uid, s.receive_queue, s.send_queue, s.inode,
             s.cookie, s.netns, s.netns_name, s.owners) for s in rows] == expected
    assert [(r.laddr and r.laddr.port, r.pid) for r in psutil_rows] == [
        (s.local[1] or (), s.owners[-1].pid if s.owners else None) for s in rows]


@pytest.mark.parametrize("kind", ["inet", "inet6", "tcp4", "udp", "udp6", "all"])
def test_net_connections_as_psutil_gives_them(held, kind):
    ports = {held[name].getsockname()[1] for name in ("listener", "client", "udp", "udp6")}

    def ours(rows):
        return sorted((tuple(r), r.laddr.ip) for r in rows if r.laddr and r.laddr.port in ports)
    theirs = ours(psutil.net_connections(kind))
    assert theirs and ours(sockscope.net_connections(kind)) == theirs


@pytest.mark.parametrize("call, exception, words", [
    (lambda: sockscope.sockets("sctp"), ValueError, "kind"),
    (lambda: sockscope.sockets(family=5), ValueError, "family"),
    (lambda: sockscope.sockets(ports=[70000]), ValueError, "port"),
    (lambda: sockscope.sockets(states=["NOPE"]), ValueError, "state"),
    (lambda: sockscope.sockets(expression="dport = :"), OSError, "a port expected at byte 8"),
    (lambda: sockscope.net_connections("unix"), ValueError, "kind"),
])
def test_bad_selections(call, exception, words):
    with pytest.raises(exception, match=words) as raised:
        call()
    if exception is OSError:
        assert raised.value.errno == errno.EINVAL


def test_an_unloadable_library_is_named(monkeypatch):
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setenv("SOCKSCOPE_LIBRARY", "/nonexistent/libsockscope_x64.so.1")
    with pytest.raises(sockscope.LibraryError, match="/nonexistent/libsockscope_x64.so.1") as raised:
        sockscope.sockets()
    assert isinstance(raised.value, OSError)


@needs_root("makes a network namespace with ip netns")
def test_a_socket_in_another_namespace():
    name = f"sockscope-python-{os.getpid()}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    child = None
    try:
        child = subprocess.Popen(["ip", "netns", "exec", name, sys.executable, "-c",
                                  "import socket, sys; s = socket.create_server(('0.0.0.0', 0)); "
                                  "print(s.getsockname()[1], flush=True); sys.stdin.read()"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        port = int(child.stdout.readline())
        assert sockscope.sockets(ports=[port]) == []
        found = [s for s in sockscope.sockets(ports=[port], all_namespaces=True) if s.netns_name == name]
        assert len(found) == 1 and found[0].netns == os.stat(f"/run/netns/{name}").st_ino
        assert [o.pid for o in found[0].owners] == [child.pid]
    finally:
        if child is not None:
            child.stdin.close()
            child.wait(timeout=30)
        subprocess.run(["ip", "netns", "delete", name], check=True)
