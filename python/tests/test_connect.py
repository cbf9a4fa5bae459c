"""Connecting, giving up and stopping, with the real library, agentemu and TCP on 127.0.0.1."""

import os
import signal
import socket
import subprocess
import threading
import time
import unittest

import cpclient
import providers
from cpclient import testing


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(test, provider, **env):
    """provider in a subprocess of its own, its stderr piped; killed at the test's end if it still runs."""
    process = subprocess.Popen(testing.command(provider), env=testing.environment(env), stderr=subprocess.PIPE,
                               text=True)
    test.addCleanup(lambda: (process.kill(), process.communicate()))
    return process


def wait_for_line(process, text):
    for line in process.stderr:
        if text in line:
            return
    raise AssertionError(f"no line with {text!r}")


class Connect(unittest.TestCase):
    def test_a_provider_started_before_its_agent_connects_once_it_listens(self):
        port = free_port()
        provider = start(self, providers.patient, CP_PORT=str(port))
        time.sleep(3)
        with testing.Emulator(script="data G id=late\nshutdown\n", options=["--port", port]) as emu:
            talk = emu.finish()
        _, stderr = provider.communicate(timeout=10)
        self.assertEqual((0, [["late"]]), (provider.returncode, talk.rows("G")))
        self.assertEqual(1, stderr.count("WARNING cpclient: the agent cannot be reached on port"), stderr)
        self.assertEqual(1, stderr.count("WARNING cpclient: connected to the agent after"), stderr)

    def test_an_agent_of_another_user_is_refused_until_stop_and_one_of_this_user_is_not(self):
        p = cpclient.Provider()
        p.group("G")(lambda req: [])
        with testing.Emulator(script="sleep 5000\n") as emu, self.assertLogs("cpclient", "WARNING") as logs:
            threading.Timer(1.5, p.stop).start()
            self.assertEqual("stopped", p.run(port=emu.port, agent_user=os.getuid() + 1))
        self.assertIn(f"(an agent of user {os.getuid() + 1} only)", logs.output[0])
        self.assertNotIn("CP_AGENT_USER", os.environ)
        with testing.Emulator(script="shutdown\n") as emu:
            self.assertIs(cpclient.Outcome.SHUTDOWN, cpclient.Provider().run(port=emu.port, agent_user=os.getuid()))

    def test_sigint_during_the_backoff_ends_run_at_once(self):
        provider = start(self, providers.patient, CP_PORT=str(free_port()), WANT="stopped")
        wait_for_line(provider, "cannot be reached")
        time.sleep(1)  # pauses of 0.4 s and more by now: most likely in one
        sent = time.monotonic()
        provider.send_signal(signal.SIGINT)
        provider.communicate(timeout=5)
        print(f"\n  SIGINT during the backoff to the provider's exit: {time.monotonic() - sent:.3f} s", end=" ")
        self.assertEqual(0, provider.returncode)
        self.assertLess(time.monotonic() - sent, 1.0)

    def test_a_second_ctrl_c_leaves_run_and_the_program_while_a_handler_runs(self):
        with testing.Emulator(script="data G id=hang nowait\nsleep 20000\n") as emu:
            provider = start(self, providers.patient, CP_PORT=str(emu.port), WORKERS="2", WANT="stopped")
            emu.wait_for("sent", kind="data", id="hang")
            time.sleep(0.3)
            sent = time.monotonic()
            provider.send_signal(signal.SIGINT)
            time.sleep(0.3)  # within the grace of 10 s
            provider.send_signal(signal.SIGINT)
            _, stderr = provider.communicate(timeout=10)
            self.assertLess(time.monotonic() - sent, 2.0)
            self.assertIn("KeyboardInterrupt", stderr)
            self.assertNotEqual(0, provider.returncode)

    def test_run_gives_up_after_its_attempts_and_on_a_thread_that_cannot_start(self):
        with self.assertLogs("cpclient", "ERROR"):
            p = cpclient.Provider()
            self.assertIs(cpclient.Outcome.GAVE_UP, p.run(port=free_port(), reconnect_attempts=3))
        self.assertEqual(cpclient.CONNECT_FAILED, p.error.code)
        made = []

        def factory(**options):
            if len(made) == 1:
                raise RuntimeError("can't start new thread")
            made.append(threading.Thread(**options))
            return made[-1]

        with testing.Emulator(script="sleep 5000\n") as emu, self.assertLogs("cpclient", "ERROR"):
            p = cpclient.Provider()
            p.thread_factory = factory
            self.assertEqual("gave up", p.run(port=emu.port, workers=2))
            self.assertEqual(("can't start new thread", False, False),
                             (str(p.error), made[0].is_alive(), p.connected))
            emu.wait_for("violation", kind="connection-closed")

    def test_timers_run_on_the_workers_while_connected_and_end_with_run(self):
        for workers, script, outcome in ((2, "sleep 1000\nshutdown\n", "shutdown"), (0, "sleep 5000\n", "stopped")):
            with self.subTest(workers=workers), testing.Emulator(script=script) as emu:
                p, ticks = cpclient.Provider(), []

                @p.every(0.1)
                def tick():
                    ticks.append(threading.current_thread().name)
                    if workers == 0 and len(ticks) == 3:
                        p.stop()

                self.assertEqual(outcome, p.run(port=emu.port, workers=workers))
                count = len(ticks)
                time.sleep(0.3)
                self.assertEqual(count, len(ticks))
                self.assertTrue(3 <= count <= 12 if workers else count == 3, count)
                self.assertTrue(all(name.startswith("cpclient-worker" if workers else "MainThread") for name in ticks))

    def test_outputs_given_as_one_text_or_with_a_bad_instance_answer_the_handlers_error(self):
        talk = testing.run(providers.unsendable, script='task "text abc" id=t\ntask "tag i\\t1" id=i\n'
                           'task "tag i&<1" id=e\n')
        talk.assert_clean()
        talk.assert_task(99, [], id="t")
        talk.assert_task(99, [], id="i")
        talk.assert_task(0, [("v", "i&<1")], id="e")


if __name__ == "__main__":
    unittest.main()
