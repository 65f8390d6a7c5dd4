"""Configuration as a packed launcher loads it: names and folders derived at
start-up, the settings file with its keys, flags, the priority classes and
message texts. Observed through the probe: the real launcher, which prints
its record where it would create the VM."""

import os
import re

import pytest


@pytest.fixture
def probe(lane, tmp_path):
    """A probe packed with a settings file named after the executable."""
    return lane.pack_probe(tmp_path / "app" / "tool", settings={
        "MainClass": "com.example.Main", "SettingsFile": "%APPNAME%.ini", "JvmOptions": "-Xmx64m", "StdOutMode": "2"})


def write_ini(exe, body, name=None):
    (exe.parent / (name or (exe.stem + ".ini"))).write_text(body, encoding="utf-8")


def test_app_name_folder_and_start_directory(lane, tmp_path):
    folder = tmp_path / "my.apps Über ü"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    record = lane.probe_config(lane.pack_probe(folder / ("tööl" + lane.exe_suffix)), cwd=elsewhere)
    assert record["AppName"] == "tööl"  # a dot in a folder name does not cut the name
    assert record["StartDirectory"] == lane.native_path(elsewhere)
    assert record["CurrentDirectory"] == lane.native_path(folder)
    # Only the last extension goes; on Linux the launcher has none, so its
    # whole last dotted part is the extension.
    dotted = lane.pack_probe(folder / ("tool.beta" + lane.exe_suffix))
    assert lane.probe_config(dotted)["AppName"] == ("tool.beta" if lane.windows else "tool")


def test_extraction_directory_by_location(lane, tmp_path):
    for location in "012":
        exe = lane.pack_probe(tmp_path / location, settings={"ExtractLocation": location, "MainClass": "p.M"})
        record = lane.probe_config(exe)
        folder, encoded = record["ExtractionDirectory"], lane.sep + record["EncodedMainClass"]
        if location == "0":
            assert folder == "."
        elif location == "1":
            assert folder == "." + encoded
        else:
            assert folder.endswith(encoded) and len(folder) > len(encoded)


def test_temporary_directory_too_long_is_reported_with_the_systems_reason(linux_lane, tmp_path):
    temporary = tmp_path
    while len(str(temporary)) < 250:
        temporary /= "t"
    temporary.mkdir(parents=True, mode=0o700)
    archive = tmp_path / "a.jar"  # only a launcher that carries archives needs the folder
    archive.write_bytes(b"PK\x05\x06" + bytes(18))
    exe = linux_lane.pack_probe(tmp_path / "tool", archives=[archive],
                                settings={"MainClass": "com.example.Main", "ExtractLocation": "2"})
    env = {"TMPDIR": str(temporary), "XDG_CACHE_HOME": str(temporary)}
    result = linux_lane.run(exe, env=env)
    assert result.err_lines == ["Error accessing file/directory: TEMP_PATH", "", "Reason: File name too long"], result


class TestSettingsFile:
    def test_found_beside_the_executable_or_the_built_in_values_stand(self, lane, probe, tmp_path):
        caller = tmp_path / "caller"
        caller.mkdir()
        (caller / "tool.ini").write_text("[Application Configuration]\nJvmOptions=-Xcaller\n")
        record = lane.probe_config(probe, cwd=caller)
        assert record["SettingsFile"] == "tool.ini"
        assert (record["JvmOptions"], record["AppMutex"], record["ShowConsole"], record["StdOutMode"]) == \
            ("-Xmx64m", "com/example/Main", "1", "2")
        write_ini(probe, "[Application Configuration]\nJvmOptions=-Xbeside\n")
        assert lane.probe_config(probe, cwd=caller)["JvmOptions"] == "-Xbeside"

    def test_every_key_replaces_its_setting(self, lane, probe):
        write_ini(probe, "[Application Configuration]\n"
                         "JvmVersion=11\nJvmPath=rt\\bin\\server\\jvm.dll\nJvmOptions=-Xms8m\nJvmOptionsAppend=-Dx=1\n"
                         "AppOptions=%VANTREL_TEST_VALUE%/x b\nAppMutex=MyMutex\nStaticOptions=--static\n"
                         "StdOutFile=out.log\nStdErrFile=err.log\nStdOutFileAppend=1\nStdErrFileAppend=true\n"
                         "ShowConsole=0\nEnvironment=HOME_OF_APP=%VANTREL_TEST_VALUE%\nOutputFileLimit=512\n"
                         "OutputFileCount=3\nServiceStopTimeout=12x\nServiceRestart=1\nServiceRestartDelay=7\n"
                         "ServiceAccount=svc:grp\nServiceDelayedStart=1\n")
        record = lane.probe_config(probe, env={"VANTREL_TEST_VALUE": "expanded"})
        assert record["JvmVersion"] == "11"
        assert record["JvmPath"] == "rt\\bin\\server\\jvm.dll"
        assert record["JvmOptions"] == "-Xms8m -Dx=1"  # the appended text follows the file's own options
        assert record["AppOptions"] == "expanded/x b"  # values are expanded
        assert (record["AppMutex"], record["StaticOptions"]) == ("MyMutex", "--static")
        # A file name switches its stream to the file.
        assert (record["StdOutFile"], record["StdOutMode"]) == ("out.log", "1")
        assert (record["StdErrFile"], record["StdErrMode"]) == ("err.log", "1")
        # Flags: only exactly "1" is true.
        assert (record["StdOutFileAppend"], record["StdErrFileAppend"], record["ShowConsole"]) == ("1", "0", "0")
        # An operator's service settings; numbers read as packed numbers do.
        assert [record[name] for name in ("Environment", "OutputFileLimit", "OutputFileCount", "ServiceStopTimeout",
                                          "ServiceRestart", "ServiceRestartDelay", "ServiceAccount",
                                          "ServiceDelayedStart")] == [
            "HOME_OF_APP=expanded", "512", "3", "12", "1", "7", "svc:grp", "1"]

    def test_sections_names_and_empty_values(self, lane, probe):
        write_ini(probe, "[Other]\nAppOptions=other\n"
                         "[application configuration]\nAppOptions=first\nAppOptions=second\n"
                         "  jvmoptionsappend =  -Dy=2  \nStdOutFile=\nShowConsole=yes\nStdOutFileAppend=true\n")
        record = lane.probe_config(probe)
        assert record["AppOptions"] == "first"
        # Appending to the built-in options; an empty StdOutFile changes nothing.
        assert record["JvmOptions"] == "-Xmx64m -Dy=2"
        assert (record["StdOutFile"], record["StdOutMode"]) == ("system.log", "2")
        assert (record["ShowConsole"], record["StdOutFileAppend"]) == ("1", "0")  # only "0" or "1" count

    def test_only_a_regular_file_of_at_most_1_mib_is_read(self, lane, probe):
        ini = probe.parent / (probe.stem + ".ini")
        ini.write_bytes(b"[Application Configuration]\nJvmOptions=-Xbig\n" + b";" * (1 << 20))
        result = lane.run(probe, timeout=30)
        assert result.status == 0 and "JvmOptions=-Xmx64m" in result.out_lines, result
        assert [line for line in result.err_lines if "larger than 1048576 bytes and was ignored" in line], result
        if lane.windows:
            return
        # A FIFO would wait for a writer, /dev/zero never ends: both are passed over.
        for make in (os.mkfifo, lambda path: path.symlink_to("/dev/zero")):
            ini.unlink()
            make(ini)
            result = lane.run(probe, timeout=30)
            assert result.status == 0 and "JvmOptions=-Xmx64m" in result.out_lines and result.stderr == "", result

    def test_what_is_ignored_is_traced(self, lane, probe):
        cases = [
            ("[Application Configuration]\nJvmOption=-Xmx1g\nJvmOptions=-Xms8m\nStdOutFile=\n"
             "[Application Config]\nJvmOptions=-Xother\n",
             ['settings file: section [Application Config] ignored: only [Application Configuration] is read',
              'settings file: key "JvmOption" ignored: no such key',
              'settings file: key "StdOutFile" ignored: empty'], "-Xms8m"),
            ("JvmOptions=-Xnone\n",
             ['settings file: key "JvmOptions" before any section ignored',
              'settings file: no [Application Configuration] section: nothing is read'], "-Xmx64m"),
        ]
        for body, expected, options in cases:
            write_ini(probe, body)
            result = lane.run(probe, env={"VANTREL_TRACE": "1"})
            lines = [m.group(1) for m in map(re.compile(r"vantrel\[\d+\] (settings file: .*)").fullmatch,
                                              result.err_lines) if m]
            assert [line for line in lines if line.startswith(("settings file: section [", "settings file: key ",
                                                               "settings file: no ["))] == expected, result
            assert "JvmOptions=" + options in result.out_lines, result

    def test_append_to_empty_options_keeps_the_blank(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M", "SettingsFile": "cfg.ini",
                                                           "JvmOptions": ""})
        write_ini(exe, "[Application Configuration]\nJvmOptionsAppend=-Da=b\n", name="cfg.ini")
        assert lane.probe_config(exe)["JvmOptions"] == " -Da=b"


def test_flags_read_true_unless_they_begin_with_0(lane, tmp_path):
    # Stored empty (the packer writes "<null>" for it) or "<null>": true.
    # The packer refuses such flags; --set-raw stores them as another tool might.
    exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M", "RemoveExtractedFiles": ""}, extra_args=[
        "--set-raw", "KeepStartDirectory=<null>", "--set-raw", "ShowJvmNotFoundMessage=0x",
        "--set-raw", "AllowMultipleInstances=00"])
    record = lane.probe_config(exe)
    assert [record[name] for name in ("RemoveExtractedFiles", "KeepStartDirectory", "ShowJvmNotFoundMessage",
                                      "AllowMultipleInstances")] == ["1", "1", "0", "0"]


@pytest.mark.parametrize("setting, expected", [
    ("4", 4), ("5", 5), ("2", 2), ("6", 3), ("-1", 3), ("", 0), ("3", 3),
])
def test_priority_classes(lane, tmp_path, setting, expected):
    # 6 is beyond what the packer takes; a launcher still reads it.
    exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M"},
                          extra_args=["--set-raw", f"ProcessPriority={setting}"])
    assert int(lane.probe_config(exe)["PriorityIndex"]) == expected


def test_message_escapes_and_language(lane, tmp_path):
    exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M"}, message_language=1031, messages={
        4: "Keine Laufzeit\\nmin %s", 5: "zwei \\\\ Striche", 6: "Tab \\t bleibt", 7: "Ende\\", 8: ""})
    record = lane.probe_config(exe)
    assert record["Message8"] == ""  # a missing entry reads empty
    assert record["Message4"] == "Keine Laufzeit\nmin %s"
    assert record["Message5"] == "zwei \\\\ Striche"
    assert record["Message6"] == "Tab \\t bleibt"
    assert record["Message7"] == "Ende"
    assert record["Message1"] == "An instance of this program is already running."
    assert record["Message21"] == "This program can only be run as a service."
