# SPDX-License-Identifier: MIT
"""Snapshots of the socket tables: sockets() in this package's own types and
net_connections() in psutil's.

A snapshot is one block on the C heap. Its sockets are copied out in one
piece and unpacked with one struct.Struct at the stride the library reports
(socket_size, owner_size), never at a size of this file's, so that a later
library with longer records reads the same. Texts are decoded once per
distinct pointer (the owners of one process share theirs) and addresses made
once per distinct address."""
from __future__ import annotations

import contextlib
import ctypes
import enum
import errno
import gc
import ipaddress
import socket
import struct
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _native

IPAddress = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]
StateLike = Union["State", str, int]
Endpoint = Tuple[IPAddress, int]

TCP, UDP, IPV4, IPV6, ALL_NAMESPACES = 0x1, 0x2, 0x4, 0x8, 0x10


class State(enum.IntEnum):
    """A socket's state as the kernel numbers it. An unconnected UDP socket
    is CLOSE, a connected one ESTABLISHED."""
    ESTABLISHED = 1
    SYN_SENT = 2
    SYN_RECV = 3
    FIN_WAIT1 = 4
    FIN_WAIT2 = 5
    TIME_WAIT = 6
    CLOSE = 7
    CLOSE_WAIT = 8
    LAST_ACK = 9
    LISTEN = 10
    CLOSING = 11
    NEW_SYN_RECV = 12


class Owner(NamedTuple):
    """A process holding a socket: its pid and descriptor, its whole name,
    the kernel's comm (at most 15 bytes), its cgroup path, and the id of the
    container it runs in; each text None when unknown."""
    pid: int
    fd: int
    name: Optional[str]
    comm: Optional[str]
    cgroup: Optional[str]
    container: Optional[str]


class Socket(NamedTuple):
    """One TCP or UDP socket. `remote` is None when there is no peer (a
    listener, an unconnected UDP socket); `inode` 0 when no descriptor refers
    to it; `netns` 0 when /proc can't say; `owners` lowest pid first."""
    protocol: str  # "tcp" or "udp"
    family: socket.AddressFamily
    state: State
    local: Endpoint
    remote: Optional[Endpoint]
    uid: int
    receive_queue: int
    send_queue: int
    inode: int
    cookie: int
    interface: int  # the index of the interface it is bound to; 0: none
    netns: int
    netns_name: Optional[str]
    owners: Tuple[Owner, ...]

    @property
    def state_name(self) -> str:
        """The state as `ss` names it: "UNCONN" for an unconnected UDP socket."""
        return "UNCONN" if self.protocol == "udp" and self.state == State.CLOSE else self.state.name


class Sockets(List[Socket]):
    """The sockets of one snapshot, and what the snapshot could not see:
    processes whose descriptors could not be read (their sockets may lack
    owners) and, across namespaces, namespaces that could not be read."""
    unreadable_processes: int = 0
    skipped_namespaces: int = 0


# The members read of struct sockscope_socket up to netns_name (128 bytes):
# protocol family state v6only interface [state_name] local_address
# remote_address local_text remote_text local_port remote_port uid
# receive_queue send_queue inode cookie owners owner_count flags netns
# netns_name.
_SOCKET_FORMAT = "=BBBBI8x16s16sQQHHIIIQQQIIQQ"
# struct sockscope_owner up to container: pid fd name comm cgroup container.
_OWNER_FORMAT = "=IiQQQQ"
# struct sockscope_snapshot: size socket_size owner_size count sockets
# unreadable_processes skipped_namespaces.
_SNAPSHOT_FORMAT = "=QQQQQII"
_SNAPSHOT_READ = struct.calcsize(_SNAPSHOT_FORMAT)

_structs: Dict[Tuple[str, int], struct.Struct] = {}


def _at_stride(fields: str, stride: int, what: str) -> struct.Struct:
    """A Struct reading `fields` at the start of records `stride` apart."""
    layout = _structs.get((fields, stride))
    if layout is None:
        known = struct.calcsize(fields)
        if stride < known:
            raise _native.LibraryError(errno.ENOTSUP, f"the library's {what} records are {stride} bytes, "
                                       f"shorter than the {known} this package reads: a library older than 1.4")
        layout = _structs[(fields, stride)] = struct.Struct(f"{fields}{stride - known}x")
    return layout


_PROTOCOLS = {6: "tcp", 17: "udp"}
_FAMILIES = {2: socket.AF_INET, 10: socket.AF_INET6}
_STATES = {int(state): state for state in State}
_NO_PEER = bytes(16)


def _selection(what: int, states: Optional[Iterable[StateLike]],
               ports: Optional[Iterable[int]], expression: Optional[str]) -> Tuple[_native.Selection, object]:
    """The C selection, and what it points to (kept alive with it)."""
    selection = _native.Selection(ctypes.sizeof(_native.Selection), what, 0, None, 0, None, 0, 0)
    if states is not None:
        bits = 0
        for state in states:
            if isinstance(state, str):
                try:
                    state = State[state.upper()]
                except KeyError:
                    raise ValueError(f"no state named {state!r}: one of {', '.join(State.__members__)}") from None
            bits |= 1 << State(state)
        if bits == 0:
            raise ValueError("states names no state: None takes every state")
        selection.states = bits
    array = None
    if ports is not None:
        wanted = list(ports)
        for port in wanted:
            if not isinstance(port, int) or not 0 <= port <= 65535:
                raise ValueError(f"a port is a number from 0 to 65535, not {port!r}")
        if not wanted:
            raise ValueError("ports names no port: None takes every port")
        array = (ctypes.c_uint16 * len(wanted))(*wanted)
        selection.ports = ctypes.cast(array, ctypes.POINTER(ctypes.c_uint16))
        selection.port_count = len(wanted)
    encoded = None
    if expression:
        encoded = expression.encode()
        if b"\0" in encoded:
            raise ValueError("the expression holds a NUL character")
        selection.expression = encoded
    return selection, (array, encoded)


def _expression_fault(expression: str) -> str:
    """Where and why the library refuses an expression, when it does."""
    position, reason = ctypes.c_size_t(0), ctypes.c_char_p()
    if _native.library().sockscope_expression_check(expression.encode(), ctypes.byref(position),
                                                    ctypes.byref(reason)) == 0:
        return ""
    said = reason.value.decode() if reason.value else "refused"
    return f": {said} at byte {position.value} of {expression!r}"


class _Snapshot:
    """A snapshot taken, its header read, its sockets copied out; freed by
    the caller's `with` block."""

    def __init__(self, what: int, states: Optional[Iterable[StateLike]], ports: Optional[Iterable[int]],
                 expression: Optional[str]) -> None:
        selection, self._keep = _selection(what, states, ports, expression)
        library = _native.library()
        self._pointer = library.sockscope_snapshot_take(ctypes.byref(selection))
        if not self._pointer:
            code = ctypes.get_errno()
            if code == errno.EINVAL and expression:
                fault = _expression_fault(expression)
                if fault:
                    raise OSError(errno.EINVAL, "bad expression" + fault)
            _native.raise_errno("sockscope_snapshot_take")
        try:
            size = ctypes.c_size_t.from_address(self._pointer).value
            header = ctypes.string_at(self._pointer, min(size, _SNAPSHOT_READ)).ljust(_SNAPSHOT_READ, b"\0")
            (_, self.socket_size, self.owner_size, self.count, sockets,
             self.unreadable_processes, self.skipped_namespaces) = struct.unpack(_SNAPSHOT_FORMAT, header)
            self.records = list(_at_stride(_SOCKET_FORMAT, self.socket_size, "socket").iter_unpack(
                ctypes.string_at(sockets, self.count * self.socket_size))) if self.count else []
        except BaseException:
            self.__exit__()
            raise

    def owners_block(self) -> Tuple[memoryview, int]:
        """Every socket's owners in one copy: the span from the lowest
        owners pointer to the end of the highest one's owners (all in the
        snapshot's block), and the address it starts at."""
        spans = [(record[16], record[16] + record[17] * self.owner_size) for record in self.records if record[17]]
        if not spans:
            return memoryview(b""), 0
        low = min(span[0] for span in spans)
        high = max(span[1] for span in spans)
        return memoryview(ctypes.string_at(low, high - low)), low

    def __enter__(self) -> "_Snapshot":
        return self

    def __exit__(self, *_: object) -> None:
        _native.library().sockscope_snapshot_free(self._pointer)
        self._pointer = None


@contextlib.contextmanager
def _no_collection() -> Iterator[None]:
    """The cyclic garbage collector held off while a snapshot's rows are
    made: every few hundred new tuples it would walk all those made so far,
    which takes most of the time of a large snapshot. The rows hold no
    cycles; it runs again as it was after."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


class _Texts(dict):
    """Texts of the snapshot by their address, each decoded once."""

    def __missing__(self, address: int) -> Optional[str]:
        text = ctypes.string_at(address).decode("utf-8", "replace") if address else None
        self[address] = text
        return text


_KINDS = {"tcp": TCP, "udp": UDP, "all": TCP | UDP}
_FAMILY_BITS = {None: 0, 4: IPV4, 6: IPV6, socket.AF_INET: IPV4, socket.AF_INET6: IPV6}


def sockets(kind: str = "tcp", family: Optional[int] = None,
            states: Optional[Iterable[StateLike]] = None, ports: Optional[Iterable[int]] = None,
            expression: Optional[str] = None, all_namespaces: bool = False) -> Sockets:
    """The sockets of this network namespace (or, with all_namespaces, of
    every network namespace on the machine) with the processes holding each.

    kind: "tcp", "udp" or "all"; family: None (both), 4 or 6 (or
    socket.AF_INET, socket.AF_INET6); states: State members or their names
    (None: all); ports: sockets with one of them at either end (None: all);
    expression: a filter in the words of `ss` ("dport = :443").

    Raises ValueError for a bad argument, OSError with the errno of a
    failure (EINVAL for an expression the library refuses, saying where;
    PermissionError, ...), MemoryError when memory ran out, LibraryError
    when the library can't be loaded."""
    if kind not in _KINDS:
        raise ValueError(f"kind is one of {', '.join(map(repr, _KINDS))}, not {kind!r}")
    if family not in _FAMILY_BITS:
        raise ValueError(f"family is None, 4 or 6, not {family!r}")
    what = _KINDS[kind] | _FAMILY_BITS[family] | (ALL_NAMESPACES if all_namespaces else 0)
    with _Snapshot(what, states, ports, expression) as snapshot, _no_collection():
        return _socket_rows(snapshot)


def _socket_rows(snapshot: _Snapshot) -> Sockets:
    """Every socket of a snapshot, in this package's types."""
    result = Sockets()
    result.unreadable_processes = snapshot.unreadable_processes
    result.skipped_namespaces = snapshot.skipped_namespaces
    owners_view, owners_start = snapshot.owners_block()
    owner_layout = _at_stride(_OWNER_FORMAT, snapshot.owner_size, "owner")
    owner_size = snapshot.owner_size
    texts = _Texts()
    # By family: an IPv4 address's 16 bytes may read as an IPv6 one's.
    addresses_v4: Dict[object, IPAddress] = {}
    addresses_v6: Dict[object, IPAddress] = {}
    new, owner_new = tuple.__new__, tuple.__new__
    protocols, families, states_by_number = _PROTOCOLS, _FAMILIES, _STATES
    v4, v6, no_peer = ipaddress.IPv4Address, ipaddress.IPv6Address, _NO_PEER
    append = result.append
    for (protocol, family_number, state, _, interface, local_raw, remote_raw, local_text, remote_text,
         local_port, remote_port, uid, receive_queue, send_queue, inode, cookie, owners_at, owner_count, _,
         netns, netns_name) in snapshot.records:
        # An address is made once; a scoped IPv6 one from its text, which
        # carries its zone.
        addresses = addresses_v4 if family_number == 2 else addresses_v6
        key = local_raw if interface == 0 else (local_raw, interface)
        local = addresses.get(key)
        if local is None:
            if family_number == 2:
                local = v4(local_raw[:4])
            elif interface:
                local = v6(texts[local_text])
            else:
                local = v6(local_raw)
            addresses[key] = local
        if remote_port == 0 and remote_raw == no_peer:
            remote_end = None
        else:
            key = remote_raw if interface == 0 else (remote_raw, interface)
            remote = addresses.get(key)
            if remote is None:
                if family_number == 2:
                    remote = v4(remote_raw[:4])
                elif interface:
                    remote = v6(texts[remote_text])
                else:
                    remote = v6(remote_raw)
                addresses[key] = remote
            remote_end = (remote, remote_port)
        if owner_count == 1:  # most sockets: without a list to build
            pid, fd, name, comm, cgroup, container = owner_layout.unpack_from(owners_view, owners_at - owners_start)
            owners = (owner_new(Owner, (pid, fd, texts[name], texts[comm], texts[cgroup], texts[container])),)
        elif owner_count:
            at = owners_at - owners_start
            owners = tuple([owner_new(Owner, (pid, fd, texts[name], texts[comm], texts[cgroup],
                                              texts[container]))
                            for pid, fd, name, comm, cgroup, container in
                            owner_layout.iter_unpack(owners_view[at:at + owner_count * owner_size])])
        else:
            owners = ()
        append(new(Socket, (protocols.get(protocol, str(protocol)), families.get(family_number, family_number),
                            states_by_number.get(state, state), (local, local_port), remote_end, uid,
                            receive_queue, send_queue, inode, cookie, interface, netns,
                            texts[netns_name] if netns_name else None, owners)))
    return result
