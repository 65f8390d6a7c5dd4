"""Run modes as a command line selects them, what each reports and where,
and the exit statuses.

A launcher with an empty JvmSearchOrder reaches the normal launch and stops
at once with message 4: that line is how these tests see that the normal
launch ran. The service modes are reached without a real service here; what
they do is tested with the service itself."""

import os
import re
import subprocess

import pytest

from conftest import parse_record

NOT_FOUND = "Unable to locate suitable Java Runtime (min {}) on this machine."
ALREADY_RUNNING = "An instance of this program is already running."
SERVICE_ONLY = "This program can only be run as a service."

BASE = {"MainClass": "com.example.Main", "JvmSearchOrder": "", "JvmVersion": "1.8"}


def normal_launch_ran(result, version="1.8"):
    return NOT_FOUND.format(version) in result.stderr


def pack(lane, folder, **settings):
    return lane.pack(folder / "tool", settings={**BASE, **settings})


class TestNormalLaunch:
    def test_reports_a_missing_runtime_and_fails_with_minus_one(self, lane, tmp_path):
        result = lane.run(pack(lane, tmp_path), ["a", "b"])
        assert normal_launch_ran(result), result
        assert result.stdout == ""
        assert lane.exit_status(result.status) == 255  # -1

    def test_cleanup_switch_is_an_ordinary_argument_unless_followed_by_exactly_one(self, lane, tmp_path):
        exe = pack(lane, tmp_path)
        for args in (["-vtremovetemporaryjarfiles"], ["-vtremovetemporaryjarfiles", "1", "2"]):
            assert normal_launch_ran(lane.run(exe, args)), args
        cleanup = lane.run(exe, ["-vtremovetemporaryjarfiles", "999999"])
        assert not normal_launch_ran(cleanup), cleanup
        assert lane.exit_status(cleanup.status) == 0

    def test_service_switches_are_ordinary_arguments_without_a_service_name_or_exact_text(self, lane, tmp_path):
        # ServiceOnly has no effect without a service name either.
        plain = pack(lane, tmp_path / "plain", ServiceOnly="1")
        service = pack(lane, tmp_path / "svc", ServiceName="VantrelTestSvc")
        cases = [(plain, "-install"), (plain, "-uninstall"), (plain, "-startlauncherinservicemode"),
                 (service, "-INSTALL"), (service, "-install2"), (service, "install")]
        for exe, argument in cases:
            result = lane.run(exe, [argument])
            assert normal_launch_ran(result), (argument, result)


class TestServiceModes:
    def test_service_switches_do_not_launch(self, lane, tmp_path):
        exe = pack(lane, tmp_path, ServiceName="VantrelTestSvc")
        # Install and uninstall, and the service switch outside the service
        # manager (on Linux that runs the service, whose reports are
        # event-log lines, not the normal launch's plain ones).
        for switch in ("-install", "-uninstall", "-startlauncherinservicemode"):
            result = lane.run(exe, [switch])
            assert NOT_FOUND.format("1.8") not in result.err_lines, (switch, result)
            assert lane.exit_status(result.status) == 0

    def test_service_only_refuses_with_message_21_and_custom_switches(self, lane, tmp_path):
        exe = pack(lane, tmp_path, ServiceName="Svc", InstallSwitch="/i", UninstallSwitch="/u", ServiceSwitch="/s",
                   ServiceOnly="1")
        # "-install" is no switch of this launcher: a normal launch, refused.
        result = lane.run(exe, ["-install"])
        assert (result.out_lines, result.stderr, lane.exit_status(result.status)) == ([SERVICE_ONLY], "", 0), result
        assert SERVICE_ONLY not in lane.run(exe, ["/i"]).stdout


class TestRunModeWiring:
    """The run modes as the launcher's own entry point wires them, seen through
    the probe: the real launcher whose ends (service manager, VM creation)
    print the record start-up built, and which of them was reached."""

    def test_overrides_unpacking_and_the_end_reached(self, lane, tmp_path):
        archive = tmp_path / "x.jar"
        archive.write_bytes(b"PK\x05\x06" + bytes(18))
        base = {"MainClass": "p.M", "ExtractLocation": "0", "ServiceDescription": "Built desc",
                "ServiceManualStart": "0", "ServiceCommandLineOverride": "1"}
        service = lane.pack_probe(tmp_path / "svc" / "tool", archives=[archive], settings={**base, "ServiceName": "Built"})
        plain = lane.pack_probe(tmp_path / "plain" / "tool", archives=[archive], settings=base)
        cases = [
            # (launcher, arguments): end reached, (name, description, manual start), unpacked, report
            ((service, ["-install", "NewName"]), "install", ("NewName", "Built desc", "0"), False,
             "Service installed: NewName"),
            ((service, ["-install", "N", "D", "0", "ignored"]), "install", ("N", "D", "1"), False,
             "Service installed: N"),
            ((service, ["-uninstall", "N", "D", "0"]), "uninstall", ("N", "Built desc", "0"), False,
             "Service uninstalled: N"),
            ((service, ["-startlauncherinservicemode", "N", "D", "1"]), "service", ("N", "D", "0"), True, None),
            ((service, ["x", "N", "D", "1"]), "vm", ("Built", "Built desc", "0"), True, None),
            # Without a service name the switches are application arguments;
            # the install and uninstall switches still skip unpacking.
            ((plain, ["-install", "N"]), "vm", ("", "Built desc", "0"), False, None),
            ((plain, ["-uninstall"]), "vm", ("", "Built desc", "0"), False, None),
            ((plain, ["-startlauncherinservicemode", "N"]), "vm", ("", "Built desc", "0"), True, None),
        ]
        for (exe, args), end, names, unpacked, report in cases:
            result = lane.run(exe, args)
            assert result.status == 0, (args, result)
            record = parse_record(result)
            assert record["ProbeEnd"] == end, (args, result)
            assert (record["ServiceName"], record["ServiceDescription"], record["ServiceManualStart"]) == names, args
            assert record["ServiceMode"] == ("1" if end == "service" else "0")
            assert record["ExtractedFileCount"] == ("1" if unpacked else "0"), (args, result)
            assert report is None or report in result.out_lines, (args, result)

    def test_nothing_changes_when_the_override_is_off(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M", "ServiceName": "Built"})
        assert lane.probe_config(exe, ["-install", "N"])["ServiceName"] == "Built"


@pytest.fixture
def hold():
    """hold(lane, name): the test tool holds a mutex until the test ends (or
    it is terminated)."""
    holders = []

    def hold(lane, name):
        proc = lane.start(lane.build / ("tests/hold_mutex" + lane.exe_suffix), [name])
        holders.append(proc)
        assert proc.stdout.readline().strip() == "held"
        return proc

    yield hold
    for proc in holders:
        proc.terminate()
        proc.wait(timeout=30)


class TestSingleInstance:
    """A mutex held by the test tool (a second instance against a real first
    launcher is tested with the launch)."""

    def test_default_mutex_and_allow_multiple_instances(self, lane, tmp_path, hold):
        single = pack(lane, tmp_path / "single", AllowMultipleInstances="0")
        multiple = pack(lane, tmp_path / "multiple", AllowMultipleInstances="1")
        holder = hold(lane, "com/example/Main")  # the main class names the mutex
        refused = lane.run(single, ["x"])
        assert refused.stderr.splitlines() == [ALREADY_RUNNING] and refused.stdout == "", refused
        assert lane.exit_status(refused.status) == 0
        assert normal_launch_ran(lane.run(multiple))
        holder.terminate()
        holder.wait(timeout=30)
        assert normal_launch_ran(lane.run(single))

    def test_app_mutex_from_the_settings_file(self, lane, tmp_path, hold):
        exe = pack(lane, tmp_path, AllowMultipleInstances="0", SettingsFile="%APPNAME%.ini")
        (exe.parent / (exe.stem + ".ini")).write_text("[Application Configuration]\nAppMutex=Custom Mutex 1\n")
        holder = hold(lane, "com/example/Main")
        assert normal_launch_ran(lane.run(exe))  # the default name is not ours any more
        holder.terminate()
        holder.wait(timeout=30)
        hold(lane, "Custom Mutex 1")
        assert lane.run(exe).stderr.strip() == ALREADY_RUNNING

    def test_long_mutex_names_still_guard(self, lane, tmp_path, hold):
        # Names too long for a lock file's name on Linux: a long AppMutex,
        # and the default name of a long main class.
        long_class = "p." * 120 + "LongMain"
        named = pack(lane, tmp_path / "named", AllowMultipleInstances="0", SettingsFile="%APPNAME%.ini")
        (named.parent / (named.stem + ".ini")).write_text("[Application Configuration]\nAppMutex=" + "m" * 242 + "\n")
        default = pack(lane, tmp_path / "default", AllowMultipleInstances="0", MainClass=long_class,
                       ExtractLocation="0")
        hold(lane, "m" * 242)
        hold(lane, long_class.replace(".", "/"))
        for exe in (named, default):
            assert lane.run(exe).stderr.strip() == ALREADY_RUNNING, exe


def test_windows_console_hidden_only_when_show_console_is_0_and_never_in_a_second_instance(
        windows_lane, tmp_path, hold):
    # Wine's relay trace of user32.ShowWindow shows whether the launcher
    # hid its console window.
    lane, key = windows_lane, "HKCU\\Software\\Wine\\Debug"
    runtime = lane.native_path(lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll")
    single = {"AllowMultipleInstances": "0", "JvmSearchOrder": "0", "JvmPath": runtime,
              "JvmOptions": "-Dstandin.script=args"}
    cases = [  # settings, ShowConsole in the settings file, hidden, what shows the path taken
        ({}, "0", True, "Unable to locate"), ({}, None, False, "Unable to locate"), ({}, "yes", False, "Unable to locate"),
        ({**single, "ForwardSecondInstance": "1"}, "0", False, "standin main call"),  # forwarding second instance
        (single, "0", False, ALREADY_RUNNING),
    ]
    hold(lane, "vt-console-mutex")
    lane.wine.reg("add", key, "/v", "RelayInclude", "/d", "user32.ShowWindow", "/f")
    try:
        for number, (settings, show_console, hidden, path_taken) in enumerate(cases):
            exe = pack(lane, tmp_path / str(number), SettingsFile="%APPNAME%.ini", **settings)
            ini = "[Application Configuration]\nAppMutex=vt-console-mutex\n"
            if show_console is not None:
                ini += f"ShowConsole={show_console}\n"
            (exe.parent / "tool.ini").write_text(ini)
            result = lane.run(exe, env={"WINEDEBUG": "+relay"})
            shows = re.findall(r"Call user32\.ShowWindow\(\w+,(\w+)\)", result.stderr)
            assert shows == (["00000000"] if hidden else []), (settings, show_console, shows)  # SW_HIDE
            assert path_taken in result.stdout + result.stderr, (settings, result.out_lines)
    finally:
        lane.wine.reg("delete", key, "/v", "RelayInclude", "/f")


class TestMessages:
    def test_configured_language_texts_and_escapes(self, lane, tmp_path):
        # A version text the packer refuses, stored as it is: printf markers stay text.
        exe = lane.pack(tmp_path / "tool", settings=BASE, message_language=1031,
                        messages={4: "Keine Java-Laufzeit (mindestens %s)\\nbitte installieren: 100%% %d"},
                        extra_args=["--set-raw", "JvmVersion=50% %s %n"])
        assert lane.run(exe).stderr.splitlines() == [
            "Keine Java-Laufzeit (mindestens 50% %s %n)", "bitte installieren: 100% %d"]

    def test_reason_follows_the_message(self, lane, tmp_path):
        missing = lane.native_path(tmp_path / "missing")
        result = lane.run(pack(lane, tmp_path, WorkingDirectory=missing, EarlyWorkingDirectory="1"))
        reason = "File not found." if lane.windows else "No such file or directory"
        assert result.stderr.splitlines()[:3] == ["Error accessing file/directory: " + missing, "",
                                                  "Reason: " + reason], result
        assert lane.exit_status(result.status) == 255
        assert not normal_launch_ran(result)  # it ends before the runtime search

    def test_unreadable_start_directory(self, linux_lane, tmp_path):
        exe = pack(linux_lane, tmp_path / "app")
        gone = tmp_path / "gone"
        gone.mkdir()
        proc = subprocess.run(["sh", "-c", f'cd "{gone}" && rmdir "{gone}" && exec "{exe}"'],
                              capture_output=True, text=True, timeout=60)
        assert proc.stderr.splitlines() == [
            "Error accessing file/directory: CURRENT_DIR", "", "Reason: No such file or directory"]
        assert proc.returncode == 0

    def test_a_closed_report_stream_does_not_end_the_process(self, linux_lane, tmp_path):
        # "launcher | true", or a terminal that has gone: the report is lost,
        # the launcher goes on and ends with its own status, not SIGPIPE.
        cases = [(pack(linux_lane, tmp_path / "err"), "stderr", 255),  # message 4
                 (pack(linux_lane, tmp_path / "out", ServiceName="Svc", ServiceOnly="1"), "stdout", 0)]  # message 21
        for exe, stream, status in cases:
            read_end, write_end = os.pipe()
            os.close(read_end)
            try:
                proc = subprocess.run([str(exe)], **{stream: write_end}, stdin=subprocess.DEVNULL, timeout=60)
            finally:
                os.close(write_end)
            assert proc.returncode == status, stream
