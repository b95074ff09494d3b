# SPDX-License-Identifier: MIT
"""net_connections(): psutil's function of that name, in its shape, from a
snapshot, so that a script changes its import and nothing else."""
from __future__ import annotations

import socket
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

from . import _sockets
from ._sockets import IPV4, IPV6, TCP, UDP


class addr(NamedTuple):  # noqa: N801 (psutil's name)
    """An endpoint as psutil gives it: the address as text and the port."""
    ip: str
    port: int


class sconn(NamedTuple):  # noqa: N801 (psutil's name)
    """A socket as psutil.net_connections gives it: fd -1 and pid None when
    no process could be named; laddr and raddr () when their port is 0;
    status one of psutil's CONN_* strings ("NONE" for UDP)."""
    fd: int
    family: socket.AddressFamily
    type: socket.SocketKind
    laddr: Union[addr, Tuple[()]]
    raddr: Union[addr, Tuple[()]]
    status: str
    pid: Optional[int]


# psutil's kinds, but "unix": the tables this library reads.
KINDS = {
    "inet": TCP | UDP | IPV4 | IPV6, "all": TCP | UDP | IPV4 | IPV6,
    "inet4": TCP | UDP | IPV4, "inet6": TCP | UDP | IPV6,
    "tcp": TCP | IPV4 | IPV6, "tcp4": TCP | IPV4, "tcp6": TCP | IPV6,
    "udp": UDP | IPV4 | IPV6, "udp4": UDP | IPV4, "udp6": UDP | IPV6,
}
# psutil's status strings; the kernel's NEW_SYN_RECV is the SYN_RECV that
# /proc/net/tcp shows.
_STATUSES = {1: "ESTABLISHED", 2: "SYN_SENT", 3: "SYN_RECV", 4: "FIN_WAIT1", 5: "FIN_WAIT2", 6: "TIME_WAIT",
             7: "CLOSE", 8: "CLOSE_WAIT", 9: "LAST_ACK", 10: "LISTEN", 11: "CLOSING", 12: "SYN_RECV"}
_PID_FD = "=Ii"


def net_connections(kind: str = "inet") -> List[sconn]:
    """psutil.net_connections(kind) of this network namespace: kinds
    "inet", "inet4", "inet6", "tcp", "tcp4", "tcp6", "udp", "udp4", "udp6"
    and "all" (the same as "inet": this library reads no UNIX sockets).

    A socket several processes hold is named by the one psutil names: the
    highest pid, with its lowest descriptor. Errors as sockets()."""
    if kind not in KINDS:
        raise ValueError(f"invalid {kind!r} kind argument; choose between {', '.join(map(repr, KINDS))}")
    with _sockets._Snapshot(KINDS[kind], None, None, None) as snapshot, _sockets._no_collection():
        return _psutil_rows(snapshot)


def _psutil_rows(snapshot: "_sockets._Snapshot") -> List[sconn]:
    """Every socket of a snapshot, as psutil gives it."""
    rows: List[sconn] = []
    owners_view, owners_start = snapshot.owners_block()
    owner_size = snapshot.owner_size
    pid_fd = _sockets._at_stride(_PID_FD, owner_size, "owner")
    # By family: an IPv4 address's 16 bytes may read as an IPv6 one's.
    texts_v4: Dict[bytes, str] = {}
    texts_v6: Dict[bytes, str] = {}
    ntop, inet, inet6 = socket.inet_ntop, socket.AF_INET, socket.AF_INET6
    stream, datagram = socket.SOCK_STREAM, socket.SOCK_DGRAM
    statuses, new, append = _STATUSES, tuple.__new__, rows.append
    for record in snapshot.records:
        protocol, family, state = record[0], record[1], record[2]
        local_raw, remote_raw, local_port, remote_port = record[5], record[6], record[9], record[10]
        owners_at, owner_count = record[16], record[17]
        if family == 2:
            family, texts = inet, texts_v4
        else:
            family, texts = inet6, texts_v6
        if local_port:
            ip = texts.get(local_raw)
            if ip is None:
                ip = texts[local_raw] = ntop(family, local_raw[:4] if family == inet else local_raw)
            laddr = new(addr, (ip, local_port))
        else:
            laddr = ()
        if remote_port:
            ip = texts.get(remote_raw)
            if ip is None:
                ip = texts[remote_raw] = ntop(family, remote_raw[:4] if family == inet else remote_raw)
            raddr = new(addr, (ip, remote_port))
        else:
            raddr = ()
        pid, fd = None, -1
        if owner_count:
            # Owners are lowest pid first, then lowest fd: the last
            # pid's first descriptor.
            at = owners_at - owners_start
            for owner_pid, owner_fd in reversed(list(pid_fd.iter_unpack(
                    owners_view[at:at + owner_count * owner_size]))):
                if pid is not None and owner_pid != pid:
                    break
                pid, fd = owner_pid, owner_fd
        if protocol == 6:
            append(new(sconn, (fd, family, stream, laddr, raddr, statuses.get(state, "NONE"), pid)))
        else:
            append(new(sconn, (fd, family, datagram, laddr, raddr, "NONE", pid)))
    return rows
