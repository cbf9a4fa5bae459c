"""The service manager's side of a run: notify datagrams (ready, status, watchdog, stopping) and journal priorities."""

from __future__ import annotations

import logging
import math
import os
import socket
import sys
import time
from typing import IO, Any, Mapping, Optional

log = logging.getLogger("cpclient")


class Notifier:
    """The service manager's notify socket, named by NOTIFY_SOCKET in environ (a path, or an abstract
    name after "@"); nothing at all is sent without it. Each notice is one datagram of NAME=value
    lines, sent without blocking. A socket that fails (an unusable name, missing, refused, full) is
    logged once, as a warning; every later notice is still tried and its failure ignored. The
    watchdog (WATCHDOG_USEC; for this process alone when WATCHDOG_PID is set) is pinged every half of
    its interval by whoever calls watchdog(). Used by run's thread alone."""

    def __init__(self, environ: Mapping[str, str]) -> None:
        self._socket: Optional[socket.socket] = None
        self._address = b""
        self._where = environ.get("NOTIFY_SOCKET", "")
        self._ready = False  # a READY=1 went out
        self._complained = False
        self._period = math.inf  # seconds between pings
        self._due = math.inf
        if not self._where:
            return
        if self._where[0] not in "/@":
            self._complain("it is neither a path nor an '@' name")
            return
        self._address = (b"\0" + os.fsencode(self._where[1:])) if self._where[0] == "@" else os.fsencode(self._where)
        try:
            self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self._socket.setblocking(False)
        except OSError as error:
            self._complain(error.strerror or str(error))
            return
        usec, pid = environ.get("WATCHDOG_USEC", ""), environ.get("WATCHDOG_PID")
        if usec.isdigit() and int(usec) > 0 and (pid is None or (pid.isdigit() and int(pid) == os.getpid())):
            self._period = int(usec) / 2e6
            self._due = time.monotonic() + self._period

    def close(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def ready(self, status: str) -> None:
        """"READY=1\\nSTATUS=status" until a READY=1 has gone out, then "STATUS=status"."""
        self._ready = self._send(("STATUS=" if self._ready else "READY=1\nSTATUS=") + status) or self._ready

    def status(self, status: str) -> None:
        self._send("STATUS=" + status)

    def stopping(self, status: str) -> None:
        self._send("STOPPING=1\nSTATUS=" + status)

    def watchdog(self) -> float:
        """Sends WATCHDOG=1 when due; the seconds until the next is due (inf without a watchdog)."""
        now = time.monotonic()
        if now >= self._due:
            self._send("WATCHDOG=1")
            self._due = now + self._period
        return self._due - now

    def _send(self, text: str) -> bool:
        if self._socket is None:
            return False
        try:
            self._socket.sendto(text.encode(), self._address)
            return True
        except OSError as error:
            self._complain(error.strerror or str(error))
            return False

    def _complain(self, why: str) -> None:
        if not self._complained:
            self._complained = True
            log.warning("cpclient: cannot notify the service manager at NOTIFY_SOCKET=%s: %s; "
                        "later failures are not logged", self._where, why)


def is_journal(stream: Any) -> bool:
    """True when stream (a file object) is the journal's stream: JOURNAL_STREAM holds its "device:inode"."""
    try:
        device, inode = map(int, os.environ["JOURNAL_STREAM"].split(":"))
        status = os.fstat(stream.fileno())
    except (KeyError, ValueError, OSError, AttributeError):  # io.UnsupportedOperation is an OSError
        return False
    return (status.st_dev, status.st_ino) == (device, inode)


def priority(level: int) -> int:
    """The journal's (syslog's) priority of a logging level: 2 CRITICAL, 3 ERROR, 4 WARNING, 6 INFO, 7 DEBUG."""
    for floor, number in ((logging.CRITICAL, 2), (logging.ERROR, 3), (logging.WARNING, 4), (logging.INFO, 6)):
        if level >= floor:
            return number
    return 7


class JournalFormatter(logging.Formatter):
    """A logging.Formatter that, when stream (standard error by default) is the journal's stream,
    starts every line of a record (a traceback's too) with its priority, "<3>" for ERROR, "<4>"
    WARNING, "<6>" INFO, so that the journal files it at that level; elsewhere it formats as
    logging.Formatter does. The package installs no handler of its own: give this to the handler
    that writes to standard error, e.g. logging.basicConfig(handlers=[h]) with h.setFormatter(...)."""

    def __init__(self, fmt: Optional[str] = None, datefmt: Optional[str] = None,
                 stream: Optional[IO[str]] = None) -> None:
        super().__init__(fmt, datefmt)
        self.journal = is_journal(sys.stderr if stream is None else stream)

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        if not self.journal:
            return text
        prefix = f"<{priority(record.levelno)}>"
        return prefix + text.replace("\n", "\n" + prefix)
