"""Test kit: runs a provider against agentemu and hands back the conversation as Python objects.

    from cpclient import testing

    def provider():                 # a module-level function: it runs in a subprocess
        ...build a cpclient.Provider...
        return 0 if p.run() == "shutdown" else 1

    talk = testing.run(provider, script="start Memory\\ndata Memory\\nexpect rows 1\\n")
    talk.assert_clean()
    talk.assert_rows([["MemTotal", 16318480]], group="Memory")

agentemu is found through CPCLIENT_AGENTEMU, then beside the library (a build tree
holds both), then where cmake --install put it, then on PATH. Every line agentemu
writes with --json is a dict in Conversation.lines, in order.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from typing import IO, Any, Callable, Dict, List, NoReturn, Optional, Sequence, Union, cast

from . import _native
from ._provider import value_bytes

ANY = object()  # a filter that matches every value, where None is a value of its own

# The child's entry for a provider given as a function: loads its module (by file when
# it is a script or __main__) and exits with what the function returns.
_BOOT = """
import importlib, importlib.util, sys
where, name = sys.argv[1], sys.argv[2]
if where.endswith(".py"):
    spec = importlib.util.spec_from_file_location("__cpclient_provider__", where)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
else:
    module = importlib.import_module(where)
target = module
for part in name.split("."):
    target = getattr(target, part)
sys.exit(target())
"""


def find_agentemu() -> str:
    """The path of agentemu; FileNotFoundError names every place tried."""
    tried = []
    explicit = os.environ.get("CPCLIENT_AGENTEMU")
    if explicit:
        if os.access(explicit, os.X_OK):
            return explicit
        raise FileNotFoundError(f"cpclient.testing: CPCLIENT_AGENTEMU={explicit} is no executable")
    for where, path in _native.candidates():
        if os.sep in path:
            tried.append(os.path.join(os.path.dirname(path), "agentemu"))
    try:
        from . import _location  # type: ignore[attr-defined]

        tried.append(os.path.normpath(os.path.join(os.path.dirname(__file__), _location.BIN_DIR, "agentemu")))
    except ImportError:
        pass
    for path in tried:
        if os.access(path, os.X_OK):
            return path
    on_path = shutil.which("agentemu")
    if on_path:
        return on_path
    raise FileNotFoundError("cpclient.testing: agentemu not found; tried " + ", ".join(tried + ["PATH"])
                            + ". Set CPCLIENT_AGENTEMU to its path (e.g. build/agentemu).")


def command(provider: Union[Callable[[], Any], Sequence[Any]]) -> List[str]:
    """The command line that runs provider: a list of strings as it is, or a module-level
    function run by a new interpreter of this one (its return value is the exit status)."""
    if not callable(provider):
        return [str(part) for part in provider]
    name = provider.__qualname__
    if "<locals>" in name:
        raise ValueError(f"cpclient.testing: {name} is not reachable from its module; define it at module level")
    module = sys.modules[provider.__module__]
    where = provider.__module__
    if where == "__main__":
        where = os.path.abspath(module.__file__ or where)
    return [sys.executable, "-c", _BOOT, where, name]


def environment(extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
    """The environment of a provider subprocess: this one's, with this interpreter's sys.path as
    PYTHONPATH (so that it imports what the test imports), and extra."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path or os.getcwd() for path in sys.path)
    env.update(extra or {})
    return env


class Emulator:
    """agentemu --json running a script or the default scenario, its lines read as they come.

    With provider (a command or a function) agentemu starts it; without, agentemu waits for a
    provider started by hand: launch() starts one with CP_PORT set, and the test keeps its
    process (to signal it, to time it). Use it as a context manager: agentemu is killed if it
    still runs at the end.
    """

    def __init__(self, provider: Union[Callable[[], Any], Sequence[Any], None] = None, *, script: Optional[str] = None,
                 options: Sequence[Any] = (), env: Optional[Dict[str, str]] = None,
                 agentemu: Optional[str] = None) -> None:
        self._script_file = None
        args = [agentemu or find_agentemu(), "--json", *map(str, options)]
        if script is not None:
            with tempfile.NamedTemporaryFile("w", suffix=".scenario", delete=False) as file:
                file.write(script)
            self._script_file = file.name
            args += ["--script", self._script_file]
        self._env = environment(env)
        if provider is not None:
            args += ["--", *command(provider)]
        self.lines: List[Optional[Dict[str, Any]]] = []
        self._cond = threading.Condition()
        self._stderr: List[str] = []
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=self._env, text=True, encoding="utf-8")
        self._out, self._err = cast(IO[str], self.process.stdout), cast(IO[str], self.process.stderr)
        self._readers = [threading.Thread(target=self._read_lines, daemon=True),
                         threading.Thread(target=lambda: self._stderr.extend(self._err), daemon=True)]
        for reader in self._readers:
            reader.start()
        try:
            self.port = self.wait_for("listening")["port"]
        except BaseException:
            self.__exit__()
            raise

    def __enter__(self) -> "Emulator":
        return self

    def __exit__(self, *exc: object) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self._readers:
            reader.join()
        self._out.close()
        self._err.close()
        if self._script_file:
            os.unlink(self._script_file)

    def _read_lines(self) -> None:
        for text in self._out:
            line = json.loads(text)
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self.lines.append(None)  # the end of the output
            self._cond.notify_all()

    def wait_for(self, line_type: str, /, timeout: float = 10, **fields: Any) -> Dict[str, Any]:
        """The first line of type line_type whose fields have the given values, waiting up to timeout
        seconds for it; AssertionError when it does not come."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines:
                    if line is not None and _matches(line, line_type, fields):
                        return line
                left = deadline - time.monotonic()
                if (self.lines and self.lines[-1] is None) or left <= 0:
                    raise AssertionError(f"no {line_type} line with {fields} came; agentemu wrote:\n"
                                         + "\n".join(map(json.dumps, filter(None, self.lines))))
                self._cond.wait(left)

    def launch(self, provider: Union[Callable[[], Any], Sequence[Any]],
               env: Optional[Dict[str, str]] = None) -> "subprocess.Popen[bytes]":
        """Starts a provider by hand against this agentemu; returns its subprocess.Popen."""
        return subprocess.Popen(command(provider), env={**self._env, **(env or {}), "CP_PORT": str(self.port)})

    def finish(self, timeout: float = 60) -> "Conversation":
        """Waits for agentemu's end (killing it after timeout seconds) and returns the Conversation."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for reader in self._readers:
            reader.join()
        return Conversation([line for line in self.lines if line is not None], self.process.returncode,
                            "".join(self._stderr))


def run(provider: Union[Callable[[], Any], Sequence[Any]], *, script: Optional[str] = None, options: Sequence[Any] = (),
        env: Optional[Dict[str, str]] = None, timeout: float = 60, agentemu: Optional[str] = None) -> "Conversation":
    """Runs provider (a command, or a module-level function run in a subprocess) under agentemu
    with script (the text of a scenario) or the default scenario shaped by options (agentemu's
    own, e.g. ["--rounds", 2, "--task", "echo hi"]); returns the Conversation."""
    with Emulator(provider, script=script, options=options, env=env, agentemu=agentemu) as emulator:
        return emulator.finish(timeout)


def _matches(line: Dict[str, Any], line_type: str, fields: Dict[str, Any]) -> bool:
    return line.get("type") == line_type and all(
        value is ANY or line.get(key) == value for key, value in fields.items())


def _cells(row: Sequence[Any]) -> List[str]:
    """A row as agentemu shows it: every value's text, "" for None."""
    return [(value_bytes(value) or b"").decode("utf-8", "surrogateescape") for value in row]


class Conversation:
    """What agentemu saw: lines (dicts, in order), returncode (0 clean, 1 for any violation,
    failed expect or provider exit other than 0, 2 for a set-up error) and its stderr, which
    also holds the provider's output."""

    def __init__(self, lines: List[Dict[str, Any]], returncode: int, stderr: str) -> None:
        self.lines, self.returncode, self.stderr = lines, returncode, stderr

    def of(self, line_type: str, /, **fields: Any) -> List[Dict[str, Any]]:
        """The lines of type line_type whose fields have the given values (ANY matches anything)."""
        return [line for line in self.lines if _matches(line, line_type, fields)]

    @property
    def summary(self) -> Optional[Dict[str, Any]]:
        found = self.of("summary")
        return found[-1] if found else None

    def rows(self, group: Any = ANY, id: Any = ANY) -> List[List[str]]:
        """Every row of the data answers of group (or to request id), in order."""
        return [row for answer in self.of("data", group=group, id=id) for row in answer["rows"]]

    def errors(self, group: Any = ANY, id: Any = ANY) -> List[int]:
        """The rc of every error answer of group (or to request id)."""
        return [line["rc"] for line in self.of("error", group=group, id=id)]

    def events(self, group: Any = ANY, subnode: Any = ANY) -> List[Dict[str, Any]]:
        """The event lines of group and subnode (None: without a subnode)."""
        return self.of("event", group=group, subnode=subnode)

    def task(self, id: Any = ANY) -> Dict[str, Any]:
        """The last task answer (to request id): a dict with rc and outputs."""
        found = self.of("task", id=id)
        if not found:
            self._fail(f"no task answer{'' if id is ANY else ' to ' + id}")
        return found[-1]

    def violations(self, kind: Any = ANY) -> List[Dict[str, Any]]:
        return self.of("violation", kind=kind)

    # ---- Assertions: each raises AssertionError with the conversation attached. ----

    def assert_clean(self) -> None:
        """No violation, every expect held, and the provider exited 0."""
        if self.returncode != 0 or not self.summary or not self.summary["ok"]:
            self._fail("the conversation was not clean")

    def assert_rows(self, expected: Sequence[Sequence[Any]], group: Any = ANY, id: Any = ANY) -> None:
        """The rows of group (or of the answer to id) are expected; values are compared as the
        provider sends them (numbers as their text, None as empty)."""
        want = [_cells(row) for row in expected]
        if self.rows(group, id) != want:
            self._fail(f"rows {self.rows(group, id)} are not {want}")

    def assert_error(self, rc: int, group: Any = ANY, id: Any = ANY) -> None:
        """The last answer of group (or to id) is error rc."""
        answers = [line for line in self.lines if line.get("type") in ("data", "error")
                   and _matches(line, line["type"], {"group": group, "id": id})]
        if not answers or answers[-1].get("rc") != rc:
            self._fail(f"the last answer is not error {rc}")

    def assert_task(self, rc: int, outputs: Optional[Sequence[Any]] = None, id: Any = ANY) -> None:
        """The last task answer (to id) has rc and, when given, outputs: values or (value, inst)."""
        answer = self.task(id)
        got = [(o["value"], o["inst"]) for o in answer["outputs"]]
        want = None if outputs is None else [
            (_cells([o[0]])[0], o[1]) if isinstance(o, tuple) else (_cells([o])[0], None) for o in outputs]
        if answer["rc"] != rc or (want is not None and got != want):
            self._fail(f"task answer rc {answer['rc']} outputs {got}; wanted rc {rc} outputs {want}")

    def assert_events(self, count: int, group: Any = ANY, subnode: Any = ANY) -> None:
        if len(self.events(group, subnode)) != count:
            self._fail(f"{len(self.events(group, subnode))} events, not {count}")

    def assert_violation(self, kind: str) -> None:
        if not self.violations(kind):
            self._fail(f"no {kind} violation")

    def _fail(self, what: str) -> NoReturn:
        raise AssertionError(f"{what}; exit {self.returncode}; agentemu wrote:\n"
                             + "\n".join(json.dumps(line, ensure_ascii=False) for line in self.lines)
                             + ("\n--- stderr:\n" + self.stderr if self.stderr else ""))
