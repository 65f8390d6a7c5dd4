"""Configuration as a packed launcher loads it: names and folders derived at
start-up, the settings file with its template and keys, the priority classes
and message texts. Observed through the probe, which runs the launcher's own
start-up code and prints the record."""

import os
import shutil
from pathlib import Path

import pytest


@pytest.fixture
def probe(lane, tmp_path):
    """A probe packed with a settings file named after the executable."""
    exe = lane.pack_probe(tmp_path / "app" / "tool", settings={
        "MainClass": "com.example.Main", "SettingsFile": "%APPNAME%.ini",
        "JvmOptions": "-Xmx64m", "StdOutMode": "2"})
    return exe


def write_ini(exe: Path, body: str, name=None):
    path = exe.parent / (name or (exe.stem + ".ini"))
    path.write_text(body, encoding="utf-8")
    return path


class TestStartup:
    def test_app_name_folder_and_start_directory(self, lane, tmp_path):
        (tmp_path / "app").mkdir()
        exe = lane.pack_probe(tmp_path / "app" / ("tool.beta" + lane.exe_suffix))
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        record = lane.probe_config(exe, cwd=elsewhere)
        # Only the last extension goes; on Linux the launcher has none, so
        # its whole last dotted part is the extension.
        assert record["AppName"] == ("tool.beta" if lane.windows else "tool")
        assert record["StartDirectory"] == lane.native_path(elsewhere)
        assert record["CurrentDirectory"] == lane.native_path(tmp_path / "app")

    def test_a_dot_in_a_folder_name_does_not_cut_the_name(self, lane, tmp_path):
        folder = tmp_path / "my.apps"
        folder.mkdir()
        exe = lane.pack_probe(folder / ("tool" + lane.exe_suffix))
        assert lane.probe_config(exe)["AppName"] == "tool"

    def test_non_ascii_folder(self, lane, tmp_path):
        folder = tmp_path / "Über Ordner ü"
        folder.mkdir()
        exe = lane.pack_probe(folder / ("tööl" + lane.exe_suffix))
        record = lane.probe_config(exe)
        assert record["AppName"] == "tööl"
        assert record["CurrentDirectory"] == lane.native_path(folder)

    def test_extraction_directory_by_location(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "a", settings={"ExtractLocation": "0", "MainClass": "p.M"})
        assert lane.probe_config(exe)["ExtractionDirectory"] == "."
        exe = lane.pack_probe(tmp_path / "b", settings={"ExtractLocation": "1", "MainClass": "p.M"})
        record = lane.probe_config(exe)
        assert record["ExtractionDirectory"] == "." + lane.sep + record["EncodedMainClass"]
        exe = lane.pack_probe(tmp_path / "c", settings={"ExtractLocation": "2", "MainClass": "p.M"})
        record = lane.probe_config(exe)
        assert record["ExtractionDirectory"].endswith(lane.sep + record["EncodedMainClass"])
        assert len(record["ExtractionDirectory"]) > len(record["EncodedMainClass"]) + 1


class TestSettingsFile:
    def test_without_a_file_the_built_in_values_stand(self, lane, probe):
        record = lane.probe_config(probe)
        assert record["SettingsFile"] == "tool.ini"
        assert record["JvmOptions"] == "-Xmx64m"
        assert record["AppMutex"] == "com/example/Main"
        assert record["ShowConsole"] == "1"
        assert record["StdOutMode"] == "2"

    def test_every_key_replaces_its_setting(self, lane, probe):
        write_ini(probe, "\n".join([
            "[Application Configuration]",
            "JvmVersion=11",
            "JvmPath=rt\\bin\\server\\jvm.dll",
            "JvmOptions=-Xms8m",
            "JvmOptionsAppend=-Dx=1",
            "AppOptions=a b",
            "AppMutex=MyMutex",
            "StaticOptions=--static",
            "StdOutFile=out.log",
            "StdErrFile=err.log",
            "StdOutFileAppend=1",
            "StdErrFileAppend=true",
            "ShowConsole=0",
            ""]))
        record = lane.probe_config(probe)
        assert record["JvmVersion"] == "11"
        assert record["JvmPath"] == "rt\\bin\\server\\jvm.dll"
        # The appended text follows the file's own options.
        assert record["JvmOptions"] == "-Xms8m -Dx=1"
        assert record["AppOptions"] == "a b"
        assert record["AppMutex"] == "MyMutex"
        assert record["StaticOptions"] == "--static"
        assert (record["StdOutFile"], record["StdOutMode"]) == ("out.log", "1")
        assert (record["StdErrFile"], record["StdErrMode"]) == ("err.log", "1")
        assert record["StdOutFileAppend"] == "1"
        assert record["StdErrFileAppend"] == "0"  # only exactly "1" is true
        assert record["ShowConsole"] == "0"

    def test_empty_and_unusual_values(self, lane, probe):
        write_ini(probe, "[application configuration]\n"
                         "  jvmoptionsappend =  -Dy=2  \n"
                         "StdOutFile=\n"
                         "ShowConsole=yes\n"
                         "StdOutFileAppend=true\n")
        record = lane.probe_config(probe)
        # Appending to the built-in options; an empty StdOutFile changes nothing.
        assert record["JvmOptions"] == "-Xmx64m -Dy=2"
        assert (record["StdOutFile"], record["StdOutMode"]) == ("system.log", "2")
        assert record["ShowConsole"] == "1"
        assert record["StdOutFileAppend"] == "0"

    def test_append_to_empty_options_keeps_the_blank(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "tool", settings={
            "MainClass": "p.M", "SettingsFile": "cfg.ini", "JvmOptions": ""})
        write_ini(exe, "[Application Configuration]\nJvmOptionsAppend=-Da=b\n", name="cfg.ini")
        assert lane.probe_config(exe)["JvmOptions"] == " -Da=b"

    def test_the_file_is_found_beside_the_executable_not_in_the_caller_directory(self, lane, probe, tmp_path):
        caller = tmp_path / "caller"
        caller.mkdir()
        (caller / "tool.ini").write_text("[Application Configuration]\nJvmOptions=-Xcaller\n")
        assert lane.probe_config(probe, cwd=caller)["JvmOptions"] == "-Xmx64m"
        write_ini(probe, "[Application Configuration]\nJvmOptions=-Xbeside\n")
        assert lane.probe_config(probe, cwd=caller)["JvmOptions"] == "-Xbeside"

    def test_other_sections_and_first_key_wins(self, lane, probe):
        write_ini(probe, "[Other]\nJvmOptions=-Xother\n"
                         "[Application Configuration]\nJvmOptions=-Xfirst\nJvmOptions=-Xsecond\n")
        assert lane.probe_config(probe)["JvmOptions"] == "-Xfirst"

    def test_values_are_expanded(self, lane, probe):
        write_ini(probe, "[Application Configuration]\nAppOptions=%VANTREL_TEST_VALUE%/x\n")
        record = lane.probe_config(probe, env={"VANTREL_TEST_VALUE": "expanded"})
        # Expansion arrives with the placeholder rules; until then the value
        # passes through unchanged.
        assert record["AppOptions"] in ("expanded/x", "%VANTREL_TEST_VALUE%/x")

    @pytest.mark.parametrize("template, expected", [
        ("%APPNAME%.ini", "tool.ini"),
        ("%appname%.cfg", "tool.cfg"),
        ("x%%y.ini", "xy.ini"),
        ("a%b.ini", "ab.ini"),
        ("%OTHER%", "%OTHER%"),
        ("conf\\%APPNAME%", "conf\\tool"),
    ])
    def test_file_name_templates(self, lane, tmp_path, template, expected):
        exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M", "SettingsFile": template})
        assert lane.probe_config(exe)["SettingsFile"] == expected


class TestPriority:
    @pytest.mark.parametrize("setting, expected", [
        ("4", 4), ("5", 5), ("2", 2), ("6", 3), ("-1", 3), ("<null>", 0), ("3", 3),
    ])
    def test_priority_classes(self, lane, tmp_path, setting, expected):
        exe = lane.pack_probe(tmp_path / "tool", settings={
            "MainClass": "p.M", "ProcessPriority": "" if setting == "<null>" else setting})
        assert int(lane.probe_config(exe)["PriorityIndex"]) == expected


class TestMessages:
    def test_escapes_and_language(self, lane, tmp_path):
        exe = lane.pack_probe(tmp_path / "tool", settings={"MainClass": "p.M"}, message_language=1031, messages={
            4: "Keine Laufzeit\\nmin %s",
            5: "zwei \\\\ Striche",
            6: "Tab \\t bleibt",
            7: "Ende\\",
        })
        record = lane.probe_config(exe)
        assert record["Message4"] == "Keine Laufzeit\nmin %s"
        assert record["Message5"] == "zwei \\\\ Striche"
        assert record["Message6"] == "Tab \\t bleibt"
        assert record["Message7"] == "Ende"
        assert record["Message1"] == "An instance of this program is already running."
        assert record["Message21"] == "This program can only be run as a service."
