"""Running a packed launcher as a service, in either lane, and reading what it
reported.

Linux: the service switch run with $NOTIFY_SOCKET naming a datagram socket
of ours, as systemd would; the event-log entries are the "<6>" / "<3>" lines
on standard error. Windows: Wine's real Service Control Manager (install,
net start, sc stop, sc query); the event-log entries are the trace lines of
the session's first Wine process (conftest.WineSession.services_log)."""

import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import uuid
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

from conftest import WINE

SWITCH = "-startlauncherinservicemode"
STARTING = "The {} service is starting."
STARTED = "The {} service has started."
STOPPED = "The {} service has stopped."
FAILED = "The {} service failed to start."
TIMED_OUT = "The {} service has timed out during a stop request and will be terminated."
EXIT_STATUS = "The {} service has ended with exit status {}."
ABORTED = "JVM has aborted due to an internal error."
# run_linux_service's stop_after: at the service's first notification, while
# it starts.
AT_START = object()


def unique_name(stem: str) -> str:
    """A service name no earlier run left behind in the Wine prefix."""
    return f"Vt{stem}{uuid.uuid4().hex[:6]}"


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def run_table(cases, run_one, slow):
    """run_one(case) for every case, the results in the cases' order; the
    cases slow(case) picks run on threads of their own beside the others."""
    results = {}

    def one(index, case):
        try:
            results[index] = (run_one(case), None)
        except BaseException as error:  # re-raised on the test's thread
            results[index] = (None, error)
    threads = [threading.Thread(target=one, args=(i, c)) for i, c in enumerate(cases) if slow(c)]
    for thread in threads:
        thread.start()
    for index, case in enumerate(cases):
        if not slow(case):
            one(index, case)
    for thread in threads:
        thread.join(timeout=300)
    for index in range(len(cases)):
        result, error = results.get(index, (None, AssertionError(f"case {index} did not finish")))
        if error is not None:
            raise error
        yield result


@dataclass
class Run:
    """One service run: exit status (Linux), final state and exit codes
    (Windows), event-log entries as (kind, text), notifications (Linux)."""
    events: list
    status: int = None
    stdout: str = ""
    stderr: str = ""
    notifications: list = field(default_factory=list)
    state: tuple = None
    stop_seconds: float = None  # from the stop request to the end

    def texts(self):
        return [text for _, text in self.events]

    def entries(self):
        """(kind, text) of each entry, its captured details left off."""
        return [(kind, re.split(r"\n\nDetails:\n| Details: ", text)[0]) for kind, text in self.events]


# --- Linux: the service switch with a notify socket -------------------------------------

JAVA_ENVIRONMENT = ("JAVA_HOME", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS")


def run_linux_service(lane, exe, stop_after=None, signals=(signal.SIGTERM,), after_stop=None, env=None, timeout=90):
    """Runs exe with the service switch and $NOTIFY_SOCKET bound by us.
    stop_after: a text of standard output after which the signals are sent,
    or AT_START: at the first notification (None: none are sent); after_stop:
    called with the output so far until it returns true."""
    folder = Path(tempfile.mkdtemp(prefix="vt-notify-"))  # short: socket paths have 108 bytes
    notify, received = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), []
    notify.bind(str(folder / "notify"))

    def receive(seconds):
        notify.settimeout(seconds)
        try:
            received.append(notify.recv(4096).decode())
            return True
        except socket.timeout:
            return False

    out_path, err_path = folder / "out", folder / "err"
    try:
        with open(out_path, "w") as out, open(err_path, "w") as err:
            proc = subprocess.Popen([str(exe), SWITCH], stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    env=lane.environment({**(env or {}), "NOTIFY_SOCKET": str(folder / "notify")},
                                                         JAVA_ENVIRONMENT))
        output = lambda: out_path.read_text(errors="replace")  # noqa: E731
        try:
            deadline = time.monotonic() + timeout
            if stop_after is AT_START:
                wait_until(lambda: receive(0.1) or proc.poll() is not None, timeout, "the first notification")
            elif stop_after is not None:
                wait_until(lambda: stop_after in output() or proc.poll() is not None, timeout, stop_after)
            stop_sent = time.monotonic()
            if stop_after is not None:
                for number in signals:
                    proc.send_signal(number)
                    time.sleep(0.2)
            while proc.poll() is None and time.monotonic() < deadline:
                receive(0.2)
                if after_stop is not None and after_stop(output()):
                    after_stop = None
            stop_seconds = time.monotonic() - stop_sent
            while receive(0.05):
                pass
            status = proc.wait(timeout=max(1, deadline - time.monotonic()))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        stderr = err_path.read_text(errors="replace")
        # These runs also use launchers built with ThreadSanitizer.
        assert "ThreadSanitizer" not in stderr, stderr
        events = [("info" if line[1] == "6" else "error", line[3:]) for line in stderr.splitlines()
                  if re.match(r"<[36]>", line)]
        return Run(events, status=status, stdout=output(), stderr=stderr, notifications=received,
                   stop_seconds=stop_seconds)
    finally:
        notify.close()
        shutil.rmtree(folder)


# --- Windows: Wine's Service Control Manager ---------------------------------------------

_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{4}|.)")
# Each line starts with the process and the thread ("+pid" in WINEDEBUG).
_ENTRY = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(?:trace|err|warn):eventlog:ReportEventW L\"(.*)\"$")
_REPORT = re.compile(
    r"^([0-9a-f]+):([0-9a-f]+):fixme:advapi:ReportEventW \([^,]+,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),")


def _unescape(text: str) -> str:
    """Wine's debug form of a wide string back to the string."""
    def one(match):
        code = match.group(1)
        return chr(int(code[1:], 16)) if len(code) == 5 else {"n": "\n", "r": "\r", "t": "\t"}.get(code, code)
    return _ESCAPE.sub(one, text)


class WineServices:
    """The Service Control Manager of the test session's Wine prefix."""

    def __init__(self, lane):
        self.lane = lane
        self.log = lane.wine.services_log

    def tool(self, *args):
        """Runs one of Wine's own programs (sc, net, reg) in the prefix."""
        proc = subprocess.run([WINE, *args], capture_output=True, text=True, errors="replace",
                              env=self.lane.environment(), timeout=60)
        return proc.stdout + proc.stderr, proc.returncode

    def query(self, name):
        """(state, win32 exit code, service exit code, wait hint) as sc query shows them, or None."""
        text, _ = self.tool("sc", "query", name)
        fields = dict(re.findall(r"^\s*(\w+)\s*: (\w+)", text, re.M))
        if "STATE" not in fields:
            return None
        return (int(fields["STATE"]), int(fields["WIN32_EXIT_CODE"]), int(fields["SERVICE_EXIT_CODE"]),
                int(fields["WAIT_HINT"], 16))

    def wait_state(self, name, state, timeout=60):
        wait_until(lambda: (self.query(name) or (None,))[0] == state, timeout, f"{name} in state {state}")
        return self.query(name)

    def registry(self, key):
        """The values of a key under HKLM as {name: (type, data)}, or None."""
        text, code = self.tool("reg", "query", "HKLM\\" + key)
        if code != 0:
            return None
        return {m[0]: (m[1], m[2]) for m in re.findall(r"^\s+(\S+)\s+(REG_\w+)\s+(.*?)\s*$", text, re.M)}

    def mark(self):
        return self.log.stat().st_size

    def events(self, since, name=None):
        """Event-log entries written since a mark, as (kind, text): kind "info"
        or "error" from the entry's type, checked against its identifier.
        With a name, only those of the processes that named it in an entry
        (services run beside each other)."""
        with open(self.log, "rb") as log:
            log.seek(since)
            lines = log.read().decode(errors="replace").splitlines()
        reported, entries = {}, []
        for line in lines:
            report = _REPORT.match(line)
            if report:
                reported[report.group(1, 2)] = (int(report.group(3), 16), int(report.group(4), 16))
            entry = _ENTRY.match(line)
            if entry:
                kind = {(4, 0x4FFF0001): "info", (1, 0xCFFF0002): "error"}[reported.pop(entry.group(1, 2))]
                entries.append((entry.group(1), kind, _unescape(entry.group(3))))
        named = {process for process, _, text in entries if name is None or name in text}
        return [(kind, text) for process, kind, text in entries if process in named]

    def wait_events(self, since, count, timeout=60):
        wait_until(lambda: len(self.events(since)) >= count, timeout, f"{count} event-log entries")
        return self.events(since)

    @contextmanager
    def installed(self, exe, name):
        installed = self.lane.run(exe, ["-install"])
        assert installed.out_lines == [f"Service installed: {name}"], installed
        try:
            yield
        finally:
            self.lane.run(exe, ["-uninstall"])

    def run(self, exe, name, stop=0, before_stop=None, wait=60, stop_state=4):
        """Installs and starts the service; once it is in stop_state (4
        running, 2 start pending), before_stop() and stop times sc stop; then
        waits until it has stopped and removes it."""
        mark = self.mark()
        with self.installed(exe, name):
            self.tool("net", "start", name)
            if stop or before_stop:
                self.wait_state(name, stop_state)
            if before_stop is not None:
                before_stop()
            stop_sent = time.monotonic()
            for _ in range(stop):
                self.tool("sc", "stop", name)
            state = self.wait_state(name, 1, timeout=wait)
            stop_seconds = time.monotonic() - stop_sent
        return Run(self.events(mark, name), state=state, stop_seconds=stop_seconds)
