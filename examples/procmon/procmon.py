#!/usr/bin/env python3
"""procmon in Python: the example provider of procmon.cpp over the cpclient package.

Serves this machine's per-CPU times and memory figures, and survives restarts of
the agent. Groups and their columns (the first is the row's key):
  CPU     cpu user nice system idle iowait   (/proc/stat, in clock ticks)
  Memory  name kB                            (/proc/meminfo)
A filter on the key column with op "EQ" (or none) keeps only the rows with that
key; other filters are left to the agent. Tasks: "loadavg" answers rc 0 with
three outputs (instances 1m, 5m, 15m), "echo TEXT" answers rc 0 with TEXT, any
other command rc 2. Every PROCMON_EVENT_MS milliseconds (default 1000; 0: none) a
thread of its own sends a Memory event with MemAvailable. SIGINT and SIGTERM end
it cleanly (run handles them).

As a service: procmon-py.service (README, "Running as a service").

Run it: PYTHONPATH=python CPCLIENT_LIBRARY=build/libcpclient.so.1 \
        build/agentemu --rounds 2 --task loadavg -- examples/procmon/procmon.py
"""

import logging
import os
import sys
import threading

import cpclient

UNKNOWN_TASK_RC = 2

provider = cpclient.Provider()


@provider.group("CPU", 1)
def cpu(request):
    with open("/proc/stat") as stat:
        for line in stat:
            if not line.startswith("cpu"):
                break
            name, *ticks = line.split()
            if request.wants("cpu", name):
                yield [name, *map(int, ticks[:5])]


def meminfo():
    """(name, kB) of each /proc/meminfo line."""
    with open("/proc/meminfo") as lines:
        for line in lines:
            name, value = line.split(":", 1)
            yield name, int(value.split()[0])


@provider.group("Memory", 1)
def memory(request):
    return ([name, kB] for name, kB in meminfo() if request.wants("name", name))


@provider.task()
def task(request):
    command = request.command or ""
    if command == "loadavg":
        with open("/proc/loadavg") as loadavg:
            load = loadavg.read().split()[:3]
        return 0, [(float(value), inst) for value, inst in zip(load, ("1m", "5m", "15m"))]
    if command.startswith("echo "):
        return 0, [command[5:]]
    return UNKNOWN_TASK_RC


def send_events(period_s, stopped):
    """Sends MemAvailable as an event every period_s until stopped. While the connection is down
    the event is refused (ILLEGAL_STATE), and the next one is tried."""
    while not stopped.wait(period_s):
        try:
            provider.event("Memory", "MemAvailable", dict(meminfo()).get("MemAvailable", -1))
        except cpclient.CpError:
            pass


def main():
    # The package's warnings on standard error, with the journal's priorities when run as a service.
    handler = logging.StreamHandler()
    handler.setFormatter(cpclient.JournalFormatter("%(message)s"))
    logging.basicConfig(handlers=[handler])
    period_ms = int(os.environ.get("PROCMON_EVENT_MS", "1000"))
    stopped = threading.Event()
    events = threading.Thread(target=send_events, args=(period_ms / 1000, stopped), daemon=True)
    if period_ms > 0:
        events.start()
    try:
        outcome = provider.run(workers=2)  # the task and the two groups may run side by side
    finally:
        stopped.set()
    if outcome == cpclient.Outcome.GAVE_UP:
        print(f"procmon: {provider.error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
