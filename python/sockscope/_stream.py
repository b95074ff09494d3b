# SPDX-License-Identifier: MIT
"""connections(): the machine's TCP connections as they close (and, when
asked, as they open), each with the process that made it, read from the
library's stream; iterable with `for` and with `async for`."""
from __future__ import annotations

import asyncio
import collections
import ctypes
import ipaddress
import select
import struct
import time
from typing import Any, AsyncIterator, Deque, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple

from . import _native, _sockets
from ._sockets import Endpoint, State

# struct sockscope_connection up to end_name: protocol family kind side
# owner_source end flags state_count states local_address remote_address
# local_port remote_port error pid closer_pid cookie netns opened_ns
# closed_ns lifetime_ns bytes_sent bytes_received cgroup_id local_text
# remote_text name comm cgroup container netns_name end_name.
_CONNECTION_FORMAT = "=8B16s16s16sHHiIIQQqqqQQQQQQQQQQQ"
# struct sockscope_connections: size connection_size count connections lost.
_BATCH_FORMAT = "=QQQQQ"
_BATCH_READ = struct.calcsize(_BATCH_FORMAT)
# Most a read takes; the library's own bound.
_MOST = 65536

OPENS = 0x1
# Once records wait, a little more waiting lets others join them: one read
# of many costs the machine far less than a read per record.
_GATHER = 0.01
_SIDES = ("unknown", "connect", "accept", "listen")
_SOURCES = ("unknown", "connect", "listen", "accept", "snapshot", "close", "first call", "listener")


class Connection(NamedTuple):
    """One TCP connection as it opened (kind "opened") or closed ("closed").

    side: how the socket came to be ("connect", "accept", "listen" or
    "unknown": open before the stream); owner_source: when its owner was
    taken ("connect", "listen", "accept", "first call", "listener",
    "snapshot", "close"); end: how it ended ("normal", "reset sent", "reset
    received", "refused", "timed out", "failed", "abandoned"; "open" in an
    opened record); states: the TCP states it went through, oldest first;
    error: the socket's errno at close; pid, closer_pid: 0 when unknown;
    times in ns since the epoch (0 unknown; lifetime -1 then); texts None
    when unknown."""
    kind: str
    side: str
    owner_source: str
    end: str
    states: Tuple[State, ...]
    local: Endpoint
    remote: Endpoint
    error: int
    pid: int
    closer_pid: int
    name: Optional[str]
    comm: Optional[str]
    cgroup: Optional[str]
    container: Optional[str]
    cgroup_id: int
    cookie: int
    netns: int
    netns_name: Optional[str]
    opened_ns: int
    closed_ns: int
    lifetime_ns: int
    bytes_sent: int
    bytes_received: int


def _name(names: Tuple[str, ...], number: int) -> str:
    return names[number] if number < len(names) else str(number)


class ConnectionStream:
    """An open stream. Iterating waits for records (for at most `timeout`
    seconds of quiet each, when given, then ends); `lost` counts the
    records the kernel dropped so far (its buffer was full). Closing it (or
    the `with` block's end, or the garbage collector) detaches the kernel's
    programs."""

    def __init__(self, opens: bool = False, timeout: Optional[float] = None, tracked_sockets: int = 0,
                 buffer_bytes: int = 0, batch: int = 4096) -> None:
        self._pointer: Optional[int] = None
        if not 1 <= batch <= _MOST:
            raise ValueError(f"batch is from 1 to {_MOST}, not {batch!r}")
        self._batch, self.timeout, self.lost = batch, timeout, 0
        self._pending: Deque[Connection] = collections.deque()
        library = _native.library()
        options = _native.StreamOptions(ctypes.sizeof(_native.StreamOptions), OPENS if opens else 0,
                                        tracked_sockets, buffer_bytes)
        pointer = library.sockscope_stream_open(ctypes.byref(options))
        if not pointer:
            _native.raise_errno("sockscope_stream_open")
        self._pointer = pointer
        self._fd = library.sockscope_stream_fd(pointer)

    def fileno(self) -> int:
        """The descriptor to wait on (readable while records wait); the
        stream's own."""
        if self._pointer is None:
            raise ValueError("the stream is closed")
        return self._fd

    @property
    def closed(self) -> bool:
        return self._pointer is None

    def read(self) -> List[Connection]:
        """The records waiting now, oldest first, never waiting ([] when
        none)."""
        self._fill()
        taken = list(self._pending)
        self._pending.clear()
        return taken

    def _fill(self) -> None:
        if self._pointer is None:
            raise ValueError("the stream is closed")
        library = _native.library()
        batch = library.sockscope_stream_read(self._pointer, self._batch)
        if not batch:
            _native.raise_errno("sockscope_stream_read")
        try:
            size = ctypes.c_size_t.from_address(batch).value
            header = ctypes.string_at(batch, min(size, _BATCH_READ)).ljust(_BATCH_READ, b"\0")
            _, stride, count, records, lost = struct.unpack(_BATCH_FORMAT, header)
            self.lost += lost
            if count:
                layout = _sockets._at_stride(_CONNECTION_FORMAT, stride, "connection")
                with _sockets._no_collection():
                    self._pending.extend(_records(layout.iter_unpack(ctypes.string_at(records, count * stride))))
        finally:
            library.sockscope_connections_free(batch)

    def __iter__(self) -> Iterator[Connection]:
        return self

    def __next__(self) -> Connection:
        if self._pending:
            return self._pending.popleft()
        if self._pointer is None:
            raise StopIteration
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        waiter = select.poll()
        waiter.register(self._fd, select.POLLIN)
        while True:
            self._fill()
            if self._pending:
                return self._pending.popleft()
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise StopIteration
            if waiter.poll(None if left is None else max(1, int(left * 1000))):
                time.sleep(_GATHER)

    def __aiter__(self) -> AsyncIterator[Connection]:
        return self

    async def __anext__(self) -> Connection:
        if self._pending:
            return self._pending.popleft()
        if self._pointer is None:
            raise StopAsyncIteration
        loop = asyncio.get_running_loop()
        deadline = None if self.timeout is None else loop.time() + self.timeout
        while True:
            self._fill()
            if self._pending:
                return self._pending.popleft()
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                raise StopAsyncIteration
            readable = loop.create_future()
            loop.add_reader(self._fd, lambda: readable.done() or readable.set_result(None))
            try:
                await asyncio.wait_for(readable, left)
                await asyncio.sleep(_GATHER)
            except asyncio.TimeoutError:
                pass
            finally:
                loop.remove_reader(self._fd)

    def close(self) -> None:
        """Detaches the programs and frees the stream; records not read are
        gone. Closing twice does nothing."""
        pointer, self._pointer = self._pointer, None
        self._pending.clear()
        if pointer is not None:
            _native.library().sockscope_stream_close(pointer)

    async def aclose(self) -> None:
        self.close()

    def __enter__(self) -> "ConnectionStream":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    async def __aenter__(self) -> "ConnectionStream":
        return self

    async def __aexit__(self, *_: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_pointer", None) is not None:
            self.close()


def _records(rows: Iterable[Tuple[Any, ...]]) -> List[Connection]:
    texts: Dict[int, Optional[str]] = {0: None}

    def text(address: int) -> Optional[str]:
        found = texts.get(address, False)
        if found is False:
            found = texts[address] = ctypes.string_at(address).decode("utf-8", "replace")
        return found

    made = []
    v4, v6 = ipaddress.IPv4Address, ipaddress.IPv6Address
    known = _sockets._STATES  # a state of a later kernel stays a number
    for (_, family, kind, side, source, _, _, state_count, states, local_raw, remote_raw, local_port, remote_port,
         error, pid, closer_pid, cookie, netns, opened_ns, closed_ns, lifetime_ns, bytes_sent, bytes_received,
         cgroup_id, _, _, name, comm, cgroup, container, netns_name, end_name) in rows:
        if family == 2:
            local, remote = v4(local_raw[:4]), v4(remote_raw[:4])
        else:
            local, remote = v6(local_raw), v6(remote_raw)
        made.append(Connection(
            "opened" if kind == 1 else "closed", _name(_SIDES, side), _name(_SOURCES, source),
            text(end_name) or "", tuple(known.get(number, number) for number in states[:state_count]),
            (local, local_port), (remote, remote_port), error, pid, closer_pid, text(name), text(comm),
            text(cgroup), text(container), cgroup_id, cookie, netns, text(netns_name), opened_ns, closed_ns,
            lifetime_ns, bytes_sent, bytes_received))
    return made


def connections(opens: bool = False, timeout: Optional[float] = None, tracked_sockets: int = 0,
                buffer_bytes: int = 0) -> ConnectionStream:
    """Opens the stream of TCP connections as they close (and open, with
    opens=True): `for connection in sockscope.connections(): ...`, or
    `async for` in a coroutine. With a timeout, iteration ends after that
    many seconds without a record.

    Needs CAP_BPF with CAP_PERFMON, or CAP_SYS_ADMIN: PermissionError
    without. OSError(ENOTSUP) where the kernel or the library can't run the
    programs; MemoryError; LibraryError."""
    return ConnectionStream(opens, timeout, tracked_sockets, buffer_bytes)
