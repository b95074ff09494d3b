# SPDX-License-Identifier: MIT
"""The machine's TCP and UDP sockets with the processes owning each, in one
network namespace or in all of them, and the stream of TCP connections as
they close, over libsockscope_x64.so.1 (found as the system's loader finds
it, or at the path in SOCKSCOPE_LIBRARY).

    import sockscope
    for s in sockscope.sockets("tcp", states=["LISTEN"]):
        print(s.local, [(o.pid, o.name) for o in s.owners])
"""
from ._compat import KINDS as NET_CONNECTIONS_KINDS
from ._compat import addr, net_connections, sconn
from ._native import LIBRARY_VARIABLE, LibraryError, version
from ._sockets import Endpoint, IPAddress, Owner, Socket, Sockets, State, sockets
from ._stream import Connection, ConnectionStream, connections

__all__ = [
    "Connection", "ConnectionStream", "Endpoint", "IPAddress", "LIBRARY_VARIABLE", "LibraryError",
    "NET_CONNECTIONS_KINDS", "Owner", "Socket", "Sockets", "State", "addr", "connections", "net_connections",
    "sconn", "sockets", "version",
]
