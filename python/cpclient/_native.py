"""The low layer: the library's twenty-three exports bound with ctypes, and where the library is found.

Nothing else of the library is reached. The structures mirror include/cpclient.h
field by field; the test suite compares their sizes and offsets with a C program
compiled against the header. Every binding is a plain CDLL function, so ctypes
releases the GIL for the call: a thread blocked in a wait leaves the others running.
"""

from __future__ import annotations

import ctypes
import enum
import os
import threading
from ctypes import POINTER, Structure, c_bool, c_char_p, c_int, c_uint16
from typing import Any, Optional, Sequence


class Result(enum.IntEnum):
    """The library's CP_ result codes (CP_ plus the name in the header); never renumbered."""

    OK = 0
    NO_PORT = -1
    CONNECT_FAILED = -2
    ILLEGAL_STATE = -4
    WRITE_FAILED = -5
    UNKNOWN_GROUP = -8
    ID_NOT_PENDING = -9
    NO_MEMORY = -10
    TIMED_OUT = -11
    AGENT_SHUTDOWN = -12
    CONNECTION_LOST = -13


OK = Result.OK
NO_PORT = Result.NO_PORT
CONNECT_FAILED = Result.CONNECT_FAILED
ILLEGAL_STATE = Result.ILLEGAL_STATE
WRITE_FAILED = Result.WRITE_FAILED
UNKNOWN_GROUP = Result.UNKNOWN_GROUP
ID_NOT_PENDING = Result.ID_NOT_PENDING
NO_MEMORY = Result.NO_MEMORY
TIMED_OUT = Result.TIMED_OUT
AGENT_SHUTDOWN = Result.AGENT_SHUTDOWN
CONNECTION_LOST = Result.CONNECTION_LOST


def result(code: int) -> int:
    """code as a Result member when it is one, else the int itself."""
    try:
        return Result(code)
    except ValueError:
        return code


INTERFACE_LEVEL = 1000

# Kinds of request in CPREQUEST.requestType.
NO_REQUEST = 0
DATA_REQUEST = 1
TASK_REQUEST = 2
START_REQUEST = 3
STOP_REQUEST = 4

# The name the system's loader knows the library by (its SONAME).
SONAME = "libcpclient.so.1"


class RequestInfo(Structure):
    """One request filter; name and value are never null, op and logOp may be."""


RequestInfo._fields_ = [
    ("name", c_char_p),
    ("value", c_char_p),
    ("op", c_char_p),
    ("logOp", c_char_p),
    ("next", POINTER(RequestInfo)),
]


class CPREQUEST(Structure):
    """The request record; the caller frees it with cpdll_FreeRequest."""

    _fields_ = [
        ("groupId", c_int),
        ("requestType", c_int),
        ("id", c_char_p),
        ("requestStartedID", c_char_p),
        ("requestInfo", POINTER(RequestInfo)),
        ("command", c_char_p),
        ("shuttingDown", c_bool),  # C's bool: one byte
        ("subnode", c_char_p),
        ("user", c_char_p),
    ]


_REQUEST_PP = POINTER(POINTER(CPREQUEST))
_TEXTS = POINTER(c_char_p)
_UTF16 = POINTER(c_uint16)  # char16_t*: wchar_t is 32 bits on Linux, so never c_wchar_p

# name: (result type, argument types). The eighteen, then the five extensions.
_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
    "vexadllHello": (c_int, []),
    "cpdll_setPort": (None, [c_int]),
    "cpdll_GetConfigurationProperty": (c_char_p, [c_char_p]),
    "cpdll_GetSubnodeConfigurationProperty": (c_char_p, [c_char_p, c_char_p, c_char_p]),
    "cpdll_OpenConnection": (c_int, []),
    "cpdll_CloseConnection": (c_int, []),
    "cpdll_RegisterAttrGroup": (c_int, [c_char_p, c_int, c_int]),
    "cpdll_RegistrationComplete": (c_int, []),
    "cpdll_WaitForRequest": (c_int, [_REQUEST_PP]),
    "cpdll_FreeRequest": (None, [POINTER(CPREQUEST)]),
    "cpdll_SetAttributeValues": (c_int, [POINTER(_UTF16), c_int, _UTF16]),
    "cpdll_SendData": (c_int, [c_char_p]),
    "cpdll_SendError": (c_int, [c_int, c_char_p]),
    "cpdll_SendEventData": (c_int, [_TEXTS, c_int, c_int]),
    "cpdll_SendSubnodeEventData": (c_int, [_TEXTS, c_int, c_int, c_char_p]),
    "cpdll_SendEventError": (c_int, [c_int, c_int]),
    "cpdll_SendSubnodeEventError": (c_int, [c_int, c_int, c_char_p]),
    "cpdll_SendTaskRC": (c_int, [c_int, c_char_p]),
    "cpdll_WaitForRequestTimed": (c_int, [_REQUEST_PP, c_int]),
    "cpdll_SetAttributeValuesUtf8": (c_int, [_TEXTS, c_int, c_char_p]),
    "cpdll_SendTaskOutput": (c_int, [c_int, c_char_p, _TEXTS, _TEXTS, c_int]),
    "cpdll_ResultText": (c_char_p, [c_int]),
    "cpdll_OpenConnectionTimed": (c_int, [c_int]),
}


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message names every place tried and why it failed."""


def _bundled_candidate() -> str:
    """The library a wheel carries inside the package (absent in a source tree or a cmake --install)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)


def _installed_candidate() -> Optional[str]:
    """The library that cmake --install put beside this package, or None when no _location.py was written."""
    try:
        from . import _location  # type: ignore[attr-defined]  # written by the install
    except ImportError:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _location.LIBRARY_DIR, SONAME))


def candidates() -> list[tuple[str, str]]:
    """The places tried, in order: CPCLIENT_LIBRARY alone when it is set (a wrong setting is an
    error, never a silent fall-back to another copy); else the library inside the package (a
    wheel's), the installed library beside the package, then the system's loader by SONAME."""
    explicit = os.environ.get("CPCLIENT_LIBRARY")
    if explicit:
        return [("CPCLIENT_LIBRARY", explicit)]
    found = [("inside the package", _bundled_candidate())]
    installed = _installed_candidate()
    if installed:
        found.append(("installed beside the package", installed))
    found.append(("the system's loader", SONAME))
    return found


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def load() -> Any:
    """The bound library, loaded on first use. Raises LibraryNotFoundError. Thread-safe."""
    global _library, _path
    with _lock:
        if _library is not None:
            return _library
        failures = []
        for where, path in candidates():
            try:
                library = ctypes.CDLL(path)
            except OSError as error:
                failures.append(f"  {where}: {path}: {error}")
                continue
            missing = [name for name in _SIGNATURES if not hasattr(library, name)]
            if missing:
                failures.append(f"  {where}: {path}: lacks {', '.join(missing)} (an older library?)")
                continue
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(library, name)
                function.restype = restype
                function.argtypes = argtypes
            _library, _path = library, path
            return library
        raise LibraryNotFoundError(
            "cpclient: the shared library libcpclient.so.1 could not be loaded; tried:\n"
            + "\n".join(failures)
            + "\nSet CPCLIENT_LIBRARY to the library's path (e.g. build/libcpclient.so.1), or install the wheel"
            " that carries it (make wheel)."
        )


def loaded_path() -> Optional[str]:
    """The path or name the library was loaded from, or None before the first load."""
    return _path


def texts(values: Sequence[Optional[bytes]]) -> Any:
    """A C array of the given byte strings (None: a null element) for the row functions."""
    return (c_char_p * len(values))(*values)


def utf16(text: str) -> Any:
    """A NUL-terminated UTF-16 buffer of text for cpdll_SetAttributeValues."""
    units = text.encode("utf-16-le")
    return (c_uint16 * (len(units) // 2 + 1)).from_buffer_copy(units + b"\0\0")
