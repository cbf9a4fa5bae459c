"""Connecting, giving up and stopping, with the real library, agentemu and TCP on 127.0.0.1."""

import contextlib
import logging
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from unittest import mock

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


class ServiceNotify(unittest.TestCase):
    """The service manager's datagrams of a run, caught by an AF_UNIX datagram socket of the test's own."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.path = os.path.join(folder.name, "notify")
        self.sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(self.sink.close)
        self.sink.bind(self.path)
        environment = mock.patch.dict(os.environ, NOTIFY_SOCKET=self.path)
        environment.start()
        self.addCleanup(environment.stop)
        self.provider = cpclient.Provider()
        self.provider.group("G")(lambda req: time.sleep(0.6) if req.id == "stuck" else [[req.id]])

    def next(self, timeout=5.0):
        self.sink.settimeout(timeout)
        try:
            return self.sink.recv(256).decode()
        except socket.timeout:
            return ""

    def test_ready_follows_the_registration_once_and_status_follows_loss_reconnect_and_stop(self):
        with socket.create_server(("127.0.0.1", 0)) as agent, self.assertLogs("cpclient", "WARNING"):
            runner = threading.Thread(target=self.provider.run, kwargs={"port": agent.getsockname()[1], "poll": 0.02})
            runner.start()
            self.assertEqual("READY=1\nSTATUS=serving 1 group", self.next())  # still in the backlog
            connection = agent.accept()[0]
            connection.settimeout(1)
            self.assertTrue(connection.recv(4096).startswith(b"<vexaRegister ver="))  # sent before READY=1
            connection.close()
            self.assertEqual(["STATUS=reconnecting", "STATUS=serving 1 group"], [self.next(), self.next()])
            self.provider.stop()
            runner.join()
        self.assertEqual(["STOPPING=1\nSTATUS=stopped", ""], [self.next(), self.next(0.3)])

    def test_an_agent_never_reached_is_stated_with_its_time_and_ready_is_never_sent(self):
        with self.assertLogs("cpclient", "WARNING"):
            self.assertEqual("gave up", self.provider.run(port=free_port(), reconnect_attempts=2, backoff=0.01))
        self.assertRegex(self.next(), r"^STATUS=agent unreachable, retrying since \d\d:\d\d:\d\d$")
        self.assertEqual(["STOPPING=1\nSTATUS=gave up: " + str(self.provider.error), ""], [self.next(), self.next(0.3)])

    def test_watchdog_pings_come_every_half_interval_from_the_waiting_thread_and_stop_while_it_is_held_up(self):
        runs = []

        def record(datagrams, deadline):
            while time.monotonic() < deadline and not (datagrams and datagrams[-1][1].startswith("STOPPING=1")):
                datagrams.append((time.monotonic(), self.next()))

        for pid, script in ((os.getpid(), "sleep 600\ndata G id=stuck\nsleep 1000\nshutdown\n"),
                            (os.getpid() + 1, "sleep 400\nshutdown\n")):
            runs.append([])
            recorder = threading.Thread(target=record, args=(runs[-1], time.monotonic() + 10))
            with mock.patch.dict(os.environ, WATCHDOG_USEC="200000", WATCHDOG_PID=str(pid)), \
                    testing.Emulator(script=script) as emu:
                recorder.start()
                self.assertEqual("shutdown", self.provider.run(port=emu.port))  # workers=0: handlers on this thread
                recorder.join()
        pings = [at for at, text in runs[0] if text == "WATCHDOG=1"]
        gaps = sorted(later - earlier for earlier, later in zip(pings, pings[1:]))
        self.assertGreaterEqual(len(gaps), 8)
        self.assertTrue(gaps[-1] >= 0.5 and 0.07 <= gaps[0] and gaps[-2] <= 0.2, gaps)  # held up by the handler
        self.assertEqual(["READY=1\nSTATUS=serving 1 group", "STOPPING=1\nSTATUS=the agent shut down"],
                         [text for at, text in runs[1]])  # another process's watchdog: no ping

    def test_a_notify_socket_that_fails_or_is_unset_changes_nothing_but_one_warning(self):
        senders = []
        for case, where, warnings in (("unset", None, 0), ("missing", self.path + ".missing", 1),
                                      ("relative", "notify", 1), ("full", self.path, 1)):
            while case == "full":
                senders.append(socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM))
                self.addCleanup(senders[-1].close)
                senders[-1].setblocking(False)
                try:
                    senders[-1].sendto(b"x", self.path)
                except BlockingIOError:
                    break  # a fresh sender finds the sink's queue full
                with contextlib.suppress(BlockingIOError):
                    while senders[-1].sendto(b"x", self.path):
                        pass
            records = []
            handler = logging.Handler()
            handler.emit = records.append
            logging.getLogger("cpclient").addHandler(handler)
            self.addCleanup(logging.getLogger("cpclient").removeHandler, handler)
            with self.subTest(case), mock.patch.dict(os.environ, NOTIFY_SOCKET=where or "", WATCHDOG_USEC="20000"), \
                    testing.Emulator(script="data G id=a\nsleep 100\nshutdown\n") as emu:
                if where is None:
                    del os.environ["NOTIFY_SOCKET"]
                began = time.monotonic()
                self.assertEqual("shutdown", self.provider.run(port=emu.port))
                self.assertLess(time.monotonic() - began, 1.0)
                self.assertEqual([["a"]], emu.finish().rows("G"))
                self.assertEqual(warnings, len(records), [r.getMessage() for r in records])
            logging.getLogger("cpclient").removeHandler(handler)
        self.assertEqual("x", self.next(0.05))  # the fillers' alone: nothing came while NOTIFY_SOCKET was unset


if __name__ == "__main__":
    unittest.main()
