# SPDX-License-Identifier: MIT
"""connections(): closed connections of the test's own, with `for` and with
`async for`, and the kernel side closed however the stream ends."""
import asyncio
import errno
import gc
import os
import socket
import subprocess
import sys
import time

import pytest
from conftest import comm, needs_root

import sockscope

pytestmark = [needs_root("the connection stream loads BPF programs"), pytest.mark.usefixtures("stream_runs")]


@pytest.fixture(scope="module")
def stream_runs():
    """Skips where the library was built without BPF or the kernel can't
    run the stream's programs (ENOTSUP), as the no-bpf build is."""
    try:
        sockscope.connections().close()
    except OSError as error:
        if error.errno == errno.ENOTSUP:
            pytest.skip(f"the stream's BPF programs can't run here: {error}")
        raise


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def connect_and_close(listener, count):
    """Connections to the listener, closed from both ends."""
    for _ in range(count):
        with socket.create_connection(listener.getsockname()) as client:
            accepted, _ = listener.accept()
            accepted.close()


def mine(record, listener):
    return record.remote[1] == listener.getsockname()[1] and record.side == "connect"


def first(stream, listener, count):
    """The first `count` records of connections to the listener, within 30
    s (other connections of the machine close meanwhile)."""
    found, deadline = [], time.monotonic() + 30
    for record in stream:
        found += [record] if mine(record, listener) else []
        if len(found) == count or time.monotonic() > deadline:
            break
    return found


def test_closed_connections_with_their_owner():
    with socket.create_server(("127.0.0.1", 0)) as listener, sockscope.connections(timeout=1) as stream:
        connect_and_close(listener, 3)
        found = first(stream, listener, 3)
    assert len(found) == 3 and stream.closed
    for record in found:
        assert record.kind == "closed" and record.end == "normal" and record.pid == os.getpid()
        assert record.comm == comm(os.getpid()) and record.states[-1] == sockscope.State.CLOSE
        assert str(record.local[0]) == "127.0.0.1" and record.lifetime_ns > 0
    assert stream.lost == 0


def test_async_for_wakes_on_records():
    async def collect(listener):
        found, deadline = [], time.monotonic() + 30
        async with sockscope.connections(timeout=2) as stream:
            # Made once the loop waits on the stream's descriptor.
            asyncio.get_running_loop().call_later(0.3, connect_and_close, listener, 2)
            async for record in stream:
                found += [record] if mine(record, listener) else []
                if len(found) == 2 or time.monotonic() > deadline:
                    break
        assert stream.closed
        return found
    with socket.create_server(("127.0.0.1", 0)) as listener:
        assert len(asyncio.run(collect(listener))) == 2


def test_the_kernel_side_closes_with_the_stream():
    before = descriptors()
    stream = sockscope.connections()
    assert descriptors() > before
    stream.close()
    stream.close()
    assert descriptors() == before
    with pytest.raises(ValueError):
        stream.read()
    stream = sockscope.connections(timeout=0.1)
    next(stream, None)
    del stream
    gc.collect()
    assert descriptors() == before


def test_refused_without_privilege():
    here = os.path.dirname(os.path.abspath(__file__))
    environment = dict(os.environ, PYTHONPATH=os.path.join(here, "..", "..", "python"))
    run = subprocess.run([sys.executable, "-c", "import sockscope\ntry: sockscope.connections()\n"
                          "except OSError as e: print(type(e).__name__, e.errno)"],
                         user=65534, env=environment, capture_output=True, text=True, timeout=60)
    assert run.stdout.split() == ["PermissionError", "1"], run.stderr
