#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A Python caller of the C interface through ctypes, with no module but
the standard library's: it opens a listener and a connected UDP socket,
takes a snapshot, and checks what it says of them. Exits 0 when all is
right, 1 naming the fault.

    ctypes_caller.py /path/to/libsockscope_x64.so.1
"""
import ctypes
import os
import socket
import sys


class Selection(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("what", ctypes.c_uint32), ("states", ctypes.c_uint32),
                ("ports", ctypes.POINTER(ctypes.c_uint16)), ("port_count", ctypes.c_size_t)]


class Owner(ctypes.Structure):
    _fields_ = [("pid", ctypes.c_uint32), ("fd", ctypes.c_int32), ("name", ctypes.c_char_p), ("comm", ctypes.c_char_p)]


class Socket(ctypes.Structure):
    _fields_ = [("protocol", ctypes.c_uint8), ("family", ctypes.c_uint8), ("state", ctypes.c_uint8),
                ("v6only", ctypes.c_uint8), ("interface", ctypes.c_uint32), ("state_name", ctypes.c_char_p),
                ("local_address", ctypes.c_uint8 * 16), ("remote_address", ctypes.c_uint8 * 16),
                ("local_text", ctypes.c_char_p), ("remote_text", ctypes.c_char_p),
                ("local_port", ctypes.c_uint16), ("remote_port", ctypes.c_uint16), ("uid", ctypes.c_uint32),
                ("receive_queue", ctypes.c_uint32), ("send_queue", ctypes.c_uint32), ("inode", ctypes.c_uint64),
                ("cookie", ctypes.c_uint64), ("owners", ctypes.c_void_p), ("owner_count", ctypes.c_uint32),
                ("reserved", ctypes.c_uint32)]


class Snapshot(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("socket_size", ctypes.c_size_t), ("owner_size", ctypes.c_size_t),
                ("count", ctypes.c_size_t), ("sockets", ctypes.c_void_p),
                ("unreadable_processes", ctypes.c_uint32), ("reserved", ctypes.c_uint32)]


def sockets_of(snapshot):
    """Every socket with its owners, stepping by the library's own sizes."""
    for i in range(snapshot.count):
        record = Socket.from_address(snapshot.sockets + i * snapshot.socket_size)
        owners = [Owner.from_address(record.owners + k * snapshot.owner_size) for k in range(record.owner_count)]
        yield record, owners


def main(library_path):
    library = ctypes.CDLL(library_path, use_errno=True)
    library.sockscope_snapshot_take.restype = ctypes.POINTER(Snapshot)
    library.sockscope_snapshot_take.argtypes = [ctypes.POINTER(Selection)]
    library.sockscope_snapshot_free.argtypes = [ctypes.POINTER(Snapshot)]

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.connect(("127.0.0.1", 9))
    ports = (ctypes.c_uint16 * 2)(listener.getsockname()[1], udp.getsockname()[1])
    selection = Selection(ctypes.sizeof(Selection), 0, 0, ports, 2)
    taken = library.sockscope_snapshot_take(ctypes.byref(selection))
    if not taken:
        return "no snapshot: " + os.strerror(ctypes.get_errno())
    try:
        # Keyed by protocol and local end: another process may have a socket
        # on the same port at another address, or in the other protocol.
        found = {}
        for record, owners in sockets_of(taken.contents):
            found[(record.protocol, record.local_text.decode(), record.local_port)] = (
                record.state_name.decode(), record.remote_text.decode(), record.remote_port,
                [(owner.pid, owner.fd) for owner in owners])
    finally:
        library.sockscope_snapshot_free(taken)
    expected = {
        (6, "127.0.0.1", listener.getsockname()[1]): ("LISTEN", "0.0.0.0", 0, [(os.getpid(), listener.fileno())]),
        (17, "127.0.0.1", udp.getsockname()[1]): ("ESTABLISHED", "127.0.0.1", 9, [(os.getpid(), udp.fileno())]),
    }
    for key, fields in expected.items():
        if found.get(key) != fields:
            return "socket %s: %s, expected %s" % (key, found.get(key), fields)
    return None


if __name__ == "__main__":
    problem = main(sys.argv[1])
    if problem:
        print("ctypes caller: " + problem, file=sys.stderr)
    sys.exit(1 if problem else 0)
