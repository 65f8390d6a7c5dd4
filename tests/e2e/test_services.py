"""Services as users see them: installing and removing one (a Windows
service under Wine's Service Control Manager, a systemd unit on Linux), and
every end of a running service with its final status, its event-log entries
and its exit status.

Windows lane: the packed launcher with the stand-in runtime, installed,
started and stopped through Wine's sc and net; the stand-in writes its lines
to the file its -Dstandin.log option names. Linux lane: the packed launcher
with each installed JDK, run with the service switch and $NOTIFY_SOCKET as
systemd runs it, stopped with SIGTERM."""

import os
import signal
import subprocess
from pathlib import Path

import pytest

from service_lanes import (ABORTED, AT_START, EXIT_STATUS, FAILED, STARTED, STARTING, STOPPED, SWITCH, TIMED_OUT,
                           WineServices, run_linux_service, run_table, unique_name, wait_until)
from test_launch import JDK_HOMES, java_apps, jdk  # noqa: F401 (fixtures)

NOT_FOUND = "Unable to locate suitable Java Runtime (min 1.8) on this machine."
REFUSED_QUOTE = "Refused: \"{}\" holds a double quote or ends with a backslash, which would change the service's " \
                "command line."
REFUSED_LENGTH = "Refused: the service's command line would be longer than 271 characters."
NOT_INSTALLED_LINUX = "The specified service does not exist as an installed service"
STOPPED_STATE = 1
# The failure actions as Windows' manager keeps them: reset after a day, no
# reboot message or command, one action (its offset 20): restart after 7000 ms.
RESTART_AFTER_7S = "80510100" "00000000" "00000000" "01000000" "14000000" "01000000" "581B0000"


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
    # An operator's service: its own virtual account, a display name, a
    # restart 7 s after a failure (also a failure exit code), a stop budget of
    # 5 s and 10 s to report it (also for a shutdown), a delayed start.
    ops = unique_name("Ops")
    ops_exe = lane.pack(tmp_path / "ops" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": ops, "ServiceAccount": f"nt service\\{ops}", "ServiceRestart": "1",
        "ServiceDisplayName": f"Operations {ops}", "ServiceRestartDelay": "7", "ServiceStopTimeout": "5",
        "ServiceDelayedStart": "1"})
    image = f'"{lane.native_path(exe)}" {SWITCH}'
    cases = [  # launcher, install arguments, name, the service's key (None: no such value), its description
        (exe, [], plain, {"ImagePath": image, "Type": "0x10", "Start": "0x2", "DisplayName": plain,
                          "ObjectName": "LocalSystem", "PreshutdownTimeout": "0x9c40", "FailureActions": None,
                          "DelayedAutostart": None}, None),
        (over_exe, [override, "A 100% description", "0"], override,
         {"ImagePath": f'"{lane.native_path(over_exe)}" {SWITCH} "{override}" "A 100% description" 0',
          "Type": "0x110", "Start": "0x3", "DependOnService": "RpcSs"}, "A 100% description"),
        (ops_exe, [], ops, {"DisplayName": f"Operations {ops}", "ObjectName": f"NT SERVICE\\{ops}", "Start": "0x2",
                            "FailureActions": RESTART_AFTER_7S,
                            "FailureActionsOnNonCrashFailures": "0x1", "PreshutdownTimeout": "0x3a98",
                            "DelayedAutostart": "0x1"}, None),
    ]
    for launcher, args, name, expected, description in cases:
        installed = lane.run(launcher, ["-install", *args])
        assert (installed.out_lines, installed.status) == ([f"Service installed: {name}"], 0), installed
        key = services.registry(f"SYSTEM\\CurrentControlSet\\Services\\{name}")
        assert {k: key.get(k, (None, None))[1] for k in expected} == expected, key
        assert ("Description" in key, key.get("Description", (None, None))[1]) == (description is not None,
                                                                                   description), key
        source = services.registry(f"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\{name}")
        assert source == {"EventMessageFile": ("REG_EXPAND_SZ", lane.native_path(launcher)),
                          "TypesSupported": ("REG_DWORD", "0x7")}, source
        assert services.query(name)[0] == STOPPED_STATE
        # Scripts read the exit status: 0 only when the change was made.
        again = lane.run(launcher, ["-install", *args])
        assert (again.err_lines, again.status) == ([f"Service is already installed: {name}"], 1), again
        removed = lane.run(launcher, ["-uninstall", *args[:1]])
        assert removed.out_lines == [f"Service uninstalled: {name}"] and services.query(name) is None, removed
        gone = lane.run(launcher, ["-uninstall", *args[:1]])
        assert (gone.stderr.strip(), gone.status) == ("Service does not exist.", 1), gone

    # Texts that would change the command line, or make it too long, are
    # refused and nothing is installed.
    long_text = "d" * 300
    for args, message in ([['Odd"Name'], REFUSED_QUOTE.format('Odd"Name')],
                          [["Name1", "ends with \\"], REFUSED_QUOTE.format("ends with \\")],
                          [["Name2", long_text], REFUSED_LENGTH]):
        refused = lane.run(over_exe, ["-install", *args])
        assert (refused.err_lines, refused.stdout, refused.status) == ([message], "", 1), refused
        assert services.query(args[0]) is None
    # An account that would need a password (none is ever stored).
    needs_password = unique_name("Pass")
    refused = lane.run(lane.pack(tmp_path / "pass" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": needs_password, "ServiceAccount": ".\\alice"}), ["-install"])
    assert (refused.stderr.strip(), refused.status, services.query(needs_password)) == ("Invalid service account.", 1,
                                                                                        None), refused
    # Run by hand, the service switch finds no dispatcher: the report, which
    # has no event source yet, goes to the console.
    by_hand = lane.run(exe, [SWITCH])
    assert by_hand.err_lines[:3] == ["Internal error RC000003", "", "Reason: Service controller connect failed."], \
        by_hand
    assert lane.exit_status(by_hand.status) == 255

    # Removing a running service stops it first: afterwards nothing runs
    # under the name, and it can be installed again.
    running, log = unique_name("Running"), tmp_path / "running" / "standin.log"
    holding = lane.pack(tmp_path / "running" / "svc", settings={
        **standin_base(lane, log, running, "hold"), "ServiceAppOptions": "--hold never", "ServiceStopByExit": "1"})
    mark = services.mark()
    assert lane.run(holding, ["-install"]).status == 0
    services.tool("net", "start", running)
    services.wait_state(running, 4)
    removed = lane.run(holding, ["-uninstall"])
    assert (removed.out_lines, removed.status, services.query(running)) == ([f"Service uninstalled: {running}"], 0,
                                                                            None), removed
    assert services.events(mark, running) == [("info", STARTED.format(running)), ("info", STOPPED.format(running))]
    assert lane.run(holding, ["-install"]).status == 0 and lane.run(holding, ["-uninstall"]).status == 0


# --- Installation: Linux --------------------------------------------------------------

def test_linux_units(linux_lane, tmp_path):
    lane, units = linux_lane, tmp_path / "units"
    units.mkdir()
    env = {"VANTREL_SYSTEMD_DIR": str(units)}
    exe = lane.pack(tmp_path / "app" / "svc", settings={"MainClass": "vt.App", "ServiceName": "vt-plain"})
    over = lane.pack(tmp_path / "over" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": "vt-built", "ServiceCommandLineOverride": "1",
        "ServiceDependencies": "network-online.target;dbus", "ServiceDescription": "Built"})
    # An operator's service: its account, its stop budget (5 s and 10 s to
    # report it), a restart after a failure, and a working directory of its
    # own (relative to the executable's folder).
    ops = lane.pack(tmp_path / "ops" / "svc", settings={
        "MainClass": "vt.App", "ServiceName": "vt-ops", "ServiceAccount": "vt-user:vt-group", "ServiceRestart": "1",
        "ServiceRestartDelay": "7", "ServiceStopTimeout": "5", "WorkingDirectory": "work%dir"})
    install = "\n[Install]\nWantedBy=multi-user.target\n"
    cases = [  # launcher, install arguments, unit name, unit text
        (exe, [], "vt-plain", f'[Unit]\n\n[Service]\nType=notify\nExecStart="{exe}" {SWITCH}\n'
                              f"WorkingDirectory={exe.parent}\nKillMode=mixed\nTimeoutStopSec=40\n{install}"),
        # Specifiers, variables and escapes in a text stay themselves; a
        # dependency that names its unit type keeps it; a unit to be started
        # by hand can still be enabled later.
        (over, ["vt-odd_1.x", "50% $HOME a\\b", "0"], "vt-odd_1.x",
         "[Unit]\nDescription=50%% $HOME a\\b\nAfter=network-online.target dbus.service\n"
         "Requires=network-online.target dbus.service\n\n[Service]\nType=notify\n"
         f'ExecStart="{over}" {SWITCH} "vt-odd_1.x" "50%% $$HOME a\\\\b" 0\nWorkingDirectory={over.parent}\n'
         f"KillMode=mixed\nTimeoutStopSec=40\n{install}"),
        (ops, [], "vt-ops", f'[Unit]\n\n[Service]\nType=notify\nExecStart="{ops}" {SWITCH}\n'
                            f"WorkingDirectory={ops.parent}/work%%dir\nUser=vt-user\nGroup=vt-group\nKillMode=mixed\n"
                            f"TimeoutStopSec=15\nRestart=on-failure\nRestartSec=7\n{install}"),
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
        assert (again.err_lines, again.status) == ([f"Service is already installed: {name}"], 1), again
        assert unit.read_text() == text
        removed = lane.run(launcher, ["-uninstall", *args[:1]], env=env)
        assert removed.out_lines == [f"Service uninstalled: {name}"] and not unit.exists(), removed
        gone = lane.run(launcher, ["-uninstall", *args[:1]], env=env)
        assert (gone.err_lines, gone.status) == ([NOT_INSTALLED_LINUX], 1), gone

    # Nothing is written, and the exit status says so, for a name that is no
    # unit name (it would leave the folder), a text with a line break or a
    # quote, a switch that systemd would read as another command line (a
    # quote of its own, a lone ';' that ends the command), or a dependency
    # that is no unit name.
    def packed(case, **settings):
        return lane.pack(tmp_path / case / "svc", settings={"MainClass": "vt.App", "ServiceName": "vt-x", **settings})
    not_a_name = "Not a systemd unit name (letters, digits, ':', '-', '_' and '.' only, at most 247)"
    not_unit_text = "A text systemd would read otherwise: a line break, a quote outside the quoted texts, or a lone ';'"
    not_an_account = ("Not an account for the unit: a user or user:group name (letters, digits, '_', '-' and '.', at "
                      "most 32 each)")
    for launcher, args, message in [(over, ["../escape"], not_a_name), (over, ["two words"], not_a_name),
                                    (over, ["vt-a", "line\nbreak"], not_unit_text),
                                    (over, ["vt-b", 'say "hi"'], REFUSED_QUOTE.format('say "hi"')),
                                    (packed("quote", ServiceSwitch="-x'"), [], not_unit_text),
                                    (packed("semicolon", ServiceSwitch=";"), [], not_unit_text),
                                    (packed("dep", ServiceDependencies="dbus;a b"), [], not_a_name),
                                    (packed("account", ServiceAccount="vt-user:a\nb"), [], not_an_account)]:
        refused = lane.run(launcher, ["-install", *args], env=env)
        assert (refused.err_lines, refused.status) == ([message], 1), refused
    assert list(units.iterdir()) == [] and not (tmp_path / "escape.service").exists()


def test_linux_systemctl_failures_fail_the_change(linux_lane, tmp_path):
    # In the system folder the launcher asks systemctl (a stand-in of ours,
    # first on PATH, fails as told and notes its calls); the folder and /run
    # (where a running systemd shows) are private to the launcher's mount
    # namespace. What systemctl says reaches the operator, and a failure is
    # a failed change: the unit is taken out again, or not removed.
    if os.geteuid() != 0 or subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("a private mount namespace needs root")
    bin_dir, units, calls = tmp_path / "bin", tmp_path / "units", tmp_path / "calls"
    bin_dir.mkdir()
    units.mkdir()
    (bin_dir / "systemctl").write_text(
        f'#!/bin/sh\necho "$*" >> {calls}\ncase " $FAIL " in *" $1 "*) echo "Failed to $1: refused by the test" >&2; '
        "exit 1;; esac\n")
    (bin_dir / "systemctl").chmod(0o755)
    exe = linux_lane.pack(tmp_path / "app" / "svc", settings={"MainClass": "vt.App", "ServiceName": "vt-sys"})
    unit = units / "vt-sys.service"
    refused = "systemctl failed (its own words are above) or did not answer in time"
    cases = [  # switch, systemd runs, systemctl fails at, exit status, unit there afterwards, calls, error lines
        ("-install", True, "enable", 1, False, ["daemon-reload", "enable vt-sys.service", "daemon-reload"],
         ["Failed to enable: refused by the test", refused]),
        ("-install", True, "daemon-reload", 1, False, ["daemon-reload"],
         ["Failed to daemon-reload: refused by the test", refused]),
        # Without a running systemd there is nothing to reload; enabling works.
        ("-install", False, "", 0, True, ["enable vt-sys.service"], []),
        ("-uninstall", True, "stop", 1, True, ["stop vt-sys.service"],
         ["Failed to stop: refused by the test", refused]),
        ("-uninstall", True, "disable", 1, True, ["stop vt-sys.service", "disable vt-sys.service"],
         ["Failed to disable: refused by the test", refused]),
        ("-uninstall", True, "", 0, False, ["stop vt-sys.service", "disable vt-sys.service", "daemon-reload"], []),
    ]
    for switch, booted, fail, status, kept, called, errors in cases:
        calls.unlink(missing_ok=True)
        script = ('mount -t tmpfs none /run && { [ -z "$BOOTED" ] || mkdir -p /run/systemd/system; } && '
                  f'mount --bind {units} /etc/systemd/system && exec "$@"')
        env = linux_lane.environment({"PATH": f"{bin_dir}:{os.environ['PATH']}", "FAIL": fail,
                                      "BOOTED": "1" if booted else ""}, unset=("VANTREL_SYSTEMD_DIR",))
        proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", str(exe), switch],
                              capture_output=True, text=True, env=env, timeout=60)
        case = (switch, fail, proc.returncode, proc.stdout, proc.stderr)
        assert (proc.returncode, unit.exists(), proc.stderr.splitlines()) == (status, kept, errors), case
        assert (calls.read_text().splitlines() if calls.exists() else []) == called, case


# --- The ends of a running service ------------------------------------------------------
#
# Every way a service can end, in both lanes: what the service manager records
# (Windows: state, WIN32_EXIT_CODE and SERVICE_EXIT_CODE as sc query shows
# them; Linux: the exit status and the notifications) and the event-log
# entries with their types. The slow cases run on threads of their own
# beside the other cases. The forced stop waits out a ServiceStopTimeout of
# 5 s, not the default 30 s (which the stop's wait hint of 40 s shows).
FORCED_AFTER = (5, 20)  # seconds from the stop request to the end: not before the timeout, well before 30 s

MAIN_FAILED = "Error invoking method: main(java/lang/String[])"


def standin_base(lane, log: Path, name, script):
    runtime = lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
    return {"MainClass": "vt.App", "JvmPath": lane.native_path(runtime), "JvmSearchOrder": "0", "JvmVersion": "",
            "ServiceName": name, "JvmOptions": f'"-Dstandin.script={script}" "-Dstandin.log={lane.native_path(log)}"'}


def test_windows_end_paths(windows_lane, services, tmp_path):
    lane = windows_lane
    jar = tmp_path / "app.jar"
    jar.write_bytes(b"PK\x05\x06" + bytes(18))
    hold = {"ServiceAppOptions": "--hold never"}
    info, error = "info", "error"
    cases = [  # id, script, settings, stop (in state: 4 running, 2 start pending), entries, (state, exit codes),
        #        stand-in lines (a line starting with "!" must not be there)
        ("ByExit", "hold", {**hold, "ServiceStopByExit": "1", "ExtractLocation": "1", "RemoveExtractedFiles": "1"},
         4, [(info, STARTED), (info, STOPPED)], (0, 0),
         ["attach version=0x10002 name=Vantrel stopper thread group=none\nstandin class java/lang/System\n"
          "standin exit 0"]),
        ("ByArgs", "hold", {**hold, "ServiceStopArguments": "--release now"}, 4, [(info, STARTED), (info, STOPPED)],
         (0, 0), ["main call 2 on thread", "main released"]),
        ("Ends", "args", {}, 0, [(info, STARTED), (info, STOPPED)], (0, 0), ["main call 1 on thread"]),
        ("Exit0", "exit=0", {}, 0, [(info, STARTED), (info, STOPPED)], (0, 0), ["exit 0"]),
        ("Exit3", "exit=3", {}, 0, [(info, STARTED), (error, EXIT_STATUS.format("{}", 3))], (1066, 3), ["exit 3"]),
        ("Throws", "throw", {}, 0, [(info, STARTED), (error, MAIN_FAILED), (error, FAILED)], (1066, 1013), []),
        ("NoJvm", "args", {"JvmPath": "Z:\\nowhere\\jvm.dll", "JvmVersion": "1.8"}, 0,
         [(error, NOT_FOUND), (error, FAILED)], (1066, 1013), []),
        ("NoClass", "noclass", {}, 0, [(error, "Error locating class: vt/App"), (error, FAILED)], (1066, 1013),
         ["!main call"]),
        # The application refuses System.exit: the stop is forced.
        ("Forced", "refuseexit,hold,ignorestop", {**hold, "ServiceStopByExit": "1", "ServiceStopTimeout": "5"}, 4,
         [(info, STARTED), (error, "Error invoking method: exit(int)"), (error, TIMED_OUT)], (1066, 1014), []),
        ("Abort", "out=last words,abort", {"StdOutMode": "2"}, 0, [(info, STARTED), (error, ABORTED)], (1066, 1015),
         ["standin abort"]),
        # A stop while the VM is created (10 s, long enough for sc on a busy
        # machine to see it start): main is never called.
        ("EarlyStop", "args", {"JvmOptions": "-Dstandin.createms=10000", "ServiceStopArguments": "--stop"}, 2,
         [(info, STOPPED)], (0, 0), ["!main call"]),
        # The override form: name, description and start type come from the
        # service's own command line.
        ("Over", "args", {"ServiceCommandLineOverride": "1", "ServiceDescription": "From the command line",
                          "ServiceManualStart": "1"}, 0, [(info, STARTED), (info, STOPPED)], (0, 0),
         ["property vantrel.service.description=From the command line", "property vantrel.service.starttype=0"]),
    ]

    def run(case):
        case_id, script, settings, stop, _, _, _ = case
        name, log = unique_name(case_id), tmp_path / case_id / "standin.log"
        base = standin_base(lane, log, name, script)
        settings = {**base, **settings, "JvmOptions": f'{base["JvmOptions"]} {settings.get("JvmOptions", "")}'}
        exe = lane.pack(tmp_path / case_id / "svc", settings=settings,
                        archives=[jar] if "ExtractLocation" in settings else ())
        return name, exe, log, services.run(exe, name, stop=1 if stop else 0, stop_state=stop or 4, wait=90)

    slow = ("Forced", "EarlyStop")
    for case, (name, exe, log, run) in zip(cases, run_table(cases, run, slow=lambda case: case[0] in slow)):
        case_id, _, _, _, entries, codes, lines = case
        assert run.entries() == [(kind, text.format(name)) for kind, text in entries], (case_id, run.events)
        assert run.state == (STOPPED_STATE, *codes, 0), (case_id, run.state)
        said = log.read_text(errors="replace") if log.exists() else ""
        assert all((line[1:] not in said) if line.startswith("!") else (line in said) for line in lines), \
            (case_id, said)
        if case_id == "Abort":  # what the application printed last goes with the report
            assert run.events[1][1] == ABORTED + "\n\nDetails:\nlast words\r\n", run.events
        if case_id == "Forced":
            assert FORCED_AFTER[0] <= run.stop_seconds < FORCED_AFTER[1], run.stop_seconds
        # The unpacked archives go once the process has ended.
        wait_until(lambda: not folders(exe.parent), 30, f"{case_id}: the unpacked archives removed")


def test_windows_windowed_launcher_reports_to_the_event_log(windows_lane, services, tmp_path):
    # As a service the windowed launcher shows no window: its reports go to
    # the event log, and a failure to start is reported to the manager.
    name = unique_name("Windowed")
    exe = windows_lane.pack(tmp_path / "svc", stub=windows_lane.windowed, settings={
        **standin_base(windows_lane, tmp_path / "standin.log", name, "args"), "JvmPath": "Z:\\nowhere\\jvm.dll",
        "JvmVersion": "1.8"})
    run = services.run(exe, name)
    assert run.texts() == [NOT_FOUND, FAILED.format(name)], run.events
    assert run.state == (STOPPED_STATE, 1066, 1013, 0), run.state


def linux_base(jdk, java_apps, name, **settings):  # noqa: F811
    return {"MainClass": "vt.App", "JvmPath": str(jdk / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
            "ClassPath": str(java_apps["jar"]), "ServiceName": name, **settings}


def test_linux_end_paths(linux_lane, jdk, java_apps, tmp_path):  # noqa: F811
    lane, name = linux_lane, "vt-svc"
    starting, ready = f"STATUS={STARTING.format(name)}", f"READY=1\nSTATUS={STARTED.format(name)}"
    stopping = "STOPPING=1\nEXTEND_TIMEOUT_USEC=40000000"
    stopped, failed = (f"STATUS={text.format(name)}" for text in (STOPPED, FAILED))
    info, error = "info", "error"
    hold = {"JvmOptions": "-Dapp.mode=hold", "ServiceAppOptions": "--hold never"}
    # The VM's creation lasts 3 s longer: its system class loader sleeps.
    slow_start = "-Djava.system.class.loader=vt.SlowLoader -Dapp.createms=3000"
    # System.out captured; it prints a line, then one without its line feed.
    partial = {"StdOutMode": "2", "JvmOptions": "-Dapp.print=out:1:0,out:0:0"}
    crash = f"-XX:+CrashOnOutOfMemoryError -XX:-CreateCoredumpOnCrash -XX:ErrorFile={tmp_path}/hs_err.log"
    cases = [  # id, settings, (signal, after: an output text or AT_START), entries, notifications, exit status,
        #        check of the run
        ("exit", {**hold, "ServiceStopByExit": "1", "ClassPath": "", "ExtractLocation": "1",
                  "RemoveExtractedFiles": "1"}, (signal.SIGTERM, "holding"), [(info, STARTED), (info, STOPPED)],
         [starting, ready, stopping, stopped], 0,
         lambda run: "vmarg=-Xrs" in run.stdout and "released" not in run.stdout),
        ("args", {**hold, "ServiceStopArguments": "--release"}, (signal.SIGTERM, "holding"),
         [(info, STARTED), (info, STOPPED)], [starting, ready, stopping, stopped], 0,
         lambda run: run.stdout.count("app main") == 2 and "released" in run.stdout),
        # The last line without its line feed still reaches the echo.
        ("ends", partial, None, [(info, STARTED), (info, STOPPED)], [starting, ready, stopped], 0,
         lambda run: "main returns" in run.stdout and run.stderr.splitlines().count("out 0") == 2),
        ("exit0", {"JvmOptions": "-Dapp.mode=exit -Dapp.status=0"}, None, [(info, STARTED), (info, STOPPED)],
         [starting, ready, stopped], 0, lambda run: "app main" in run.stdout),
        ("exit3", {"JvmOptions": "-Dapp.mode=exit -Dapp.status=3"}, None,
         [(info, STARTED), (error, EXIT_STATUS.format(name, 3))], [starting, ready, "STATUS=" + EXIT_STATUS.format(
             name, 3)], 3, lambda run: "app main" in run.stdout),
        # ... and the failure report's details.
        ("throws", {**partial, "JvmOptions": "-Dapp.mode=throw -Dapp.print=out:1:0,out:0:0"}, None,
         [(info, STARTED), (error, MAIN_FAILED), (error, FAILED)], [starting, ready, failed], 255,
         lambda run: run.events[1][1].split(" Details: ")[1].count("out 0") == 2),
        ("nojvm", {"JvmPath": "/nowhere/libjvm.so"}, None, [(error, NOT_FOUND), (error, FAILED)],
         [starting, failed], 255, lambda run: run.stdout == ""),
        ("noclass", {"MainClass": "vt.Missing"}, None, [(error, "Error locating class: vt/Missing"), (error, FAILED)],
         [starting, failed], 255, lambda run: run.stdout == ""),
        # The stop call returns, but the application does not end.
        ("forced", {**hold, "ServiceStopArguments": "--noop", "ServiceStopTimeout": "5"}, (signal.SIGTERM, "holding"),
         [(info, STARTED), (error, TIMED_OUT)],
         [starting, ready, "STOPPING=1\nEXTEND_TIMEOUT_USEC=15000000", "STATUS=" + TIMED_OUT.format(name)], 255,
         lambda run: "released" not in run.stdout and FORCED_AFTER[0] <= run.stop_seconds < FORCED_AFTER[1]),
        ("abort", {"StdErrMode": "2", "JvmOptions": f"-Xmx32m -Dapp.mode=oom -Dapp.print=err:2:0 {crash}"}, None,
         [(info, STARTED), (error, ABORTED)], [starting, ready, "STATUS=" + ABORTED], -6,  # SIGABRT
         lambda run: run.events[1][1].startswith(ABORTED + " Details: err 0 err 1 ")),
        # A stop while the VM is created: neither main nor the stop call runs.
        ("earlystop", {"JvmOptions": slow_start, "ServiceStopArguments": "--release"}, (signal.SIGTERM, AT_START),
         [(info, STOPPED)], [starting, stopping, stopped], 0, lambda run: "app main" not in run.stdout),
        # A hang-up while the VM is created changes nothing.
        ("hangup", {"JvmOptions": slow_start}, (signal.SIGHUP, AT_START), [(info, STARTED), (info, STOPPED)],
         [starting, ready, stopped], 0, lambda run: "main returns" in run.stdout),
    ]
    def run(case):
        case_id, settings, stop, *_ = case
        exe = lane.pack(tmp_path / case_id / "svc", settings=linux_base(jdk, java_apps, name, **settings),
                        archives=[java_apps["jar"]] if "ExtractLocation" in settings else ())
        number, after = stop or (None, None)
        return exe, run_linux_service(lane, exe, stop_after=after, signals=(number,))

    for case, (exe, run) in zip(cases, run_table(cases, run, slow=lambda case: case[0] == "forced")):
        case_id, _, _, entries, notes, status, check = case
        assert run.entries() == [(kind, text.format(name)) for kind, text in entries], (case_id, run.stderr)
        assert (run.notifications, run.status) == (notes, status), (case_id, run.notifications, run.stderr)
        assert check(run), (case_id, run.stdout, run.stderr)
        wait_until(lambda: not folders(exe.parent), 30, f"{case_id}: the unpacked archives removed")


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
    assert [n.split("\n")[0] for n in run.notifications] == [
        "STATUS=" + STARTING.format("vt-twice"), "READY=1", "STOPPING=1", "STATUS=" + STOPPED.format("vt-twice")], \
        run.notifications
    assert run.stdout.count("app main") == 2 and "released" in run.stdout


# --- The Environment setting ------------------------------------------------------------
#
# Set before the runtime search, in a console launch and a service alike: the
# search's only method is JAVA_HOME, which only the setting gives; each value
# is expanded once the pairs before it are set; an empty value removes a
# variable. The trace shows the names, never the values.

ENVIRONMENT = ('"JAVA_HOME={home}" "APP_HOME=%APPDIR%" "GREETING=hello world" "BOTH=%GREETING% from %APP_HOME%" '
               "VT_GONE=")


def check_environment(lane, printed, home, folder):
    expected = [f"JAVA_HOME={home}", f"APP_HOME={folder}", "GREETING=hello world", f"BOTH=hello world from {folder}"]
    assert [line for line in expected if f"env {line}" not in printed] == [], printed
    assert "env VT_GONE=" + ("<unset>" if lane.windows else "null") in printed, printed


def check_environment_trace(trace):
    assert 'environment: GREETING = "<hidden:%GREETING%>"' in trace and "environment: VT_GONE removed" in trace, trace
    assert "hello" not in trace, trace


def test_linux_environment(linux_lane, jdk, java_apps, tmp_path):  # noqa: F811
    exe = linux_lane.pack(tmp_path / "svc", settings={
        **linux_base(jdk, java_apps, "vt-env", JvmSearchOrder="5", JvmPath="/nowhere/libjvm.so"),
        "Environment": ENVIRONMENT.format(home=jdk),
        "JvmOptions": "-Dapp.env=JAVA_HOME,APP_HOME,GREETING,BOTH,VT_GONE"})
    console = linux_lane.run(exe, env={"VT_GONE": "set", "VANTREL_TRACE": "1"})
    service = run_linux_service(linux_lane, exe, env={"VT_GONE": "set"})
    for run in (console, service):
        check_environment(linux_lane, run.stdout, jdk, exe.parent)
    assert service.status == 0, service.stderr
    check_environment_trace(console.stderr)


def test_windows_environment(windows_lane, services, tmp_path):
    lane, name = windows_lane, unique_name("Env")
    log = tmp_path / "standin.log"
    home = lane.build / "tests" / "standin" / "runtime"
    base = standin_base(lane, log, name, ",".join(f"env={variable}" for variable in (
        "JAVA_HOME", "APP_HOME", "GREETING", "BOTH", "VT_GONE")))
    exe = lane.pack(tmp_path / "svc", settings={**base, "JvmSearchOrder": "5", "JvmPath": "",
                                                "Environment": ENVIRONMENT.format(home=lane.native_path(home))})
    console = lane.run(exe, env={"VT_GONE": "set", "VANTREL_TRACE": "1"})
    printed = log.read_text()
    log.unlink()
    run = services.run(exe, name)
    for text in (printed, log.read_text()):
        check_environment(lane, text, lane.native_path(home), lane.native_path(exe.parent))
    assert run.state == (STOPPED_STATE, 0, 0, 0), run
    check_environment_trace(console.stderr)
