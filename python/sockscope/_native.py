# SPDX-License-Identifier: MIT
"""The library, loaded once on first use, its functions' prototypes, and
errno turned into Python's exceptions."""
from __future__ import annotations

import ctypes
import errno
import os
import threading
from typing import Any, NoReturn, Optional

LIBRARY_NAME = "libsockscope_x64.so.1"
# A build tree's library, or any other one, instead of the loader's.
LIBRARY_VARIABLE = "SOCKSCOPE_LIBRARY"


class LibraryError(OSError):
    """libsockscope_x64.so.1 could not be loaded, or lacks a function this
    package calls."""


class Selection(ctypes.Structure):
    """struct sockscope_selection as of 1.4; `size` says so to the library."""
    _fields_ = [("size", ctypes.c_size_t), ("what", ctypes.c_uint32), ("states", ctypes.c_uint32),
                ("ports", ctypes.POINTER(ctypes.c_uint16)), ("port_count", ctypes.c_size_t),
                ("expression", ctypes.c_char_p), ("details", ctypes.c_uint32), ("reserved", ctypes.c_uint32)]


class StreamOptions(ctypes.Structure):
    """struct sockscope_stream_options."""
    _fields_ = [("size", ctypes.c_size_t), ("flags", ctypes.c_uint32), ("tracked_sockets", ctypes.c_uint32),
                ("buffer_bytes", ctypes.c_size_t)]


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _prototype(library: ctypes.CDLL, name: str, restype: Any, *argtypes: Any) -> None:
    function = getattr(library, name)
    function.restype = restype
    function.argtypes = list(argtypes)


def library() -> ctypes.CDLL:
    """The library with its prototypes set; LibraryError when it can't be
    loaded."""
    global _library
    if _library is not None:
        return _library
    with _lock:
        if _library is None:
            path = os.environ.get(LIBRARY_VARIABLE) or LIBRARY_NAME
            try:
                loaded = ctypes.CDLL(path, use_errno=True)
            except OSError as error:
                raise LibraryError(errno.ENOENT, f"cannot load {path} (set {LIBRARY_VARIABLE} to the library's "
                                   f"path, or install libsockscope1): {error}") from None
            try:
                pointer, size = ctypes.c_void_p, ctypes.c_size_t
                _prototype(loaded, "sockscope_snapshot_take", pointer, ctypes.POINTER(Selection))
                _prototype(loaded, "sockscope_snapshot_free", None, pointer)
                _prototype(loaded, "sockscope_version", ctypes.c_char_p)
                _prototype(loaded, "sockscope_expression_check", ctypes.c_int, ctypes.c_char_p,
                           ctypes.POINTER(size), ctypes.POINTER(ctypes.c_char_p))
                _prototype(loaded, "sockscope_stream_open", pointer, ctypes.POINTER(StreamOptions))
                _prototype(loaded, "sockscope_stream_fd", ctypes.c_int, pointer)
                _prototype(loaded, "sockscope_stream_read", pointer, pointer, size)
                _prototype(loaded, "sockscope_connections_free", None, pointer)
                _prototype(loaded, "sockscope_stream_close", None, pointer)
            except AttributeError as error:
                raise LibraryError(errno.ENOSYS, f"{path} is not a sockscope library of 1.4 or later: "
                                   f"{error}") from None
            _library = loaded
    return _library


def raise_errno(what: str) -> NoReturn:
    """Raises the exception of the errno a failed call left:
    PermissionError, FileNotFoundError ... (OSError picks the subclass),
    MemoryError for ENOMEM."""
    code = ctypes.get_errno()
    if code == errno.ENOMEM:
        raise MemoryError(f"{what}: {os.strerror(code)}")
    if code == 0:  # no call fails without one; never a silent empty answer
        code = errno.EIO
    raise OSError(code, f"{what}: {os.strerror(code)}")


def version() -> str:
    """The version of the library answering, such as "1.5.0.0"."""
    return library().sockscope_version().decode()
