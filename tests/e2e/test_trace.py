"""The start-up trace (VANTREL_TRACE) as a user reads it: one line per
decision on standard error or appended to a file, environment values hidden,
every line bounded, nothing at all when the variable is unset, and a
service's event-log lines and notifications as they are without it.

Both lanes run the launcher of test_archives' application (the JDK on Linux,
the stand-in runtime on Windows); the runtime search without a runtime reads
the lane's installed-runtime table (VANTREL_JVM_ROOT on Linux, the registry
of the Wine prefix on Windows)."""

import os
import pwd
import re
import shutil
import subprocess
import uuid

import pytest

from service_lanes import STARTED, STARTING, STOPPED, run_linux_service
from test_archives import linux_vm_app, vm_app  # noqa: F401 (fixture)
from test_launch import JDK_HOMES, java_apps  # noqa: F401 (fixture)
from test_runtime_search import place, registry  # noqa: F401 (fixture)

LINE = re.compile(r"vantrel\[(\d+)\] (.*)")
SECRET = "hunter2 -DZq9x=on"  # its second word becomes a VM option of its own


def trace_of(text):
    """The trace lines of an output, without their "vantrel[PID] " prefix."""
    return [m.group(2) for m in map(LINE.fullmatch, text.splitlines()) if m]


def in_order(lines, expected):
    """Each expected line is there, after the one before it."""
    at = 0
    for wanted in expected:
        assert wanted in lines[at:], f"{wanted!r} missing after line {at}:\n" + "\n".join(lines)
        at = lines.index(wanted, at) + 1


def test_a_traced_launch_then_one_untraced(lane, vm_app, tmp_path):  # noqa: F811
    sep, native = lane.sep, lane.native_path
    library = vm_app.base["JvmPath"]
    missing = native(tmp_path / "missing")
    extra = " -Dstandin.script=args" if lane.windows else ""
    extra += " -Dshort=%VT_ONE%"  # a value this short is hidden only as a value's word, not in "option 1"
    exe = vm_app.pack(tmp_path / "app" / "app", ExtractLocation="0", JvmSearchOrder="50",
                      JvmPath=f"{missing};{library}", SettingsFile="%APPNAME%.ini",
                      JvmOptions=f"-Xmx64m -Dsecret=%VT_SECRET% -Dhome=%APPDIR%{extra}")
    (exe.parent / (exe.stem + ".ini")).write_text(
        "[Application Configuration]\nJvmOptionsAppend=-Dfile=%VT_SECRET%x\nStaticOptions=--static\n")
    env = {"VT_SECRET": SECRET, "VT_ONE": "1", "VANTREL_TRACE": "1"}
    first = vm_app.run(exe, ["a", "b c"], env=env)
    assert first.status == 0, first
    lines = trace_of(first.stderr)
    folder = native(exe.parent)
    in_order(lines, [
        'archives: folder "."',
        'settings file: JvmOptionsAppend = "-Dfile=%VT_SECRET%x"',
        'settings file: StaticOptions = "--static"',
        f'setting JvmPath = "{missing};{library}" (resource 1002)',
        f'setting JvmOptions = "-Xmx64m -Dsecret=%VT_SECRET% -Dhome=%APPDIR%{extra} -Dfile=<hidden:%VT_SECRET%>x" '
        '(settings file)',
        'setting MainClass = "vt/App" (resource 1012)',
        'setting ProductName = "" (resource 1128)',
        'setting AppMutex = "vt/App" (default)',
        'archives: 1, checked',
        f'archive ".{sep}app.jar": written',
        f'archives: added to ClassPath ".{sep}app.jar"',
        'mode: normal launch',
        'runtime: order "50"', 'runtime: method 5', 'runtime: JAVA_HOME unset', 'runtime: method 0',
        f'runtime: JvmPath "{missing}": no readable file',
        f'runtime: JvmPath "{library}": taken',
        f'runtime: chosen "{library}"',
        f'class path: ".{sep}app.jar": file, 0 archives added',
        'vm: option 0 "-Xmx64m"',
        'vm: option 1 "-Dsecret=<hidden:%VT_SECRET%>"',
        'vm: option 2 "<hidden:%VT_SECRET%>"',  # the part after the blank is an option of its own
        f'vm: option 3 "-Dhome={folder}"',
        'main: class "vt/App"',
        'main: argument 0 "--static" (StaticOptions)',
        'main: argument 1 "a" (command line)',
        'main: argument 2 "b c" (command line)',
        'main: returned',
        'exit: status 0',
    ])
    assert re.fullmatch(r"start: vantrel [0-9.]+, 2 arguments", lines[0]), lines
    assert lines[2].startswith(f'start: "{native(exe)}", AppName "app", started in "'), lines
    assert any(line.endswith('"exit" (hook)') for line in lines), lines
    assert any(line.endswith('"-Dshort=<hidden:%VT_ONE%>"') for line in lines), lines
    # The secret is in no trace line, not even in pieces.
    assert not any(word in line for line in lines for word in SECRET.split()), lines

    # Unset: not one line more; the archive is kept this time (seen in a file).
    log = tmp_path / "trace.log"
    for value in (None, "0", ""):
        quiet = vm_app.run(exe, ["a"], env={"VT_SECRET": SECRET, **({} if value is None else {"VANTREL_TRACE": value})})
        assert quiet.status == 0 and trace_of(quiet.stderr) == [], quiet
    to_file = vm_app.run(exe, ["a"], env={"VANTREL_TRACE": native(log)})
    assert to_file.status == 0 and trace_of(to_file.stderr) == [], to_file
    logged = trace_of(log.read_text(encoding="utf-8"))
    assert f'archive ".{sep}app.jar": kept, unchanged' in logged and logged[-1] == "exit: status 0", logged


def test_bounds_and_a_trace_file_that_cannot_be_opened(lane, vm_app, tmp_path):  # noqa: F811
    long_value = "é" * 3000  # 6000 bytes in one option, far beyond a line
    exe = vm_app.pack(tmp_path / "app" / "app", ExtractLocation="0",
                      options=f"-Dlong={long_value}")
    # Only a regular file takes the trace: not a folder, nor a device (NUL) or a FIFO.
    special = "NUL"
    if not lane.windows:
        special = str(tmp_path / "fifo")
        os.mkfifo(special)
    cases = [
        (lane.native_path(tmp_path), 'trace: cannot append to "{}"'.format(lane.native_path(tmp_path))),
        (special, f'trace: cannot append to "{special}" ('),
        ("x" * 2000, "trace: VANTREL_TRACE names a file longer than 1024 bytes; tracing to standard error"),
    ]
    for value, first_line in cases:
        result = vm_app.run(exe, ["x\ty"], env={"VANTREL_TRACE": value})
        assert result.status == 0, result  # the launch itself goes on
        lines = trace_of(result.stderr)
        assert lines[0].startswith(first_line), lines
        assert 'main: argument 0 "x\\x09y" (command line)' in lines  # a control character stays on its line
    # Every line is at most 4096 bytes with its end and ends on a whole
    # character; a cut one says so.
    raw = [line for line in result.stderr.splitlines() if LINE.fullmatch(line)]
    cut = [line for line in raw if line.endswith(" [cut]")]
    assert len(cut) >= 2 and all(len(line.encode()) + 1 <= 4096 for line in raw), cut
    assert not any("\ufffd" in line for line in cut)  # no character was cut in two


def test_runtime_search_without_a_runtime(lane, tmp_path, request):
    """Registry entries in search order, each with its version and verdict."""
    home = tmp_path / "jdk11"
    (home / "empty").mkdir(parents=True)
    library = ("bin", "server", "jvm.dll") if lane.windows else ("lib", "server", "libjvm.so")
    hint = ("jre", "bin", "client", "jvm.dll" if lane.windows else "libjvm.so")
    key = "Software\\JavaSoft\\JRE"
    env = {"VANTREL_TRACE": "1"}
    if lane.windows:
        old = place(tmp_path / "jdk7" / "bin" / "server" / "jvm.dll")
        request.getfixturevalue("registry")({
            key: {"CurrentVersion": "1.7.0_80"},
            f"{key}\\1.7.0_80": {"RuntimeLib": lane.native_path(old)},
            f"{key}\\11.0.2": {"JavaHome": lane.native_path(home),
                               "RuntimeLib": lane.native_path(home.joinpath(*library))}})
    else:
        root = tmp_path / "jvm"
        for name, version in (("jdk7", "1.7.0_80"), ("jdk11", "11.0.2")):
            (root / name).mkdir(parents=True)
            (root / name / "release").write_text(f'JAVA_VERSION="{version}"\n')
        place(root / "jdk7" / "lib" / "server" / "libjvm.so")
        (root / "default-java").symlink_to(root / "jdk7")
        home = root / "jdk11"
        env["VANTREL_JVM_ROOT"] = str(root)
    exe = lane.pack(tmp_path / "app" / "app", settings={"MainClass": "p.M", "JvmSearchOrder": "1",
                                                         "JvmVersion": "1.8"})
    result = lane.run(exe, env=env)
    assert lane.exit_status(result.status) == 255, result
    old_home = "" if lane.windows else lane.native_path(tmp_path / "jvm" / "jdk7")
    in_order(trace_of(result.stderr), [
        'runtime: method 1',
        f'runtime: key "{key}\\1.7.0_80" (JavaHome "{old_home}"): version fails JvmVersion',
        f'runtime: key "{key}\\11.0.2" (JavaHome "{lane.native_path(home)}"): version accepted',
        f'runtime: RuntimeLib "{lane.native_path(home.joinpath(*library))}": no readable file',
        f'runtime: below JavaHome "{lane.native_path(home)}": no runtime library',
        'runtime: key "Software\\JavaSoft\\Java Runtime Environment" absent',
        'runtime: key "Software\\Eclipse Adoptium\\JDK" absent',
        f'runtime: JavaHome+hint "{lane.native_path(home.joinpath(*hint))}": no readable file',
        'runtime: none found',
        'exit: status -1',
    ])
    assert result.stderr.splitlines()[-2] == "Unable to locate suitable Java Runtime (min 1.8) on this machine."
    # The entry CurrentVersion names is judged once, not again in the enumeration.
    assert len([line for line in trace_of(result.stderr) if "1.7.0_80\" (JavaHome" in line]) == 1, result


def test_linux_service_events_and_notifications_beside_the_trace(linux_lane, java_apps, tmp_path):  # noqa: F811
    # The trace shares standard error with the service's event-log lines:
    # both stay whole lines, and systemd hears what it always hears.
    name = "vt-traced"
    exe = linux_lane.pack(tmp_path / "svc", settings={
        "MainClass": "vt.App", "JvmPath": str(JDK_HOMES[0] / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
        "ClassPath": str(java_apps["jar"]), "ServiceName": name, "JvmOptions": "-Dapp.mode=hold",
        "ServiceAppOptions": "--hold never", "ServiceStopArguments": "--release"})
    run = run_linux_service(linux_lane, exe, stop_after="holding", env={"VANTREL_TRACE": "1"})
    assert run.texts() == [STARTED.format(name), STOPPED.format(name)] and run.status == 0, run.stderr
    assert [n.split("\n")[0] for n in run.notifications] == [
        "STATUS=" + STARTING.format(name), "READY=1", "STOPPING=1", "STATUS=" + STOPPED.format(name)]
    lines = trace_of(run.stderr)
    assert all(LINE.fullmatch(line) or line.startswith(("<6>", "<3>")) for line in run.stderr.splitlines()), run.stderr
    for expected in (f'mode: service "{name}"', 'main: argument 0 "--hold" (ServiceAppOptions)',
                     "service: stop requested, through ServiceStopArguments",
                     'main: argument 0 "--release" (ServiceStopArguments)', "service: stopped", "exit: status 0"):
        assert expected in lines, (expected, lines)
    assert any(line.startswith("vm: option") and line.endswith('"-Xrs"') for line in lines), lines


@pytest.fixture
def other_account():
    """A second local account, made for the test and removed after it (root only)."""
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        pytest.skip("a second account needs root and useradd")
    name = f"vt{os.getpid()}{uuid.uuid4().hex[:6]}"
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name], check=True)
    try:
        yield pwd.getpwnam(name)
    finally:
        subprocess.run(["userdel", name], check=False)


def test_linux_links_another_user_plants_are_not_followed(linux_vm_app, tmp_path, other_account):  # noqa: F811
    # In a shared sticky folder of its own (where the kernel's protection of
    # links does not apply) the other account links the trace file and
    # StdOutFile to a file only root may read and write.
    shared, victim = tmp_path / "shared", tmp_path / "victim.txt"
    shared.mkdir()
    shared.chmod(0o1777)
    os.chown(shared, other_account.pw_uid, other_account.pw_gid)
    victim.write_text("root only\n")
    victim.chmod(0o600)
    for name in ("trace", "out.log"):
        (shared / name).symlink_to(victim)
        os.lchown(shared / name, other_account.pw_uid, other_account.pw_gid)
    app = linux_vm_app
    planted = app.pack(tmp_path / "app" / "app", StdOutMode="1", StdOutFile=str(shared / "out.log"))
    result = app.run(planted, env={"VANTREL_TRACE": str(shared / "trace")})
    assert app.lane.exit_status(result.status) == 255, result
    lines = trace_of(result.stderr)
    assert lines[0].startswith(f'trace: cannot append to "{shared / "trace"}" (Not a regular file'), lines
    reports = [line for line in result.err_lines if not LINE.fullmatch(line)]
    assert reports[-3:] == [f"Error writing to file/directory: {shared / 'out.log'}", "",
                                     "Reason: Not a regular file: a link, a folder, a device, a FIFO or a socket"]
    assert victim.read_text() == "root only\n"
    # A file of the launcher's own there is written as before, through its descriptor.
    own = app.pack(tmp_path / "own" / "app", options="-Dapp.print=out:2:0", StdOutMode="1",
                   StdOutFile=str(shared / "own.log"))
    result = app.run(own)
    assert result.status == 0 and (shared / "own.log").read_text() == "out 0\nout 1\n", result
