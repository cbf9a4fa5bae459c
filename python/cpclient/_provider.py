"""The provider layer: handlers per group and for tasks, the run loop, its dispatcher and events."""

import collections
import logging
import numbers
import operator
import signal
import threading
import time
from ctypes import POINTER, byref, c_int, sizeof

from . import _native as native

log = logging.getLogger("cpclient")

# The C library has one connection per process: one run at a time.
_running = threading.Lock()


class CpError(Exception):
    """A failed library call: code is the CP_ result (a negative int), text cpdll_ResultText's."""

    def __init__(self, code, text=None):
        if text is None:
            text = native.load().cpdll_ResultText(code).decode()
        super().__init__(f"{text} ({code})")
        self.code = code
        self.text = text


class RequestError(Exception):
    """Raised by a handler to answer its request with rc: a data request's error code, a task's rc.
    An rc that is no int, or that C's int cannot hold, answers handler_error_rc instead (logged)."""

    def __init__(self, rc, message=""):
        super().__init__(message or f"answered with rc {rc}")
        self.rc = rc


Filter = collections.namedtuple("Filter", "name value op log_op")
Filter.__doc__ = "One filter of a data request; op and log_op are None when the agent sent none."


def _text(raw):
    return None if raw is None else raw.decode("utf-8", "surrogateescape")


class Request:
    """A request as plain Python values, copied out of the library's record (which is freed at once).

    kind is one of "data", "task", "start", "stop". group is the group's name (None for tasks),
    group_id its number; id is what data and task requests are answered under.
    """

    KINDS = {native.DATA_REQUEST: "data", native.TASK_REQUEST: "task",
             native.START_REQUEST: "start", native.STOP_REQUEST: "stop"}

    __slots__ = ("kind", "group", "group_id", "id", "request_started_id", "command", "user",
                 "subnode", "shutting_down", "filters")

    def __init__(self, record, group_name):
        self.kind = self.KINDS.get(record.requestType, "none")
        self.group_id = record.groupId
        self.group = group_name
        self.id = _text(record.id)
        self.request_started_id = _text(record.requestStartedID)
        self.command = _text(record.command)
        self.user = _text(record.user)
        self.subnode = _text(record.subnode)
        self.shutting_down = bool(record.shuttingDown)
        self.filters = []
        node = record.requestInfo
        while node:
            info = node.contents
            self.filters.append(Filter(_text(info.name), _text(info.value), _text(info.op), _text(info.logOp)))
            node = info.next

    def wants(self, column, key):
        """True unless an equality filter (op "EQ" or none) on column names another key than key."""
        return all(f.value == key for f in self.filters if f.name == column and f.op in (None, "EQ"))

    def __repr__(self):
        return f"<Request {self.kind} group={self.group!r} id={self.id!r} command={self.command!r}>"


def value_bytes(value):
    """One value as the UTF-8 bytes the library takes, or None for a null value.

    str is encoded; bytes go as they are; integers and other real numbers (as int and float) as
    Python writes them (repr: the shortest text that reads back exactly); bool as true/false.
    ValueError refuses a NUL, which would silently cut the value in C, and text that is not valid
    UTF-8 (a lone surrogate too), which would make the agent's XML parser reject the message.
    """
    if value is None:
        return None
    if isinstance(value, bool):
        raw = b"true" if value else b"false"
    elif isinstance(value, numbers.Integral):
        raw = int.__repr__(int(value)).encode()
    elif isinstance(value, numbers.Real):
        raw = float.__repr__(float(value)).encode()
    elif isinstance(value, str):
        raw = value.encode("utf-8", "surrogatepass")  # a lone surrogate: bytes the check below refuses
    elif isinstance(value, bytes):
        raw = value
    else:
        raise TypeError(f"a value is str, int, float, bool, bytes or None, not {type(value).__name__}")
    if b"\0" in raw:
        raise ValueError(f"a value holds a NUL character: {value!r}")
    if not raw.isascii():
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"a value is not valid UTF-8: {value!r}") from None
    return raw


_INT_BITS = 8 * sizeof(c_int)
_INT_MIN, _INT_MAX = -(2 ** (_INT_BITS - 1)), 2 ** (_INT_BITS - 1) - 1


def _c_int(number, what="an rc"):
    """number as an int that the library's C int parameters take. ctypes would wrap a larger one
    (2**32 goes as 0, success) and refuse a non-integer at the call, so TypeError refuses what is
    no integer (bool and IntEnum are, as 1/0 and their number) and ValueError what C cannot hold."""
    try:
        value = operator.index(number)
    except TypeError:
        raise TypeError(f"{what} is an int, not {type(number).__name__}: {number!r}") from None
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"C's int cannot hold {what} of {value} ({_INT_MIN}..{_INT_MAX})")
    return value


def _id_bytes(request_id):
    """A request id as the very bytes the library handed over (a numeric character reference
    may make any byte), so that the library finds the request pending under it."""
    return request_id.encode("utf-8", "surrogateescape")


def _row(row):
    if isinstance(row, (str, bytes)):
        raise TypeError(f"a row is a sequence of values, not one text: {row!r}")
    return [value_bytes(value) for value in row]


class _Group:
    __slots__ = ("name", "version", "id", "handler")

    def __init__(self, name, version, group_id, handler):
        self.name, self.version, self.id, self.handler = name, version, group_id, handler


class _Dispatcher:
    """Runs jobs on a pool of threads, or inline when it has none. Jobs of one key (>= 0) run one
    at a time in the order submitted; other keys, and key -1, run in parallel."""

    def __init__(self, workers, run):
        self._run = run
        self._cond = threading.Condition()
        self._ready = collections.deque()
        self._busy = {}  # key of a job queued or running: the jobs behind it
        self._outstanding = 0
        self._quit = False
        # Daemons: a second Ctrl-C may leave run() while a handler still runs.
        self._threads = [threading.Thread(target=self._work, name=f"cpclient-worker-{n}", daemon=True)
                         for n in range(workers)]
        for thread in self._threads:
            thread.start()

    def submit(self, key, job):
        if not self._threads:
            return self._run(job)
        with self._cond:
            self._outstanding += 1
            if key >= 0:
                if key in self._busy:
                    self._busy[key].append(job)
                    return
                self._busy[key] = collections.deque()
            self._ready.append((key, job))
            self._cond.notify()

    def drain(self):
        """Waits until every job submitted has run."""
        with self._cond:
            self._cond.wait_for(lambda: self._outstanding == 0)

    def close(self):
        with self._cond:
            self._quit = True
            self._cond.notify_all()
        for thread in self._threads:
            thread.join()

    def _work(self):
        with self._cond:
            while True:
                self._cond.wait_for(lambda: self._quit or self._ready)
                if not self._ready:
                    return
                key, job = self._ready.popleft()
                self._cond.release()
                try:
                    self._run(job)
                finally:
                    self._cond.acquire()
                    self._finish(key)

    def _finish(self, key):
        """Under the lock: the next job of key becomes ready, or key is free again."""
        if key >= 0:
            behind = self._busy[key]
            if behind:
                self._ready.append((key, behind.popleft()))
            else:
                del self._busy[key]
        self._outstanding -= 1
        self._cond.notify_all()


class Provider:
    """A provider: its groups and handlers, and the loop that serves them.

    Set it up (group, task, on_start, on_stop) before run(). A group's data, start and stop
    handlers never run at the same time as each other and see its requests in order; different
    groups and tasks run in parallel on the workers. event(), event_error(), stop() and
    connected may be used from any thread at any time.
    """

    def __init__(self):
        self._groups = {}  # name: _Group
        self._by_id = {}
        self._task = None
        self._on_start = None
        self._on_stop = None
        self._stopping = False  # a plain store: safe from a signal handler
        self._up = False  # registered and not being closed; events are refused while it is False
        self._options = None

    # ---- Set-up -------------------------------------------------------------

    def group(self, name, version=1):
        """Decorator: handler(request) serves group name's data requests and returns its rows, an
        iterable (a generator too) of rows, each an iterable of values. Raising RequestError(rc)
        answers with error rc; any other exception with run's handler_error_rc. A name given
        again replaces the handler and keeps its number. ValueError or TypeError refuses a name
        or version that cannot be sent."""
        value_bytes(name)
        version = _c_int(version, "a group version")

        def register(handler):
            known = self._groups.get(name)
            if known:
                known.version, known.handler = version, handler
            else:
                group = _Group(name, version, len(self._groups) + 1, handler)
                self._groups[name] = self._by_id[group.id] = group
            return handler

        return register

    def task(self):
        """Decorator: handler(request) runs task requests and returns the answer: None (rc 0), an
        int rc, or (rc, outputs) where each output is a value or a (value, instance) pair.
        Raising RequestError(rc) answers rc; any other exception, or an rc or a value that cannot
        be sent, handler_error_rc. Without a handler, tasks are answered handler_error_rc. It may
        run on several workers at once."""

        def register(handler):
            self._task = handler
            return handler

        return register

    def on_start(self, handler):
        """Decorator: handler(request) is told of the start of a request on a group; no answer."""
        self._on_start = handler
        return handler

    def on_stop(self, handler):
        """Decorator: handler(request) is told of the stop of a request on a group; no answer."""
        self._on_stop = handler
        return handler

    # ---- Running ------------------------------------------------------------

    def run(self, *, port=0, workers=0, reconnect=True, reconnect_attempts=10, backoff=0.2,
            max_backoff=5.0, poll=0.15, handler_error_rc=1, handle_signals=True):
        """Connects, registers every group and serves requests. Returns "shutdown" when the agent
        shut down, "stopped" after stop() (or SIGINT/SIGTERM); raises CpError when the first open
        fails (its result) or when a lost connection cannot be had again (CONNECTION_LOST, also
        with reconnect=False). Every handler has returned and the connection is closed when it
        returns.

        port: the agent's port (0: CP_PORT). workers: handler threads (0: handlers run on this
        thread). A lost connection is opened again after backoff seconds, doubled after each
        failure up to max_backoff, at most reconnect_attempts times. poll: seconds between two
        looks at the stop flag. handle_signals: on the main thread, SIGINT and SIGTERM call
        stop() for the run's duration (a second SIGINT raises KeyboardInterrupt). handler_error_rc
        must be an int that C's int holds (else ValueError or TypeError, before connecting)."""
        error_rc = _c_int(handler_error_rc, "handler_error_rc")
        library = native.load()
        if not _running.acquire(blocking=False):
            raise RuntimeError("cpclient: another Provider is running in this process")
        try:
            self._options = dict(reconnect=reconnect, attempts=reconnect_attempts, backoff=backoff,
                                 max_backoff=max_backoff, poll_ms=max(1, int(poll * 1000)),
                                 error_rc=error_rc)
            with _Signals(self if handle_signals else None):
                if self._stopping:
                    return "stopped"
                if port:
                    library.cpdll_setPort(port)
                result = self._connect()
                if result != native.OK:
                    raise CpError(result)
                dispatcher = _Dispatcher(workers, self._handle)
                try:
                    outcome = self._serve(dispatcher)
                    dispatcher.drain()
                finally:
                    dispatcher.close()
                    self._disconnect()
                if isinstance(outcome, int):
                    raise CpError(outcome)
                return outcome
        finally:
            _running.release()

    def stop(self):
        """Asks run() to finish: it sees the flag within poll, lets running handlers finish,
        closes and returns. The flag stays set: a stop before run() makes it return at once."""
        self._stopping = True

    @property
    def stopping(self):
        return self._stopping

    @property
    def connected(self):
        """True while registered with the agent: events can be sent."""
        return self._up

    # ---- Events -------------------------------------------------------------

    def event(self, group, *values, subnode=None):
        """Sends one row of values as an event of group (by name), marked with subnode if given.
        Raises CpError: UNKNOWN_GROUP for a name not registered here, ILLEGAL_STATE while the
        connection is down, else the library's result; ValueError or TypeError for a value that
        cannot be sent (value_bytes), before anything is sent."""
        row = native.texts(_row(values))
        target = self._target(group)
        if subnode is None:
            self._check(lambda lib: lib.cpdll_SendEventData(row, len(values), target))
        else:
            name = value_bytes(subnode)
            self._check(lambda lib: lib.cpdll_SendSubnodeEventData(row, len(values), target, name))

    def event_error(self, group, rc, subnode=None):
        """Sends error code rc as an event of group, optionally for subnode. Raises as event(), and
        ValueError or TypeError for an rc that C's int cannot take."""
        rc = _c_int(rc)
        target = self._target(group)
        if subnode is None:
            self._check(lambda lib: lib.cpdll_SendEventError(rc, target))
        else:
            name = value_bytes(subnode)
            self._check(lambda lib: lib.cpdll_SendSubnodeEventError(rc, target, name))

    def _target(self, name):
        group = self._groups.get(name)
        if group is None:
            raise CpError(native.UNKNOWN_GROUP, f"no group named {name!r} is registered here")
        return group.id

    def _check(self, send):
        # The library refuses an event that begins during a close, and a close waits for events
        # under way; the flag only spares the call while the connection is known to be down.
        library = native.load()
        result = send(library) if self._up else native.ILLEGAL_STATE
        if result != native.OK:
            raise CpError(result)

    # ---- The connection ------------------------------------------------------

    def _connect(self):
        library = native.load()
        result = library.cpdll_OpenConnection()
        for group in self._groups.values():
            if result == native.OK:
                result = library.cpdll_RegisterAttrGroup(value_bytes(group.name), group.version, group.id)
        if result == native.OK:
            # Up before the registration goes out, so that an event the agent may already
            # expect is never refused here; until then the library refuses events itself.
            self._up = True
            result = library.cpdll_RegistrationComplete()
        if result != native.OK:
            self._disconnect()
        return result

    def _disconnect(self):
        self._up = False
        native.load().cpdll_CloseConnection()

    def _serve(self, dispatcher):
        """The wait loop: "shutdown", "stopped", or the result that ends the run."""
        library = native.load()
        poll_ms = self._options["poll_ms"]
        while not self._stopping:
            record = POINTER(native.CPREQUEST)()
            result = library.cpdll_WaitForRequestTimed(byref(record), poll_ms)
            try:
                request = self._request(record.contents) if result == native.OK and record else None
            finally:
                library.cpdll_FreeRequest(record)
            if request is not None:
                # Dispatched before the stop flag is looked at again: a request taken is answered.
                key = -1 if request.kind == "task" else request.group_id
                dispatcher.submit(key, request)
            elif result == native.AGENT_SHUTDOWN:
                return "shutdown"
            elif result == native.CONNECTION_LOST:
                log.warning("cpclient: the connection to the agent was lost")
                if not self._options["reconnect"]:
                    return result
                dispatcher.drain()  # their answers fail harmlessly on the dead connection
                self._disconnect()
                result = self._reconnect()
                if result != native.OK:
                    return result
            elif result == native.NO_MEMORY:
                log.warning("cpclient: a request was dropped: %s", CpError(result).text)
            elif result != native.TIMED_OUT:
                return result
        return "stopped"

    def _request(self, record):
        group = self._by_id.get(record.groupId)
        return Request(record, group.name if group and record.requestType != native.TASK_REQUEST else None)

    def _reconnect(self):
        """Opens again with a growing pause between tries: OK when connected or stopped."""
        pause = self._options["backoff"]
        for attempt in range(1, self._options["attempts"] + 1):
            if not self._sleep_unless_stopped(pause):
                return native.OK
            result = self._connect()
            if result == native.OK:
                log.info("cpclient: connected to the agent again")
                return result
            log.warning("cpclient: reconnect attempt %d failed: %s", attempt, CpError(result).text)
            pause = min(pause * 2, self._options["max_backoff"])
        return native.CONNECTION_LOST

    def _sleep_unless_stopped(self, seconds):
        until = time.monotonic() + seconds
        while not self._stopping:
            left = until - time.monotonic()
            if left <= 0:
                return True
            time.sleep(min(left, self._options["poll_ms"] / 1000))
        return False

    # ---- Handlers -----------------------------------------------------------

    def _handle(self, request):
        """Runs one request's handler and sends its answer; never raises."""
        try:
            if request.kind == "data":
                self._answer_data(request)
            elif request.kind == "task":
                self._answer_task(request)
            else:
                handler = self._on_start if request.kind == "start" else self._on_stop
                if handler:
                    handler(request)
        except Exception:
            log.exception("cpclient: the handler of %s failed", _subject(request))

    # Each request gets exactly one answer: it is sent in a finally, so that one goes out (the
    # handler's error) also when a KeyboardInterrupt or SystemExit passes through the handler.

    def _answer_data(self, request):
        library = native.load()
        request_id = _id_bytes(request.id)
        error_rc = self._options["error_rc"]  # unless the handler completes or refuses
        try:
            for row in self._by_id[request.group_id].handler(request) or ():
                values = _row(row)
                result = library.cpdll_SetAttributeValuesUtf8(native.texts(values), len(values), request_id)
                if result != native.OK:
                    raise CpError(result)
            error_rc = None
        except RequestError as refusal:
            error_rc = self._refusal_rc(request, refusal)
        except Exception:
            log.exception("cpclient: the handler of %s failed", _subject(request))
        finally:
            if error_rc is None:
                result = library.cpdll_SendData(request_id)
            else:
                result = library.cpdll_SendError(error_rc, request_id)
            if result != native.OK:
                log.warning("cpclient: the answer to data request %s failed: %s", request.id, CpError(result).text)

    def _answer_task(self, request):
        answer = self._options["error_rc"], [], []  # unless the handler completes or refuses
        try:
            if self._task:
                answer = _task_answer(self._task(request))
        except RequestError as refusal:
            answer = self._refusal_rc(request, refusal), [], []
        except Exception:
            log.exception("cpclient: the handler of %s failed", _subject(request))
        finally:
            rc, values, insts = answer
            result = native.load().cpdll_SendTaskOutput(rc, _id_bytes(request.id), native.texts(values),
                                                        native.texts(insts), len(values))
            if result != native.OK:
                log.warning("cpclient: the answer to task %s failed: %s", request.id, CpError(result).text)

    def _refusal_rc(self, request, refusal):
        """The rc of a RequestError, or handler_error_rc (logged) when the library cannot take it."""
        try:
            return _c_int(refusal.rc)
        except (TypeError, ValueError) as error:
            log.error("cpclient: the handler of %s raised RequestError with an unusable rc: %s",
                      _subject(request), error)
            return self._options["error_rc"]


def _task_answer(answer):
    """(rc, values, insts) of a task handler's return value, as the library takes them; TypeError
    or ValueError when it has none of the shapes or holds an rc or a value that cannot be sent."""
    if answer is None:
        rc, outputs = 0, ()
    elif isinstance(answer, int) and not isinstance(answer, bool):
        rc, outputs = answer, ()
    elif isinstance(answer, tuple) and len(answer) == 2 and isinstance(answer[0], int):
        rc, outputs = answer
    else:
        raise TypeError(f"a task handler returns None, an rc or (rc, outputs), not {answer!r}")
    values, insts = [], []
    for output in outputs:
        value, inst = output if isinstance(output, tuple) else (output, None)
        values.append(value_bytes(value))
        insts.append(value_bytes(inst))
    return _c_int(rc), values, insts


def _subject(request):
    return f"task {request.id}" if request.kind == "task" else f"group {request.group}"


class _Signals:
    """While a run lasts, on the main thread: SIGINT and SIGTERM stop the provider; a SIGINT
    that comes when it is stopping already raises KeyboardInterrupt. The handlers before are
    put back at the end."""

    NUMBERS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, provider):
        self._provider = provider
        self._before = {}

    def __enter__(self):
        if self._provider and threading.current_thread() is threading.main_thread():
            for number in self.NUMBERS:
                self._before[number] = signal.signal(number, self._caught)
        return self

    def __exit__(self, *exc):
        for number, handler in self._before.items():
            signal.signal(number, handler)

    def _caught(self, number, frame):
        if number == signal.SIGINT and self._provider.stopping:
            raise KeyboardInterrupt
        self._provider.stop()
