"""The pure parts without the library: result codes against the header, enums, value and name
conversion, task answers and the dispatcher."""

import logging
import os
import re
import tempfile
import threading
import time
import unittest
from unittest import mock

import cpclient
from cpclient._provider import _Dispatcher, name_bytes, task_answer, value_bytes
from cpclient._stats import WINDOW, Counter, snapshot_rows

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "include", "cpclient.h")


class Units(unittest.TestCase):
    def test_result_codes_are_the_headers(self):
        with open(HEADER, encoding="utf-8") as header:
            defined = dict(re.findall(r"^#define CP_(\w+) \(?(-?\d+)\)?", header.read(), re.M))
        del defined["INTERFACE_LEVEL"]
        self.assertEqual({name: int(value) for name, value in defined.items()},
                         {result.name: int(result) for result in cpclient.Result})
        self.assertIs(cpclient.Result.TIMED_OUT, cpclient.CpError(-11, "timed out").code)

    def test_the_journal_formatter_marks_every_line_with_its_priority_on_the_journals_stream_alone(self):
        with tempfile.TemporaryFile("w") as stream:
            status = os.fstat(stream.fileno())
            for stream_id, marks in ((f"{status.st_dev}:{status.st_ino}", ("<3>", "<4>", "<6>")),
                                     (f"{status.st_dev}:{status.st_ino + 1}", ("", "", ""))):
                with mock.patch.dict(os.environ, JOURNAL_STREAM=stream_id):
                    formatter = cpclient.JournalFormatter("%(levelname)s %(message)s", stream=stream)
                for level, mark in zip((logging.ERROR, logging.WARNING, logging.INFO), marks):
                    record = logging.LogRecord("cpclient", level, __file__, 1, "two\nlines", None, None)
                    self.assertEqual(f"{mark}{logging.getLevelName(level)} two\n{mark}lines", formatter.format(record))

    def test_outcomes_and_kinds_are_their_strings(self):
        for member, text in ((cpclient.Outcome.SHUTDOWN, "shutdown"), (cpclient.Outcome.STOPPED, "stopped"),
                             (cpclient.Outcome.GAVE_UP, "gave up"), (cpclient.RequestKind.DATA, "data"),
                             (cpclient.RequestKind.TASK, "task"), (cpclient.RequestKind.NONE, "none")):
            with self.subTest(text):
                self.assertEqual((text, text, text, 1), (member, str(member), f"{member}", {text: 1}[member]))
                self.assertIs(member, type(member)(text))

    def test_values_become_their_exact_bytes_or_are_refused(self):
        for value, raw in ((None, None), (True, b"true"), (-7, b"-7"), (2**70, b"1180591620717411303424"),
                           (0.1, b"0.1"), (1e300, b"1e+300"), ("\u00fc&<", b"\xc3\xbc&<"), (b"\xc3\xbc", b"\xc3\xbc")):
            with self.subTest(value=value):
                self.assertEqual(raw, value_bytes(value))
        for value, error in (("a\0b", ValueError), (b"\xff", ValueError), ("\udcff", ValueError), ([1], TypeError)):
            with self.subTest(value=value), self.assertRaises(error):
                value_bytes(value)

    def test_names_that_would_break_a_message_are_refused(self):
        self.assertEqual(b"Disk \xc3\xbc-1", name_bytes("Disk \u00fc-1"))
        for bad in ("a&b", "a<b", "a>b", 'a"b', "a'b", "a\nb", "a\tb", "a\x7fb", "a\x85b", "\udcff"):
            with self.subTest(bad), self.assertRaises(ValueError):
                name_bytes(bad)
        p = cpclient.Provider()
        p.group("G")(lambda req: [])
        for bad in (lambda: p.group(""), lambda: p.group("a<b"), lambda: p.event("G", 1, subnode="s'1"),
                    lambda: p.event_error("G", 1, subnode="s\x01")):
            with self.assertRaises(ValueError):
                bad()

    def test_task_answers_as_the_library_takes_them(self):
        outputs = ["x", ("y", "i&<1"), None, 2.5]  # the library escapes an instance
        for answer, taken in ((None, (0, [], [])), (5, (5, [], [])),
                              ((3, outputs), (3, [b"x", b"y", None, b"2.5"], [None, b"i&<1", None, None]))):
            with self.subTest(answer):
                self.assertEqual(taken, task_answer(answer))
        for answer, error in (((0, "abc"), TypeError), ((0, b"abc"), TypeError), ("0", TypeError),
                              ((0, [("v", "i\x01")]), ValueError), ((2**31, []), ValueError)):
            with self.subTest(answer), self.assertRaises(error):
                task_answer(answer)

    def test_dispatcher_serialises_a_key_and_runs_other_keys_alongside(self):
        done, order, released = threading.Event(), [], threading.Event()
        dispatcher = _Dispatcher(3)
        dispatcher.submit(1, lambda: (released.wait(5), order.append(1)))
        dispatcher.submit(1, lambda: order.append(2))
        dispatcher.submit(-1, released.set)  # runs while key 1 waits for it
        dispatcher.submit(2, done.set)
        self.assertTrue(dispatcher.wait_idle(5))
        dispatcher.close(join=True)
        self.assertEqual(([1, 2], True), (order, done.is_set()))

    def test_dispatcher_that_cannot_start_a_thread_joins_those_started(self):
        made = []

        def factory(**options):
            if len(made) == 2:
                raise RuntimeError("can't start new thread")
            made.append(threading.Thread(**options))
            return made[-1]

        with self.assertRaisesRegex(RuntimeError, "can't start"):
            _Dispatcher(4, factory)
        self.assertEqual([False, False], [thread.is_alive() for thread in made])

    def test_dispatcher_closed_unjoined_leaves_a_running_job_and_drops_those_not_begun(self):
        begun, release, ran = threading.Event(), threading.Event(), []
        dispatcher = _Dispatcher(1)
        dispatcher.submit(-1, lambda: (begun.set(), release.wait(5), ran.append("first")))
        dispatcher.submit(-1, lambda: ran.append("second"))
        begun.wait(5)
        started = time.monotonic()
        dispatcher.close(join=False)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertTrue(dispatcher.threads[0].daemon)
        release.set()
        dispatcher.threads[0].join(5)
        self.assertEqual(["first"], ran)

    def test_latency_percentiles_cover_the_last_window_of_answers(self):
        counter = Counter()
        for ms in [5000] * 10 + list(range(1, WINDOW + 1)):  # the slow ten fall out of the window
            counter.answered(ms / 1000)
        stats = counter.read()
        self.assertEqual((WINDOW + 10, 512.0, 1014.0, 1024.0),
                         (stats.answers, stats.p50_ms, stats.p99_ms, stats.max_ms))

    def test_a_snapshot_applies_equality_filters_on_declared_columns_alone(self):
        rows = [[b"1", b"init"], [b"2", b"sh"], [b"3", None]]
        for filters, kept in (([("name", "sh", "EQ")], [1]), ([("name", "sh", None), ("pid", "1", "EQ")], []),
                              ([("name", "", None)], [2]), ([("pid", "2", "GE")], [0, 1, 2]),
                              ([("user", "root", "EQ")], [0, 1, 2])):
            with self.subTest(filters):
                self.assertEqual([rows[i] for i in kept], snapshot_rows(rows, ("pid", "name"), filters))

    def test_a_detached_job_frees_its_key_and_a_thread_stands_in_for_it(self):
        release, ran = threading.Event(), []
        dispatcher = _Dispatcher(1, max_hung=1)
        hung = lambda: (release.wait(5), ran.append("hung"))  # noqa: E731
        dispatcher.submit(1, hung)
        dispatcher.submit(1, lambda: ran.append("next"))
        while hung not in dispatcher._running:
            time.sleep(0.01)
        dispatcher.detach(1, hung)
        self.assertTrue(dispatcher.wait_idle(5))
        self.assertEqual((["next"], 2), (ran, len(dispatcher.threads)))
        release.set()
        dispatcher.close(join=False)
        for thread in dispatcher.threads:
            thread.join(5)
        self.assertEqual(["next", "hung"], ran)


if __name__ == "__main__":
    unittest.main()
