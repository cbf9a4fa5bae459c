"""Provider against the real library and agentemu: every handler kind, values, failures,
concurrency, restarts, the shutdown and signals."""

import json
import signal
import time
import unittest

import cpclient
import providers
from cpclient import testing


class Provider(unittest.TestCase):
    def test_every_handler_kind_value_type_and_failure(self):
        talk = testing.run(providers.everything, script="""
            start Values
            data Values id=v1 subnode=node1 filter="Name=a b" filter=PID>=7
            data Fail id=f1
            data Refuse id=r1
            data Nul id=n1
            task out id=t1
            task raise id=t2
            task plain id=t3
            stop Values
            wait-events 2
            shutdown""")
        talk.assert_clean()  # also: run returned "shutdown"
        talk.assert_rows([["&<>\"'", "line\nfeed", "üñ€😀", 42, -7, 2**70, 1.5, 0.1, True, None],
                          ["v1", "node1", "NameEQa bAND PIDGE7AND"]], id="v1")
        self.assertEqual([[1], [7], [1]], [talk.errors(id=i) for i in ("f1", "r1", "n1")])
        talk.assert_task(3, ["x", ("y", "i1"), None, 2.5], id="t1")
        talk.assert_task(1, [], id="t2")
        talk.assert_task(0, [], id="t3")
        start, stop = talk.events("Values")
        self.assertEqual(([["started", "1"]], None, None), (start["rows"], start["subnode"], start["rc"]))
        self.assertEqual((None, "S1", 9), (stop["rows"], stop["subnode"], stop["rc"]))

    def test_answers_of_one_group_never_overlap_while_groups_run_in_parallel(self):
        requests = "".join(f"data {g} id={g}{n} nowait\n" for n in range(4) for g in "ABC")
        talk = testing.run(providers.concurrent, script=requests + "wait\ntask peak id=p\n")
        talk.assert_clean()
        for answer in talk.of("data"):
            self.assertEqual([[answer["id"], str(n)] for n in range(3)], answer["rows"])
        self.assertEqual(12, len(talk.of("data")))
        same, every = map(int, (o["value"] for o in talk.task("p")["outputs"]))
        self.assertEqual(1, same)
        self.assertGreater(every, 1)

    def test_an_agent_restart_is_survived_and_events_meanwhile_are_refused(self):
        talk = testing.run(providers.restarting, env={"CP_SLEEP_UNIT_MS": "5"},
                           script="data G id=a\nrestart 300\ndata G id=b\ntask codes id=t\n")
        talk.assert_clean()
        self.assertEqual([["a"], ["b"]], talk.rows("G"))
        self.assertIn((str(cpclient.ILLEGAL_STATE), None), [(o["value"], o["inst"]) for o in talk.task()["outputs"]])
        self.assertEqual(1, talk.summary["restarts"])

    def test_sigint_ends_run_within_a_second_and_the_request_under_way_is_answered(self):
        for case, workers, busy in (("idle", 0, False), ("busy inline", 0, True), ("busy on workers", 2, True)):
            with self.subTest(case), testing.Emulator(
                    script="data G id=first\n" + ("data G id=slow nowait\n" if busy else "") + "sleep 5000\n") as emu:
                provider = emu.launch(providers.interruptible, env={"WORKERS": str(workers)})
                emu.wait_for("event" if busy else "data", group="G")
                sent = time.monotonic()
                provider.send_signal(signal.SIGINT)
                self.assertEqual(0, provider.wait(5))  # run returned "stopped"
                self.assertLess(time.monotonic() - sent, 1.0)
                talk = emu.finish()
                self.assertEqual([["first"]] + ([["slow"]] if busy else []), talk.rows("G"))
                self.assertEqual(["connection-closed"], [v["kind"] for v in talk.violations()])

    def test_events_refused_while_down_and_for_unknown_groups(self):
        p = cpclient.Provider()
        p.group("G")(lambda req: [])
        for send, code in ((lambda: p.event("G", 1), cpclient.ILLEGAL_STATE),
                           (lambda: p.event_error("G", 3, subnode="s"), cpclient.ILLEGAL_STATE),
                           (lambda: p.event("H", 1), cpclient.UNKNOWN_GROUP)):
            with self.assertRaises(cpclient.CpError) as caught:
                send()
            self.assertEqual(code, caught.exception.code)

    def test_every_request_is_answered_and_what_c_cannot_carry_is_the_handlers_error(self):
        talk = testing.run(providers.unsendable, script="".join(
            f'data G id={c}\ntask "raise {c}" id=r{c}\ntask "return {c}" id=t{c}\n' for c in providers.RCS)
            + "".join(f'data G id={c}\ntask "inst {c}" id=i{c}\n' for c in providers.VALUES))
        talk.assert_clean()
        fits = {"INT_MAX": 2**31 - 1, "INT_MIN": -2**31, "IntEnum": 404, "True": 1}
        for case in providers.RCS:
            rc = fits.get(case, 99)
            self.assertEqual([[rc], rc, rc], [talk.errors(id=case)] + [talk.task(t + case)["rc"] for t in "rt"], case)
        for case in providers.VALUES:
            self.assertEqual(([99], []), (talk.errors(id=case), talk.rows(id=case)), case)
            talk.assert_task(99, [], id="i" + case)
        for why in ("int, not str: '5'", "hold an rc of 1099511627776", "UTF-8: b'\\xff'", "UTF-8: '\\udcff'"):
            self.assertIn(why, talk.stderr)

    def test_a_request_whose_handler_is_interrupted_is_answered_before_run_ends(self):
        talk = testing.run(providers.unsendable, script="data G id=interrupt\nsleep 2000\n")
        self.assertEqual(([99], ["connection-closed"]), (talk.errors(), [v["kind"] for v in talk.violations()]))
        self.assertIn("KeyboardInterrupt", talk.stderr)

    def test_events_and_settings_refuse_what_c_cannot_carry(self):
        p = cpclient.Provider()
        p.group("G")(lambda req: [])
        for n, (error, send) in enumerate((
                (ValueError, lambda: p.event("G", "ok", b"\xff")), (ValueError, lambda: p.event("G", "\udcff")),
                (ValueError, lambda: p.event("G", 1, subnode="\udcff")), (TypeError, lambda: p.event_error("G", "3")),
                (ValueError, lambda: p.event_error("G", 2**32)), (ValueError, lambda: p.group("\udcff")),
                (ValueError, lambda: p.group("H", 2**32 + 1)), (ValueError, lambda: p.run(handler_error_rc=-2**63)))):
            with self.subTest(n), self.assertRaises(error):
                send()

    def test_deadlines_snapshots_and_columns_answer_in_time_and_the_statistics_match_the_agents(self):
        talk = testing.run(providers.deadlines, options=providers.slow_groups().agentemu_columns(), script="""
            data Slow id=hang nowait
            sleep 600
            data Slow id=next nowait
            wait id=next
            task stats id=s1
            data Slow id=hold
            sleep 300
            data Slow id=wide
            data Slow id=dict
            data Procs id=p1
            data Procs id=p2 filter=name=sh
            data Procs id=p3 filter=x=1
            data Broken id=b1
            task nap id=nap
            task stats id=s2""")
        talk.assert_clean()  # no late answer, no row of the wrong width
        rows = {i: talk.rows(id=i) for i in ("hang", "next", "hold", "dict", "p1", "p2", "p3")}
        both = [["1", "init"], ["2", "sh"]]
        self.assertEqual({"hang": [], "next": [["next", "1"]], "hold": [["hold", "1"]], "p1": both, "p2": [["2", "sh"]],
                          "dict": [["dict", "1"], ["dict", ""]], "p3": both}, rows)
        self.assertEqual([[42], [7], [7]], [talk.errors(id=i) for i in ("hang", "wide", "b1")])
        talk.assert_task(7, [], id="nap")
        late = [talk.of("error", id="hang")[0]["latencyMs"] - 500, talk.task("nap")["latencyMs"] - 500]
        print(f"\n  answered past the deadline by {late[0]:.1f} ms (data), {late[1]:.1f} ms (task)", end=" ")
        self.assertTrue(all(0 <= ms < 250 for ms in late), late)
        first, last = (json.loads(talk.task(i)["outputs"][0]["value"]) for i in ("s1", "s2"))
        self.assertEqual((1, 1), (first["stats"]["Slow"]["hung"], first["stats"]["Slow"]["deadline_misses"]))
        self.assertEqual(1, last["collections"])
        for group in ("Slow", "Procs", "Broken"):
            stats, answers = last["stats"][group], talk.of("data", group=group) + talk.of("error", group=group)
            self.assertEqual((len(talk.of("sent", kind="data", group=group)), len(answers), len(talk.errors(group)), 0),
                             (stats["requests"], stats["answers"], stats["errors"], stats["hung"]), group)
            self.assertLessEqual(stats["p50_ms"], stats["p99_ms"])
        tasks = last["stats"][cpclient.TASKS]
        self.assertEqual((3, 2, 1, 1, 1, 1), tuple(tasks[k] for k in (
            "requests", "answers", "errors", "deadline_misses", "in_flight", "hung")))
        procs, broken = last["stats"]["Procs"], last["stats"]["Broken"]
        self.assertEqual((0, 1, None),
                         (procs["collector_failures"], broken["collector_failures"], broken["snapshot_age_s"]))
        self.assertLess(procs["snapshot_age_s"], 30)
        for line in ("INFO cpclient: serving 3 groups; ", "row of 3 values", "request hang had no answer after"):
            self.assertIn(line, talk.stderr)


if __name__ == "__main__":
    unittest.main()
