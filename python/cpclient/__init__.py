"""cpclient for Python: providers for the monitoring agent, over the shared library (ctypes).

    import cpclient

    provider = cpclient.Provider()

    @provider.group("Memory", 1)
    def memory(request):
        yield ("MemTotal", 16318480)          # one row: str, int, float, bool, None

    @provider.task()
    def task(request):
        return 0, [request.command]           # rc and outputs

    provider.run(workers=2)                   # "shutdown", "stopped" (Ctrl-C) or "gave up"

The layers: _native binds the library's exports (nothing else of the library is
reached); _provider holds Provider, its dispatcher and the run loop; testing runs a
provider against agentemu. The standard library is all they need.
"""

from __future__ import annotations

from typing import Optional

from . import _native
from ._native import (
    AGENT_SHUTDOWN,
    CONNECT_FAILED,
    CONNECTION_LOST,
    ID_NOT_PENDING,
    ILLEGAL_STATE,
    NO_MEMORY,
    NO_PORT,
    OK,
    TIMED_OUT,
    UNKNOWN_GROUP,
    WRITE_FAILED,
    LibraryNotFoundError,
    Result,
)
from ._provider import TASKS, CpError, Filter, Outcome, Provider, Request, RequestError, RequestKind
from ._stats import Stats
from ._service import JournalFormatter

__all__ = [
    "Provider", "Request", "Filter", "CpError", "RequestError", "LibraryNotFoundError",
    "Outcome", "RequestKind", "Result", "JournalFormatter", "Stats", "TASKS",
    "configuration", "subnode_configuration", "result_text",
    "OK", "NO_PORT", "CONNECT_FAILED", "ILLEGAL_STATE", "WRITE_FAILED", "UNKNOWN_GROUP",
    "ID_NOT_PENDING", "NO_MEMORY", "TIMED_OUT", "AGENT_SHUTDOWN", "CONNECTION_LOST",
]


def _decoded(raw: Optional[bytes]) -> Optional[str]:
    return None if raw is None else raw.decode("utf-8", "surrogateescape")


def configuration(name: str) -> Optional[str]:
    """The value of configuration property name, or None."""
    return _decoded(_native.load().cpdll_GetConfigurationProperty(name.encode()))


def subnode_configuration(name: str, subnode_type: str, subnode_key: str) -> Optional[str]:
    """The value of variable name for subnode subnode_key of subnode_type, with the library's
    fall-backs to the type's default and the plain variable; or None."""
    lib = _native.load()
    return _decoded(lib.cpdll_GetSubnodeConfigurationProperty(name.encode(), subnode_type.encode(),
                                                              subnode_key.encode()))


def result_text(code: int) -> str:
    """The library's short English text for a CP_ result."""
    text: bytes = _native.load().cpdll_ResultText(code)
    return text.decode()
