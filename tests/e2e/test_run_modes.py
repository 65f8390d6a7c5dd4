"""Run modes as a command line selects them, what each reports and where,
and the exit statuses.

A launcher with an empty JvmSearchOrder reaches the normal launch and stops
at once with message 4: that line is how these tests see that the normal
launch ran. The service modes are reached without a real service here; what
they do is tested with the service itself."""

import os
import subprocess
import time
from pathlib import Path

import pytest

NOT_FOUND = "Unable to locate suitable Java Runtime (min {}) on this machine."
ALREADY_RUNNING = "An instance of this program is already running."
SERVICE_ONLY = "This program can only be run as a service."

BASE = {"MainClass": "com.example.Main", "JvmSearchOrder": "", "JvmVersion": "1.8"}


def normal_launch_ran(result, version="1.8"):
    return NOT_FOUND.format(version) in result.stderr


@pytest.fixture
def launcher(lane, tmp_path):
    return lane.pack(tmp_path / "app" / "tool", settings=BASE)


@pytest.fixture
def service_launcher(lane, tmp_path):
    return lane.pack(tmp_path / "svc" / "tool", settings={**BASE, "ServiceName": "VantrelTestSvc"})


class TestNormalLaunch:
    def test_reports_a_missing_runtime_and_fails_with_minus_one(self, lane, launcher):
        result = lane.run(launcher, ["a", "b"])
        assert normal_launch_ran(result), result
        assert result.stdout == ""
        assert lane.exit_status(result.status) == 255  # -1

    def test_cleanup_switch_is_an_ordinary_argument_unless_followed_by_exactly_one(self, lane, launcher):
        alone = lane.run(launcher, ["-vtremovetemporaryjarfiles"])
        assert normal_launch_ran(alone), alone
        two = lane.run(launcher, ["-vtremovetemporaryjarfiles", "1", "2"])
        assert normal_launch_ran(two), two
        cleanup = lane.run(launcher, ["-vtremovetemporaryjarfiles", "999999"])
        assert not normal_launch_ran(cleanup), cleanup
        assert lane.exit_status(cleanup.status) == 0

    def test_service_switches_are_ordinary_arguments_without_a_service_name(self, lane, launcher):
        for switch in ("-install", "-uninstall", "-startlauncherinservicemode"):
            result = lane.run(launcher, [switch])
            assert normal_launch_ran(result), (switch, result)

    def test_service_only_has_no_effect_without_a_service_name(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={**BASE, "ServiceOnly": "1"})
        assert normal_launch_ran(lane.run(exe))

    def test_switches_are_case_sensitive_and_whole(self, lane, service_launcher):
        for argument in ("-INSTALL", "-install2", "install"):
            result = lane.run(service_launcher, [argument])
            assert normal_launch_ran(result), (argument, result)


class TestServiceModes:
    def test_service_only_refuses_with_message_21(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={**BASE, "ServiceName": "Svc", "ServiceOnly": "1"})
        result = lane.run(exe, ["x"])
        assert result.stdout.splitlines() == [SERVICE_ONLY]
        assert result.stderr == ""
        assert lane.exit_status(result.status) == 0

    def test_install_and_uninstall_modes_do_not_launch(self, lane, service_launcher):
        for switch in ("-install", "-uninstall"):
            result = lane.run(service_launcher, [switch])
            assert not normal_launch_ran(result), (switch, result)
            assert lane.exit_status(result.status) == 0

    def test_service_switch_outside_the_service_manager_does_not_launch(self, lane, service_launcher):
        result = lane.run(service_launcher, ["-startlauncherinservicemode"])
        assert not normal_launch_ran(result), result
        assert lane.exit_status(result.status) == 0

    def test_custom_switches(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={
            **BASE, "ServiceName": "Svc", "InstallSwitch": "/i", "UninstallSwitch": "/u",
            "ServiceSwitch": "/s", "ServiceOnly": "1"})
        assert lane.run(exe, ["-install"]).stdout.strip() == SERVICE_ONLY
        assert SERVICE_ONLY not in lane.run(exe, ["/i"]).stdout


class TestServiceOverride:
    """The command-line override, observed through the probe."""

    @pytest.fixture
    def probe(self, lane, tmp_path):
        return lane.pack_probe(tmp_path / "tool", settings={
            "MainClass": "p.M", "ServiceName": "Built", "ServiceDescription": "Built desc",
            "ServiceManualStart": "0", "ServiceCommandLineOverride": "1"})

    def test_takes_only_the_arguments_present(self, lane, probe):
        record = lane.probe_config(probe, ["--override-install", "NewName"])
        assert (record["ServiceName"], record["ServiceDescription"], record["ServiceManualStart"]) == \
            ("NewName", "Built desc", "0")
        record = lane.probe_config(probe, ["--override-install", "N", "D", "0", "ignored"])
        assert (record["ServiceName"], record["ServiceDescription"], record["ServiceManualStart"]) == \
            ("N", "D", "1")
        record = lane.probe_config(probe, ["--override-install", "N", "D", "1"])
        assert record["ServiceManualStart"] == "0"

    def test_uninstall_takes_the_name_only(self, lane, probe):
        record = lane.probe_config(probe, ["--override-uninstall", "N", "D", "0"])
        assert (record["ServiceName"], record["ServiceDescription"], record["ServiceManualStart"]) == \
            ("N", "Built desc", "0")

    def test_nothing_changes_when_the_override_is_off(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M", "ServiceName": "Built"})
        assert lane.probe_config(exe, ["--override-install", "N"])["ServiceName"] == "Built"


class TestSingleInstance:
    def hold(self, lane, name, tmp_path):
        """Holds the named single-instance mutex from a separate process."""
        tool = lane.build / ("tests/hold_mutex" + lane.exe_suffix)
        proc = lane.start(tool, [name])
        line = proc.stdout.readline()
        assert line.strip() == "held", line
        return proc

    def release(self, proc):
        proc.stdin = None
        proc.terminate()
        proc.wait(timeout=30)

    @pytest.mark.parametrize("forward", ["0"])
    def test_second_instance_reports_message_1(self, lane, tmp_path, forward):
        exe = lane.pack(tmp_path / "tool", settings={
            **BASE, "AllowMultipleInstances": "0", "ForwardSecondInstance": forward})
        holder = self.hold(lane, "com/example/Main", tmp_path)
        try:
            result = lane.run(exe, ["x"])
        finally:
            self.release(holder)
        assert result.stderr.splitlines() == [ALREADY_RUNNING]
        assert result.stdout == ""
        assert lane.exit_status(result.status) == 0
        # With the holder gone, the launcher runs normally again.
        assert normal_launch_ran(lane.run(exe))

    def test_allow_multiple_instances_ignores_the_mutex(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={**BASE, "AllowMultipleInstances": "1"})
        holder = self.hold(lane, "com/example/Main", tmp_path)
        try:
            assert normal_launch_ran(lane.run(exe))
        finally:
            self.release(holder)

    def test_app_mutex_from_the_settings_file(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={
            **BASE, "AllowMultipleInstances": "0", "SettingsFile": "%APPNAME%.ini"})
        (exe.parent / (exe.stem + ".ini")).write_text("[Application Configuration]\nAppMutex=Custom Mutex 1\n")
        holder = self.hold(lane, "com/example/Main", tmp_path)
        try:
            assert normal_launch_ran(lane.run(exe))  # the default name is not ours any more
        finally:
            self.release(holder)
        holder = self.hold(lane, "Custom Mutex 1", tmp_path)
        try:
            assert lane.run(exe).stderr.strip() == ALREADY_RUNNING
        finally:
            self.release(holder)


class TestMessages:
    def test_configured_language_texts_and_escapes(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={**BASE, "JvmVersion": "50% %s %n"},
                        message_language=1031,
                        messages={4: "Keine Java-Laufzeit (mindestens %s)\\nbitte installieren: 100%% %d"})
        result = lane.run(exe)
        assert result.stderr.splitlines() == [
            "Keine Java-Laufzeit (mindestens 50% %s %n)", "bitte installieren: 100% %d"]

    def test_reason_follows_the_message(self, lane, tmp_path):
        exe = lane.pack(tmp_path / "tool", settings={
            **BASE, "WorkingDirectory": lane.native_path(tmp_path / "missing"), "EarlyWorkingDirectory": "1"})
        result = lane.run(exe)
        lines = result.stderr.splitlines()
        assert lines[0] == "Error accessing file/directory: " + lane.native_path(tmp_path / "missing")
        assert lines[1] == ""
        reason = "File not found." if lane.windows else "No such file or directory"
        assert lines[2] == "Reason: " + reason, result
        assert lane.exit_status(result.status) == 255

    def test_unreadable_start_directory(self, linux_lane, tmp_path):
        exe = linux_lane.pack(tmp_path / "app" / "tool", settings=BASE)
        gone = tmp_path / "gone"
        gone.mkdir()
        proc = subprocess.run(["sh", "-c", f'cd "{gone}" && rmdir "{gone}" && exec "{exe}"'],
                              capture_output=True, text=True, timeout=60)
        assert proc.stderr.splitlines() == [
            "Error accessing file/directory: CURRENT_DIR", "", "Reason: No such file or directory"]
        assert proc.returncode == 0
