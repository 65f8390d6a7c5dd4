"""Where the application's output goes, and how the VM's end reaches the
launcher: redirection to files, capture of a service's output into its
failure reports, and the exit and abort hooks.

Redirection runs through the packed launcher; service mode through the
launcher run as a service (service_lanes: the service switch with a notify
socket on Linux, Wine's Service Control Manager on Windows). Linux lane:
each installed JDK with the test application (tests/javaapps); an event-log
entry is one line there. Windows lane: the stand-in runtime, which prints
through the streams it is given and calls the hooks as a VM does; in service
mode its own lines go to the file its -Dstandin.log option names (the
launcher gives a service a console of its own)."""

import re
from pathlib import Path

import pytest

from service_lanes import STARTED, WineServices, run_linux_service, unique_name
from test_launch import JAVA_ENVIRONMENT, java_apps, jdk  # noqa: F401 (fixtures)

MAIN_FAILED = "Error invoking method: main(java/lang/String[])"
FAILED = "The VtSvc service failed to start."


def lines_of(path: Path):
    return path.read_text(errors="replace").splitlines() if path.exists() else []


def details(entry):
    """The captured text of a report, or None when it has none (on Linux the
    entry's line breaks have become blanks)."""
    parts = re.split(r"\n\nDetails:\n| Details: ", entry[1], maxsplit=1)
    return parts[1] if len(parts) == 2 else None


class Runner:
    """Packs launchers of one lane into a folder and runs them, as the
    service VtSvc where asked."""

    def __init__(self, lane, folder: Path, base: dict, linux: bool):
        self.lane, self.folder, self.base, self.linux = lane, folder, base, linux

    def pack(self, name, **settings):
        return self.lane.pack(self.folder / name / name, settings={**self.base, **settings})

    def run(self, exe, env=None, timeout=60):
        result = self.lane.run(exe, env=env, timeout=timeout, unset=JAVA_ENVIRONMENT)
        # These cases also run with launchers built with ThreadSanitizer.
        assert "ThreadSanitizer" not in result.stderr, result
        return result

    def service(self, name, stop=False, **settings):
        """Runs the launcher as a service until it has stopped. Returns the
        run, its entries after message 17 (the service named VtSvc in their
        texts) and the stand-in's lines."""
        if self.linux:
            exe = self.pack(name, ServiceName="VtSvc", **settings)
            temp = exe.parent / "temp"
            temp.mkdir()
            run = run_linux_service(self.lane, exe, stop_after="holding" if stop else None,
                                    env={"TMPDIR": str(temp), "XDG_CACHE_HOME": str(temp)})
            # The FIFO's private folder is gone however the process ended.
            assert not list(temp.rglob("vantrel-capture-*")), list(temp.rglob("*"))
            assert run.events[0] == ("info", STARTED.format("VtSvc")), run.stderr
            return run, run.events[1:], []
        service, log = unique_name(name), self.folder / name / "standin.log"
        options = f'"-Dstandin.log={self.lane.native_path(log)}" {settings.pop("JvmOptions", "")}'
        exe = self.pack(name, ServiceName=service, JvmOptions=options, **settings)
        run = WineServices(self.lane).run(exe, service, stop=1 if stop else 0)
        assert run.events[0] == ("info", STARTED.format(service)), run.events
        return run, [(kind, text.replace(service, "VtSvc")) for kind, text in run.events[1:]], lines_of(log)


@pytest.fixture
def linux(linux_lane, jdk, java_apps, tmp_path):  # noqa: F811
    base = {"MainClass": "vt.App", "JvmPath": str(jdk / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
            "JvmVersion": "1.8", "ClassPath": str(java_apps["jar"]), "ExtractLocation": "0"}
    runner = Runner(linux_lane, tmp_path, base, True)
    runner.jdk = jdk
    return runner


@pytest.fixture
def windows(windows_lane, tmp_path):
    runtime = windows_lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
    base = {"MainClass": "vt.App", "JvmPath": windows_lane.native_path(runtime), "JvmSearchOrder": "0",
            "JvmVersion": "", "ExtractLocation": "0"}
    return Runner(windows_lane, tmp_path, base, False)


# --- Redirection to files ---------------------------------------------------------

def check_file_cases(runner, cases, options):
    """cases: (settings, {file: old content}, {file: expected lines}, console lines)."""
    for number, (settings, before, expected, console) in enumerate(cases):
        exe = runner.pack(f"files{number}", JvmOptions=options, **settings)
        for name, text in before.items():
            (exe.parent / name).write_text(text)
        result = runner.run(exe, env={"VT_DAY": "day1"})
        assert result.status == 0, (settings, str(result))
        for name, lines in expected.items():
            assert lines_of(exe.parent / name) == lines, (settings, name)
        assert [line for line in result.out_lines + result.err_lines if line in console] == console, settings


def test_linux_redirection(linux):
    out, err = ["out 0", "out 1"], ["err 0", "err 1"]
    cases = [
        # Each missing folder on the way is made; each stream has its file.
        ({"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "logs/%VT_DAY%/out.log", "StdErrFile": "logs/err.log"},
         {}, {"logs/day1/out.log": out, "logs/err.log": err}, []),
        # Appending keeps what was there; otherwise the file starts empty.
        ({"StdOutMode": "1", "StdOutFile": "out.log", "StdOutFileAppend": "1", "StdErrMode": "1",
          "StdErrFile": "err.log"}, {"out.log": "old\n", "err.log": "old\n"},
         {"out.log": ["old", *out], "err.log": err}, []),
        # One file for both, named alike or not: one stream, in order.
        ({"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "both.log", "StdErrFile": "both.log"},
         {}, {"both.log": out + err}, []),
        ({"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "%APPDIR%/both.log", "StdErrFile": "./both.log"},
         {"both.log": "old content, longer than what follows\n"}, {"both.log": out + err}, []),
        # Capture is for services: elsewhere mode 2 leaves the console.
        ({"StdOutMode": "2", "StdErrMode": "2"}, {}, {}, out + err),
    ]
    check_file_cases(linux, cases, "-Dapp.print=out:2:0,err:2:0")
    check_unopenable_file(linux, "-Dapp.print=never:1:0")


def test_windows_redirection(windows):
    out, err = ["out one", "out two"], ["err one"]
    cases = [
        ({"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "logs\\%VT_DAY%\\out.log",
          "StdErrFile": "logs\\err.log"}, {}, {"logs/day1/out.log": out, "logs/err.log": err}, []),
        ({"StdOutMode": "1", "StdOutFile": "out.log", "StdOutFileAppend": "1"}, {"out.log": "old\r\n"},
         {"out.log": ["old", *out]}, err),
        # The same file in other letter case and another form: one stream.
        ({"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "%APPDIR%\\Both.LOG", "StdErrFile": "both.log"},
         {"both.log": "old content, longer than what follows\r\n"}, {"both.log": out + err}, []),
        ({"StdOutMode": "2", "StdErrMode": "2"}, {}, {}, out + err),
    ]
    check_file_cases(windows, cases, '"-Dstandin.script=out=out one,out=out two,err=err one"')
    check_unopenable_file(windows, "-Dstandin.script=out=never")


def check_unopenable_file(runner, options):
    """A stream whose file cannot be opened: message 11, and main never runs."""
    exe = runner.pack("blocked", StdOutMode="1", StdOutFile="blocker/x.log", JvmOptions=options)
    (exe.parent / "blocker").write_text("a file where a folder would be")
    result = runner.run(exe)
    assert runner.lane.exit_status(result.status) == 255, result
    assert result.err_lines[-1] == "Error instantiating object: java/io/FileOutputStream", result
    assert "FileNotFoundException" in result.stderr
    assert not {"never", "never 0"} & set(result.out_lines + result.err_lines), result


# --- Service mode: capture and the hooks ------------------------------------------------------

def test_linux_capture_in_failure_reports(linux):
    width = 1500  # longer than the reader's line buffer
    result, logged, _ = linux.service(
        "capture", StdOutMode="2", StdErrMode="2",
        JvmOptions=f"-Xlog:gc -Dapp.mode=gc -Dapp.print=out:3:0,err:1:{width},out:2:0")
    assert linux.lane.exit_status(result.status) == 255, result.stderr
    assert len(logged) == 2 and logged[0][1].startswith(MAIN_FAILED + " Details: "), logged
    assert logged[1] == ("error", FAILED)
    captured = details(logged[0])
    # The VM's own lines (through the output hook, from its creation on) and
    # the application's, each stream's lines in order, the long line whole.
    assert re.search(r"\[gc\s*\] Using", captured), captured
    assert "Pause Full (System.gc())" in captured, captured
    printed = re.findall(r"(?:out|err) \d+\.*", captured)
    assert printed == ["out 0", "out 1", "out 2", "err 0" + "." * (width - 5), "out 0", "out 1"], captured
    assert "java.lang.IllegalStateException: app failure after gc" in captured
    # A service's standard error shows the captured text as it comes.
    assert "err 0" + "." * (width - 5) in result.stderr.splitlines() and "out 2" in result.stderr.splitlines()

    # A full capture drops whole oldest lines.
    result, logged, _ = linux.service("full", StdOutMode="2", StdErrMode="0",
                                      JvmOptions="-Dapp.mode=throw -Dapp.print=out:300:99")
    captured = details(logged[0])
    assert 7990 <= len(captured) <= 8191, len(captured)
    # Whole lines from the oldest kept on; the newest is there. (The VM's own
    # words on the exception come through the output hook, in no fixed order
    # with the pipe's lines.)
    assert re.match(r"out \d+\.{92} out", captured) and re.search(r"out 299\.{92}(?!\.)", captured), captured
    assert "java.lang.IllegalStateException" not in captured  # the trace went to the console
    # Without capture the report is the message alone.
    result, logged, _ = linux.service("none", JvmOptions="-Dapp.mode=throw -Dapp.print=out:3:0")
    assert logged == [("error", MAIN_FAILED), ("error", FAILED)], logged


def test_windows_capture_and_hooks(windows):
    script = "out=first,err=second,vmlog=from a VM thread,lines=3:8,throw"
    run, logged, standin = windows.service(
        "capture", StdOutMode="2", StdErrMode="2",
        JvmOptions=f'"-Dstandin.script={script}" "-Dstandin.createlog=while creating"')
    assert len(logged) == 2 and logged[1] == ("error", FAILED), logged
    assert run.state == (1, 1066, 1013, 0), run.state
    # One pipe, one stream for both; the VM's lines get carriage returns.
    assert details(logged[0]) == "while creating\r\nfirst\r\nsecond\r\nfrom a VM thread\r\n" \
                                 "line 0..\r\nline 1..\r\nline 2..\r\n", logged
    opens = [line for line in standin if line.startswith(("standin open", "standin set"))]
    pipe = "\\\\.\\pipe\\"
    assert [line.split(" ")[1] for line in opens] == ["open", "setOut", "setErr"], standin
    assert all(line.split(" ")[2].startswith(pipe) for line in opens), standin

    # A refused exit: message 13, the stopper's thread is detached again, and
    # the service, whose stop failed, ends with message 19.
    run, logged, standin = windows.service("refused", stop=True, ServiceAppOptions="--hold never",
                                           ServiceStopByExit="1", JvmOptions="-Dstandin.script=refuseexit,hold")
    assert logged == [("error", "Error invoking method: exit(int)"), ("error", FAILED)], logged
    assert run.state == (1, 1066, 1013, 0), run.state
    attach = standin.index("standin attach version=0x10002 name=Vantrel stopper thread group=none")
    assert standin[attach + 2:attach + 4] == ["standin exit 0 refused", "standin detach"], standin


def test_windows_nobody_else_receives_the_capture(windows, tmp_path):
    # Another process made the pipe's name first: capture is off, the
    # application still runs, and the other process receives nothing.
    lane, stop = windows.lane, tmp_path / "stop-squatting"
    squatter = lane.start(lane.build / "tests" / "standin" / "squat_pipes.exe", ["8192", lane.native_path(stop)])
    try:
        assert squatter.stdout.readline().startswith("ready"), squatter.stderr.read()
        _, logged, _ = windows.service("squatted", StdOutMode="2", JvmOptions="-Dstandin.script=out=secret,throw")
    finally:
        stop.write_text("")
        received = squatter.communicate(timeout=60)[0]
    assert logged == [("error", MAIN_FAILED), ("error", FAILED)], logged
    assert received.splitlines() == ["done"], received


# --- Rotated output files ---------------------------------------------------------------
#
# With OutputFileLimit the launcher writes StdOutFile and StdErrFile itself and
# renames them at the limit: every line is there once and in order, across
# the files, none is cut between two, no file passes the limit; one file for
# both streams stays one stream; the oldest files beyond OutputFileCount go.
# The console cases end through System.exit, whose exit hook lets the files
# take the output written just before it.

def rotated_lines(path: Path, limit_kb):
    """The lines of a rotated file and its old files, oldest first, and how
    many files there are."""
    files = sorted(path.parent.glob(path.name + ".*"), key=lambda p: int(p.suffix[1:]), reverse=True) + [path]
    contents = [f.read_bytes() for f in files]
    assert all(len(text) <= limit_kb * 1024 for text in contents), [len(text) for text in contents]
    assert all(text.endswith(b"\n") for text in contents[:-1]), [text[-20:] for text in contents]
    return b"".join(contents).decode().splitlines(), len(files)


def check_rotation(runner, cases):
    """cases: (how: "console" or "service", settings, {file: (limit KB, expected lines, files)}), where
    files None means all kept, else the number kept (the lines then are the expected ones' tail)."""
    for how, settings, files in cases:
        folder = runner.folder / how
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "err.log").write_text("old\n")  # appended to, where StdErrFileAppend says so
        if how == "console":
            result = runner.run(runner.pack(how, **settings), timeout=180)
            assert runner.lane.exit_status(result.status) == 0, result
        else:
            runner.service(how, **settings)
        for name, (limit, expected, count) in files.items():
            lines, kept = rotated_lines(folder / name, limit)
            if count is None:
                assert (len(lines), lines == expected) == (len(expected), True), (how, name, lines[:3], lines[-3:])
                assert kept >= len(b"".join(line.encode() for line in expected)) // (limit * 1024), kept
            else:
                assert (kept, lines == expected[-len(lines):], len(lines) < len(expected)) == (count, True, True), \
                    (how, name, kept, lines[:3])


def padded(prefix, count, width):
    return [f"{prefix} {i}".ljust(width, ".") for i in range(count)]


def test_linux_rotation(linux):
    both = {"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "both.log", "StdErrFile": "both.log",
            "OutputFileLimit": "1024", "OutputFileCount": "20"}
    apart = {"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "out.log", "StdErrFile": "err.log",
             "StdErrFileAppend": "1", "OutputFileLimit": "64", "OutputFileCount": "2"}
    check_rotation(linux, [
        # 10 MB through 1 MB files, the two streams into one.
        ("console", {**both, "JvmOptions": "-Dapp.mode=exit -Dapp.status=0 -Dapp.print=err:1:0,out:100000:100,err:2:0"},
         {"both.log": (1024, ["err 0", *padded("out", 100000, 100), "err 0", "err 1"], None)}),
        # Two files, two old ones kept; a last line without its line feed.
        ("service", {**apart, "JvmOptions": "-Dapp.print=out:3000:100,err:2:0,out:0:0"},
         {"out.log": (64, [*padded("out", 3000, 100), "out 0"], 3), "err.log": (64, ["old", "err 0", "err 1"], None)}),
    ])


def test_windows_rotation(windows):
    check_rotation(windows, [
        ("console", {"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "both.log", "StdErrFile": "both.log",
                     "OutputFileLimit": "1024", "OutputFileCount": "20",
                     "JvmOptions": '"-Dstandin.script=err=first,lines=100000:100,err=last,exit=0"'},
         {"both.log": (1024, ["first", *padded("line", 100000, 100), "last"], None)}),
        ("service", {"StdOutMode": "1", "StdErrMode": "1", "StdOutFile": "out.log", "StdErrFile": "err.log",
                     "StdErrFileAppend": "1", "OutputFileLimit": "64", "OutputFileCount": "2",
                     "JvmOptions": '"-Dstandin.script=lines=3000:100,err=e1"'},
         {"out.log": (64, padded("line", 3000, 100), 3), "err.log": (64, ["old", "e1"], None)}),
    ])
