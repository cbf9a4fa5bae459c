"""Providers that the tests run under agentemu, each in a process of its own (cpclient.testing)."""

import dataclasses
import http
import json
import logging
import os
import threading
import time

import cpclient


def everything():
    """Every handler kind, every value type, handlers that fail; exits 0 when the shutdown ended run."""
    p = cpclient.Provider()

    @p.group("Values", 1)
    def values(req):
        yield ["&<>\"'", "line\nfeed", "üñ€😀", 42, -7, 2**70, 1.5, 0.1, True, None]
        yield [req.id, req.subnode, " ".join(f"{f.name}{f.op}{f.value}{f.log_op}" for f in req.filters)]

    @p.group("Fail", 1)
    def fail(req):
        yield ["dropped with the error"]
        raise ValueError("the source broke")

    @p.group("Refuse")
    def refuse(req):
        raise cpclient.RequestError(7)

    p.group("Nul")(lambda req: [["a\0b"]])

    @p.task()
    def task(req):
        if req.command == "raise":
            raise RuntimeError("the task broke")
        return (3, ["x", ("y", "i1"), None, 2.5]) if req.command == "out" else None

    p.on_start(lambda req: p.event(req.group, "started", req.request_started_id))
    p.on_stop(lambda req: p.event_error(req.group, 9, subnode="S1"))
    return 0 if p.run(workers=2) == "shutdown" else 1


def concurrent():
    """Three groups on four workers; each answer's rows carry its id, with pauses between them.
    The task "peak" answers the most handlers of one group, and of all, that ran at once."""
    p = cpclient.Provider()
    lock, active, peak = threading.Lock(), {}, [0, 0]

    def rows(req):
        with lock:
            active[req.group] = active.get(req.group, 0) + 1
            peak[:] = max(peak[0], active[req.group]), max(peak[1], sum(active.values()))
        try:
            for n in range(3):
                time.sleep(0.02)
                yield [req.id, n]
        finally:
            with lock:
                active[req.group] -= 1

    for name in "ABC":
        p.group(name)(rows)
    p.task()(lambda req: (0, peak))
    return 0 if p.run(workers=4) == "shutdown" else 1


def restarting():
    """Survives restarts; an event thread sends all along. The task answers the codes its
    events were refused with."""
    p = cpclient.Provider()
    refused = set()
    p.group("G")(lambda req: [[req.id]])
    p.task()(lambda req: (0, sorted(refused)))

    def events():
        while not p.stopping:
            try:
                p.event("G", "tick")
            except cpclient.CpError as error:
                refused.add(error.code)
            time.sleep(0.01)

    threading.Thread(target=events, daemon=True).start()
    return 0 if p.run(backoff=0.05, poll=0.05) == "shutdown" else 1


def interruptible():
    """Its request "slow" sends an event and takes 0.3 s; exits 0 when stopped by a signal."""
    p = cpclient.Provider()

    @p.group("G")
    def g(req):
        if req.id == "slow":
            p.event("G", "busy")
            time.sleep(0.3)
        return [[req.id]]

    return 0 if p.run(workers=int(os.environ.get("WORKERS", "0"))) == "stopped" else 1


# Rcs that a handler raises or returns, and values that it sends, by case name (see unsendable).
RCS = {"2**40": 2**40, "-2**63": -2**63, "2**32+5": 2**32 + 5, "2**31": 2**31, "-2**31-1": -2**31 - 1, "str": "5",
       "float": 5.0, "INT_MAX": 2**31 - 1, "INT_MIN": -2**31, "IntEnum": http.HTTPStatus.NOT_FOUND, "True": True}
VALUES = {"bytes": b"\xff", "cut": b"ok\xc3", "low-surrogate": "\udcff", "high-surrogate": "\ud800"}


def unsendable():
    """Data request CASE, and task "raise CASE", "return CASE" or "inst CASE", answer with case
    CASE; task "text T" answers T as the outputs, "tag T" one output with instance T;
    handler_error_rc is 99. Data request "interrupt" raises KeyboardInterrupt."""
    p = cpclient.Provider()

    @p.group("G")
    def rows(req):
        if req.id == "interrupt":
            raise KeyboardInterrupt  # as a second Ctrl-C does: run ends
        if req.id in RCS:
            raise cpclient.RequestError(RCS[req.id])
        return [["ok"], ["ok", VALUES[req.id]]]

    @p.task()
    def task(req):
        how, case = req.command.split(" ", 1)
        if how in ("text", "tag"):
            return 0, case if how == "text" else [("v", case)]
        if how == "raise":
            raise cpclient.RequestError(RCS[case])
        return (RCS[case], ["ok"]) if how == "return" else (0, ["ok", ("ok", VALUES[case])])

    return 0 if p.run(handler_error_rc=99) == "shutdown" else 1


def patient():
    """Logs to stderr and tries until an agent answers; exits 0 when run's outcome is $WANT. Its
    group's request "hang" takes a minute, on $WORKERS workers with a grace of 10 s."""
    logging.basicConfig(format="%(levelname)s %(message)s")
    p = cpclient.Provider()
    p.group("G")(lambda req: time.sleep(60) if req.id == "hang" else [[req.id]])
    outcome = p.run(workers=int(os.environ.get("WORKERS", "0")), grace=10)
    return 0 if outcome == os.environ.get("WANT", "shutdown") else 1


def slow_groups():
    """Group Slow (deadline 0.5 s, rc 42, columns id,n): request "hang" adds a row, then waits
    until "hold" runs and adds one more, late; "hold" takes 0.3 s, "wide" sends 3 values, "dict"
    a dict. Snapshot Procs (pid,name) collects every 30 s, Broken's collector raises. Task "nap"
    sleeps past the tasks' deadline; "stats" answers the statistics and collections as JSON."""
    p, go, collections = cpclient.Provider(), threading.Event(), [0]

    @p.group("Slow", deadline=0.5, deadline_rc=42, columns=["id", "n"])
    def slow(req):
        yield [req.id, 1]
        if req.id == "hang":
            go.wait(10)
            yield [req.id, "late"]
        elif req.id == "hold":
            go.set()
            time.sleep(0.3)
        elif req.id in ("wide", "dict"):
            yield [req.id, 2, 3] if req.id == "wide" else {"id": req.id}

    @p.snapshot("Procs", every=30, columns=["pid", "name"])
    def procs():
        collections[0] += 1
        return [[1, "init"], [2, "sh"]]

    p.snapshot("Broken", every=30)(lambda: 1 / 0)

    @p.task()
    def task(req):
        if req.command == "nap":
            time.sleep(1)
        stats = {name: dataclasses.asdict(s) for name, s in p.stats().items()}
        return 0, [json.dumps({"stats": stats, "collections": collections[0]})]

    return p


def deadlines():
    """slow_groups() on one worker, handler_error_rc 7, the tasks' deadline 0.5 s; logs INFO to stderr."""
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    run = slow_groups().run(workers=1, handler_error_rc=7, task_deadline=0.5, stats_log_interval=0.2)
    return 0 if run == "shutdown" else 1
