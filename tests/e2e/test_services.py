"""Services as users see them: installing and removing one (a Windows
service under Wine's Service Control Manager, a systemd unit on Linux), and
every end of a running service with its final status, its event-log entries
and its exit status.

Windows lane: the packed launcher with the stand-in runtime, installed,
started and stopped through Wine's sc and net; the stand-in writes its lines
to the file its -Dstandin.log option names. Linux lane: the packed launcher
with each installed JDK, run with the service switch and $NOTIFY_SOCKET as
systemd runs it, stopped with SIGTERM."""

import signal
import subprocess
import threading
from pathlib import Path

import pytest

from service_lanes import (FAILED, STARTED, STOPPED, SWITCH, TIMED_OUT, WineServices, run_linux_service,
                           unique_name, wait_until)
from test_launch import JDK_HOMES, java_apps, jdk  # noqa: F401 (fixtures)

NOT_FOUND = "Unable to locate suitable Java Runtime (min 1.8) on this machine."
REFUSED_QUOTE = "Refused: \"{}\" holds a double quote or ends with a backslash, which would change the service's " \
                "command line."
REFUSED_LENGTH = "Refused: the service's command line would be longer than 271 characters."
NOT_INSTALLED_LINUX = "The specified service does not exist as an installed service"
STOPPED_STATE = 1


def folders(path: Path):
    return [p for p in path.iterdir() if p.is_dir()]


# --- Installation: Windows ----------------------------------------------------------------

@pytest.fixture
def services(windows_lane):
    return WineServices(windows_lane)


def test_windows_install_entries_and_refusals(windows_lane, services, tmp_path):
    lane = windows_lane
    plain, override = unique_name("Plain"), unique_name("Over")
    exe = lane.pack(tmp_path / "plain" / "svc", settings={"MainClass": "vt.App", "ServiceName": plain})
    over_exe = lane.pack(tmp_path / "over" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": "Built", "ServiceCommandLineOverride": "1", "ServiceInteractive": "1",
        # One dependency: Wine 8 keeps only the first name of a longer list
        # (its own sc create garbles them); the Linux units show the list.
        "ServiceDependencies": "RpcSs;", "ServiceDescription": "Built description"})
    image = f'"{lane.native_path(exe)}" {SWITCH}'
    cases = [  # launcher, install arguments, name, the service's key, its description
        (exe, [], plain, {"ImagePath": image, "Type": "0x10", "Start": "0x2"}, None),
        (over_exe, [override, "A 100% description", "0"], override,
         {"ImagePath": f'"{lane.native_path(over_exe)}" {SWITCH} "{override}" "A 100% description" 0',
          "Type": "0x110", "Start": "0x3", "DependOnService": "RpcSs"}, "A 100% description"),
    ]
    for launcher, args, name, expected, description in cases:
        installed = lane.run(launcher, ["-install", *args])
        assert (installed.out_lines, installed.status) == ([f"Service installed: {name}"], 0), installed
        key = services.registry(f"SYSTEM\\CurrentControlSet\\Services\\{name}")
        assert {k: key[k][1] for k in expected} == expected, key
        assert ("Description" in key, key.get("Description", (None, None))[1]) == (description is not None,
                                                                                   description), key
        source = services.registry(f"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\{name}")
        assert source == {"EventMessageFile": ("REG_EXPAND_SZ", lane.native_path(launcher)),
                          "TypesSupported": ("REG_DWORD", "0x7")}, source
        assert services.query(name)[0] == STOPPED_STATE
        again = lane.run(launcher, ["-install", *args])
        assert again.err_lines == [f"Service is already installed: {name}"], again
        removed = lane.run(launcher, ["-uninstall", *args[:1]])
        assert removed.out_lines == [f"Service uninstalled: {name}"] and services.query(name) is None, removed
        gone = lane.run(launcher, ["-uninstall", *args[:1]])
        assert (gone.stderr.strip(), gone.status) == ("Service does not exist.", 0), gone

    # Texts that would change the command line, or make it too long, are
    # refused and nothing is installed.
    long_text = "d" * 300
    for args, message in ([['Odd"Name'], REFUSED_QUOTE.format('Odd"Name')],
                          [["Name1", "ends with \\"], REFUSED_QUOTE.format("ends with \\")],
                          [["Name2", long_text], REFUSED_LENGTH]):
        refused = lane.run(over_exe, ["-install", *args])
        assert (refused.err_lines, refused.stdout, refused.status) == ([message], "", 0), refused
        assert services.query(args[0]) is None
    # Run by hand, the service switch finds no dispatcher: the report, which
    # has no event source yet, goes to the console.
    by_hand = lane.run(exe, [SWITCH])
    assert by_hand.err_lines[:3] == ["Internal error RC000003", "", "Reason: Service controller connect failed."], \
        by_hand


# --- Installation: Linux --------------------------------------------------------------

def test_linux_units(linux_lane, tmp_path):
    lane, units = linux_lane, tmp_path / "units"
    units.mkdir()
    env = {"VANTREL_SYSTEMD_DIR": str(units)}
    exe = lane.pack(tmp_path / "app" / "svc", settings={"MainClass": "vt.App", "ServiceName": "vt-plain"})
    over = lane.pack(tmp_path / "over" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": "vt-built", "ServiceCommandLineOverride": "1",
        "ServiceDependencies": "dbus;systemd-journald", "ServiceDescription": "Built"})
    cases = [  # launcher, install arguments, unit name, unit text
        (exe, [], "vt-plain", f'[Unit]\n\n[Service]\nType=notify\nExecStart="{exe}" {SWITCH}\nKillMode=mixed\n\n'
                              "[Install]\nWantedBy=multi-user.target\n"),
        # Specifiers, variables and escapes in a text stay themselves.
        (over, ["vt-odd_1.x", "50% $HOME a\\b", "0"], "vt-odd_1.x",
         "[Unit]\nDescription=50%% $HOME a\\b\nAfter=dbus.service systemd-journald.service\n"
         "Requires=dbus.service systemd-journald.service\n\n[Service]\nType=notify\n"
         f'ExecStart="{over}" {SWITCH} "vt-odd_1.x" "50%% $$HOME a\\\\b" 0\nKillMode=mixed\n'),
    ]
    for launcher, args, name, text in cases:
        unit = units / f"{name}.service"
        installed = lane.run(launcher, ["-install", *args], env=env)
        assert (installed.out_lines, installed.status) == ([f"Service installed: {name}"], 0), installed
        assert unit.read_text() == text
        # systemd itself does not run here; its checker works offline.
        verified = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True, timeout=60)
        assert verified.returncode == 0, verified.stderr
        again = lane.run(launcher, ["-install", *args], env=env)
        assert again.err_lines == [f"Service is already installed: {name}"] and unit.read_text() == text, again
        removed = lane.run(launcher, ["-uninstall", *args[:1]], env=env)
        assert removed.out_lines == [f"Service uninstalled: {name}"] and not unit.exists(), removed
        gone = lane.run(launcher, ["-uninstall", *args[:1]], env=env)
        assert gone.err_lines == [NOT_INSTALLED_LINUX], gone

    # Nothing is written for a name that is no unit name (it would leave the
    # folder), a text with a line break or a quote, or a dependency that is
    # no unit name.
    bad_dependency = lane.pack(tmp_path / "dep" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": "vt-dep", "ServiceDependencies": "dbus;a b"})
    not_a_name = "Not a systemd unit name (letters, digits, ':', '-', '_' and '.' only, at most 247), " \
                 "or a line break in a unit text"
    for launcher, args, message in [(over, ["../escape"], not_a_name), (over, ["two words"], not_a_name),
                                    (over, ["vt-a", "line\nbreak"], not_a_name),
                                    (over, ["vt-b", 'say "hi"'], REFUSED_QUOTE.format('say "hi"')),
                                    (bad_dependency, [], not_a_name)]:
        refused = lane.run(launcher, ["-install", *args], env=env)
        assert (refused.err_lines, refused.status) == ([message], 0), refused
    assert list(units.iterdir()) == [] and not (tmp_path / "escape.service").exists()


# --- The ends of a running service ------------------------------------------------------

def standin_base(lane, log: Path, name, script):
    runtime = lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
    return {"MainClass": "vt.App", "JvmPath": lane.native_path(runtime), "JvmSearchOrder": "0", "JvmVersion": "",
            "ServiceName": name, "JvmOptions": f'"-Dstandin.script={script}" "-Dstandin.log={lane.native_path(log)}"'}


def test_windows_end_paths(windows_lane, services, tmp_path):
    lane = windows_lane
    jar = tmp_path / "app.jar"
    jar.write_bytes(b"PK\x05\x06" + bytes(18))
    hold = {"ServiceAppOptions": "--hold never"}
    cases = [  # id, script, settings, stop requests, event texts, final (state, exit codes), stand-in lines
        ("ByExit", "hold", {**hold, "ServiceStopByExit": "1", "ExtractLocation": "1", "RemoveExtractedFiles": "1"},
         1, [STARTED, STOPPED], (0, 0),
         ["attach version=0x10002 name=Vantrel stopper thread group=none\nstandin class java/lang/System\n"
          "standin exit 0"]),
        ("ByArgs", "hold", {**hold, "ServiceStopArguments": "--release now"}, 1, [STARTED, STOPPED], (0, 0),
         ["main call 2 on thread", "main released"]),
        ("Ends", "args", {}, 0, [STARTED, STOPPED], (0, 0), ["main call 1 on thread"]),
        ("Exit3", "exit=3", {}, 0, [STARTED, STOPPED], (0, 0), ["exit 3"]),
        ("NoJvm", "args", {"JvmPath": "Z:\\nowhere\\jvm.dll", "JvmVersion": "1.8"}, 0,
         [STARTED, NOT_FOUND, FAILED], (1066, 1013), []),
        # The override form: name, description and start type come from the
        # service's own command line.
        ("Over", "args", {"ServiceCommandLineOverride": "1", "ServiceDescription": "From the command line",
                          "ServiceManualStart": "1"}, 0, [STARTED, STOPPED], (0, 0),
         ["property vantrel.service.description=From the command line", "property vantrel.service.starttype=0"]),
    ]
    for case, script, settings, stops, texts, codes, lines in cases:
        name = unique_name(case)
        log = tmp_path / case / "standin.log"
        exe = lane.pack(tmp_path / case / "svc", settings={**standin_base(lane, log, name, script), **settings},
                        archives=[jar] if "ExtractLocation" in settings else ())
        run = services.run(exe, name, stop=stops)
        assert run.texts() == [t.format(name) for t in texts], (case, run.events)
        assert [kind for kind, _ in run.events] == ["info"] + ["error"] * (len(texts) - 2) + [
            "info" if codes == (0, 0) else "error"], run.events
        assert run.state == (STOPPED_STATE, *codes, 0), (case, run.state)
        said = log.read_text(errors="replace") if log.exists() else ""
        assert all(line in said for line in lines), (case, said)
        # The unpacked archives go once the process has ended.
        wait_until(lambda: not folders(exe.parent), 30, f"{case}: the unpacked archives removed")


def test_windows_windowed_launcher_reports_to_the_event_log(windows_lane, services, tmp_path):
    # As a service the windowed launcher shows no window: its reports go to
    # the event log, and a failure to start is reported to the manager.
    name = unique_name("Windowed")
    exe = windows_lane.pack(tmp_path / "svc", stub=windows_lane.windowed, settings={
        **standin_base(windows_lane, tmp_path / "standin.log", name, "args"), "JvmPath": "Z:\\nowhere\\jvm.dll",
        "JvmVersion": "1.8"})
    run = services.run(exe, name)
    assert run.texts() == [STARTED.format(name), NOT_FOUND, FAILED.format(name)], run.events
    assert run.state == (STOPPED_STATE, 1066, 1013, 0), run.state


def linux_base(jdk, java_apps, name, **settings):  # noqa: F811
    return {"MainClass": "vt.App", "JvmPath": str(jdk / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
            "ClassPath": str(java_apps["jar"]), "ServiceName": name, **settings}


def test_linux_end_paths(linux_lane, jdk, java_apps, tmp_path):  # noqa: F811
    lane, name = linux_lane, "vt-svc"
    started, stopped, failed = (f"STATUS={text.format(name)}" for text in (STARTED, STOPPED, FAILED))
    ready, stopping = "READY=1\n" + started, "STOPPING=1\nEXTEND_TIMEOUT_USEC=40000000"
    hold = {"JvmOptions": "-Dapp.mode=hold", "ServiceAppOptions": "--hold never"}
    cases = [  # id, settings, stop signal after, event texts, notifications, exit status, stdout check
        ("exit", {**hold, "ServiceStopByExit": "1", "ClassPath": "", "ExtractLocation": "1",
                  "RemoveExtractedFiles": "1"}, "holding", [STARTED, STOPPED], [ready, stopping, stopped], 0,
         lambda out: "vmarg=-Xrs" in out and "released" not in out),
        ("args", {**hold, "ServiceStopArguments": "--release"}, "holding", [STARTED, STOPPED],
         [ready, stopping, stopped], 0, lambda out: out.count("app main") == 2 and "released" in out),
        ("ends", {}, None, [STARTED, STOPPED], [ready, stopped], 0, lambda out: "main returns" in out),
        ("exit3", {"JvmOptions": "-Dapp.mode=exit -Dapp.status=3"}, None, [STARTED, STOPPED], [ready, stopped], 3,
         lambda out: "app main" in out),
        ("nojvm", {"JvmPath": "/nowhere/libjvm.so"}, None, [STARTED, NOT_FOUND, FAILED], [ready, failed], 0,
         lambda out: out == ""),
    ]
    for case, settings, stop_after, texts, notes, status, check in cases:
        exe = lane.pack(tmp_path / case / "svc", settings=linux_base(jdk, java_apps, name, **settings),
                        archives=[java_apps["jar"]] if "ExtractLocation" in settings else ())
        run = run_linux_service(lane, exe, stop_after=stop_after)
        assert run.texts() == [t.format(name) for t in texts], (case, run.stderr)
        assert (run.notifications, run.status) == (notes, status), (case, run.notifications, run.stderr)
        assert check(run.stdout), (case, run.stdout)
        wait_until(lambda: not folders(exe.parent), 30, f"{case}: the unpacked archives removed")


def test_linux_a_repeated_stop_starts_no_second_stop(linux_lane, tmp_path, java_apps):  # noqa: F811
    # SIGTERM, then SIGINT while the stop is pending: one stop call (it does
    # not end the application; the file does), one stop-pending report.
    release = tmp_path / "release"
    exe = linux_lane.pack(tmp_path / "svc", settings=linux_base(
        JDK_HOMES[0], java_apps, "vt-twice", JvmOptions="-Dapp.mode=hold", ServiceAppOptions=f"--hold {release}",
        ServiceStopArguments="--noop"))
    run = run_linux_service(linux_lane, exe, stop_after="holding", signals=(signal.SIGTERM, signal.SIGINT),
                            after_stop=lambda out: "main returns" in out and not release.write_text(""))
    assert run.texts() == [STARTED.format("vt-twice"), STOPPED.format("vt-twice")] and run.status == 0, run.stderr
    assert [n.split("\n")[0] for n in run.notifications] == ["READY=1", "STOPPING=1", "STATUS=" + STOPPED.format(
        "vt-twice")], run.notifications
    assert run.stdout.count("app main") == 2 and "released" in run.stdout


def test_forced_stop_after_30_seconds_in_both_lanes(linux_lane, windows_lane, java_apps, tmp_path):  # noqa: F811
    # The one slow test: both lanes at once. Linux: the stop call succeeds but
    # does not end the application: message 20, then 18. Windows: the
    # application refuses System.exit (message 13): message 20, then 19 with
    # the exit codes of a failed service.
    services, name = WineServices(windows_lane), unique_name("Forced")
    log = tmp_path / "standin.log"
    exe = windows_lane.pack(tmp_path / "win" / "svc", settings={
        **standin_base(windows_lane, log, name, "refuseexit,hold,ignorestop"), "ServiceAppOptions": "--hold never",
        "ServiceStopByExit": "1"})
    windows = {}
    thread = threading.Thread(target=lambda: windows.update(run=services.run(exe, name, stop=1, wait=90)))
    thread.start()
    linux_exe = linux_lane.pack(tmp_path / "linux" / "svc", settings=linux_base(
        JDK_HOMES[0], java_apps, "vt-forced", JvmOptions="-Dapp.mode=hold", ServiceAppOptions="--hold never",
        ServiceStopArguments="--noop"))
    linux = run_linux_service(linux_lane, linux_exe, stop_after="holding")
    thread.join(timeout=120)
    assert linux.texts() == [t.format("vt-forced") for t in (STARTED, TIMED_OUT, STOPPED)], linux.stderr
    assert linux.status == 0 and linux.notifications[-1] == "STATUS=" + STOPPED.format("vt-forced")
    run = windows["run"]
    assert run.texts() == [STARTED.format(name), "Error invoking method: exit(int)", TIMED_OUT.format(name),
                           FAILED.format(name)], run.events
    assert run.state == (STOPPED_STATE, 1066, 1013, 0)
