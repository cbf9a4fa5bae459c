"""The low layer: the library's twenty-two exports bound with ctypes, and where the library is found.

Nothing else of the library is reached. The structures mirror include/cpclient.h
field by field; the test suite compares their sizes and offsets with a C program
compiled against the header. Every binding is a plain CDLL function, so ctypes
releases the GIL for the call: a thread blocked in a wait leaves the others running.
"""

import ctypes
import os
import threading
from ctypes import POINTER, Structure, c_bool, c_char_p, c_int, c_uint16

# Result codes; never renumbered.
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

# name: (result type, argument types). The eighteen, then the four extensions.
_SIGNATURES = {
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
}


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message names every place tried and why it failed."""


def _installed_candidate():
    """The library that cmake --install put beside this package, or None in a source tree."""
    try:
        from . import _location  # written by the install
    except ImportError:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _location.LIBRARY_DIR, SONAME))


def candidates():
    """The places tried, in order: CPCLIENT_LIBRARY alone when it is set (a wrong setting is an
    error, never a silent fall-back to another copy); else the installed library beside the
    package, then the system's loader by SONAME."""
    explicit = os.environ.get("CPCLIENT_LIBRARY")
    if explicit:
        return [("CPCLIENT_LIBRARY", explicit)]
    found = []
    installed = _installed_candidate()
    if installed:
        found.append(("installed beside the package", installed))
    found.append(("the system's loader", SONAME))
    return found


_lock = threading.Lock()
_library = None
_path = None


def load():
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
            + "\nSet CPCLIENT_LIBRARY to the library's path (e.g. build/libcpclient.so.1)."
        )


def loaded_path():
    """The path or name the library was loaded from, or None before the first load."""
    return _path


def texts(values):
    """A C array of the given byte strings (None: a null element) for the row functions."""
    return (c_char_p * len(values))(*values)


def utf16(text):
    """A NUL-terminated UTF-16 buffer of text for cpdll_SetAttributeValues."""
    units = text.encode("utf-16-le")
    return (c_uint16 * (len(units) // 2 + 1)).from_buffer_copy(units + b"\0\0")
