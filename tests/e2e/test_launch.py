"""A launch as users see it: the VM's options and class path, the system
properties, the String[] that main receives, the reports when the main class
cannot be run, and the exit status of every end.

Linux lane: the packed Linux launcher with a real JDK (each installed one)
runs small Java applications that the tests compile (tests/javaapps) and that
print what they received. Windows lane: the packed Windows launcher under
Wine with the stand-in runtime (tests/standin), which prints every option,
property and argument it is handed and follows a script for main.
"""

import os
import re
import shutil
import subprocess
import time
import uuid
from contextlib import contextmanager
from pathlib import Path
from types import SimpleNamespace

import pytest

JAVA_APPS = Path(__file__).resolve().parents[1] / "javaapps"
JDK_HOMES = [Path(p) for p in ("/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64")
             if (Path(p) / "lib" / "server" / "libjvm.so").exists()]
# Settings of the environment that a JVM created in-process would also honour.
JAVA_ENVIRONMENT = ("JAVA_HOME", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS")

MAIN_TEXT = "main(java/lang/String[])"
# Arguments a forwarded second instance passes on exactly as given: blanks,
# quotes, backslashes (before a quote, at the end), an empty one, non-ASCII,
# and more text than the old 4096-byte buffer held.
FORWARDED = ["My Documents/report.js", 'say "hi"', "", "C:\\dir\\", 'a\\"b', "grüße 😀", "é" * 3000]
ALREADY_RUNNING = "An instance of this program is already running."


# --- shared helpers ------------------------------------------------------------

def parse_report(stdout: str):
    """Lines "key=value" of the app (Linux) or "standin key=value" (Windows)."""
    report = {"args": [], "vmargs": [], "props": {}, "options": [], "lines": stdout.splitlines()}
    for line in stdout.splitlines():
        if line.startswith("standin "):
            line = line[len("standin "):]
            if line.startswith("option: "):
                report["options"].append(line[len("option: "):])
            elif line.startswith("property "):
                name, value = line[len("property "):].split("=", 1)
                report["props"][name] = value
            elif line.startswith("main arg["):
                report["args"].append(line.split("=", 1)[1])
            continue
        if line.startswith("arg["):
            report["args"].append(line.split("=", 1)[1])
        elif line.startswith("vmarg="):
            report["vmargs"].append(line[len("vmarg="):])
        elif line.startswith("prop "):
            name, value = line[len("prop "):].split("=", 1)
            if value != "<absent>":
                report["props"][name] = value
        elif line.startswith("where "):
            name, value = line[len("where "):].split("=", 1)
            report.setdefault("where", {})[name] = value
    return report


def write_settings_file(exe: Path, **keys):
    """The settings file beside a launcher packed with SettingsFile %APPNAME%.ini."""
    body = "[Application Configuration]\n" + "".join(f"{k}={v}\n" for k, v in keys.items())
    (exe.parent / (exe.stem + ".ini")).write_text(body, encoding="utf-8")


# The order in which both lanes list the archives of make_class_path_tree's
# lib: names compared upper-cased, as Windows lists them.
CLASS_PATH_TREE = ["lib", "lib/a.jar", "lib/ab.jar", "lib/Alpha.JAR", "lib/a_b.jar", "lib/b.ZIP", "lib/sub/c.jar"]


def make_class_path_tree(folder: Path, archive: bytes):
    """lib with the archives of CLASS_PATH_TREE, notes.txt and a link to
    itself, each archive holding the given bytes."""
    lib = folder / "lib"
    (lib / "sub").mkdir(parents=True)
    for name in ("a.jar", "b.ZIP", "sub/c.jar", "a_b.jar", "Alpha.JAR", "ab.jar"):
        (lib / name).write_bytes(archive)
    (lib / "notes.txt").write_text("not an archive")
    (lib / "loop").symlink_to(".")  # a directory link back up adds nothing (a reparse point under Wine)
    return lib


@contextmanager
def first_instance(lane, exe, folder: Path, marker: str):
    """A first launcher run with "--hold FILE", kept running until the block
    ends; its output (stdout and stderr) goes to a file, which is polled for
    the marker. Yields a namespace that gets status and output on release."""
    release, output = folder / "release", folder / "first.out"
    with open(output, "w") as out:
        proc = subprocess.Popen(lane.command(exe, ["--hold", lane.native_path(release)]), stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=lane.environment(unset=JAVA_ENVIRONMENT))
    first = SimpleNamespace(status=None, output="")
    try:
        deadline = time.monotonic() + 60
        while marker not in output.read_text(errors="replace"):
            assert proc.poll() is None and time.monotonic() < deadline, \
                f"first instance never printed {marker!r}: {output.read_text(errors='replace')}"
            time.sleep(0.05)
        yield first
        release.write_text("go")
        first.status = proc.wait(timeout=60)
        first.output = output.read_text(errors="replace")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


# --- Linux lane: real JDKs ----------------------------------------------------------

@pytest.fixture(scope="module")
def java_apps(tmp_path_factory):
    if not JDK_HOMES:
        pytest.fail("no JDK with lib/server/libjvm.so installed")
    out = tmp_path_factory.mktemp("javaapps")
    classes = out / "classes"
    javac = JDK_HOMES[0] / "bin" / "javac"
    sources = sorted(str(p) for p in JAVA_APPS.rglob("*.java"))
    subprocess.run([str(javac), "--release", "17", "-d", str(classes), *sources], check=True,
                   capture_output=True, timeout=120)
    jar = out / "app.jar"
    (out / "manifest").write_text("Premain-Class: vt.Agent\n")  # -javaagent:app.jar
    subprocess.run([str(JDK_HOMES[0] / "bin" / "jar"), "cfm", str(jar), str(out / "manifest"), "-C", str(classes),
                    "."], check=True, capture_output=True, timeout=120)
    return {"classes": classes, "jar": jar}


@pytest.fixture(scope="module", params=JDK_HOMES, ids=lambda p: p.name)
def jdk(request):
    return request.param


class Launch:
    """Packs a launcher of the test application into its own folder (with
    the settings common to a lane) and runs it without Java's environment."""

    def __init__(self, lane, folder: Path, base: dict, **extra):
        self.lane, self.folder, self.base = lane, folder, base
        self.__dict__.update(extra)

    def pack(self, name="app", **settings):
        return self.lane.pack(self.folder / name / name, settings={**self.base, **settings})

    def run(self, exe, args=(), env=None, cwd=None, unset=()):
        return self.lane.run(exe, args, env=env, cwd=cwd, unset=JAVA_ENVIRONMENT + tuple(unset))


@pytest.fixture
def launch(linux_lane, jdk, java_apps, tmp_path):
    base = {"MainClass": "vt.App", "JvmPath": str(jdk / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
            "JvmVersion": "1.8", "JvmOptions": "-Xmx256m", "ClassPath": str(java_apps["jar"]),
            "ExtractLocation": "0", "SettingsFile": "%APPNAME%.ini"}
    return Launch(linux_lane, tmp_path, base, jdk=jdk, apps=java_apps)


class TestLinuxVm:
    def test_class_path_and_every_property(self, launch, tmp_path):
        # Empty arguments of the option text (two blanks, a placeholder that
        # expands to nothing, a trailing blank) are no options for the VM.
        exe = launch.pack("cp", JvmOptions="-Xmx200m  -Dapp.mode=report %VT_UNSET% ",
                          ClassPath="lib;missing;%APPDIR%/lib")
        make_class_path_tree(exe.parent, launch.apps["jar"].read_bytes())
        home = tmp_path / "home ü"
        env = {"HOME": str(home), "XDG_CONFIG_HOME": str(home / "cfg"), "XDG_DATA_HOME": str(home / "data")}
        result = launch.run(exe, env=env, cwd=tmp_path)
        assert result.status == 0, result
        report = parse_report(result.stdout)
        assert report["vmargs"][:2] == ["-Xmx200m", "-Dapp.mode=report"]
        props = report["props"]
        # A directory, then its archives depth first (sorted by name without
        # case); a missing entry as it is; a placeholder entry expanded but
        # not searched.
        assert props["java.class.path"] == ":".join([*CLASS_PATH_TREE, "missing", str(exe.parent / "lib")])
        assert props["user.dir"] == str(exe.parent)
        assert props["vantrel.exe.path"] == str(exe)
        assert props["vantrel.csidl.appdata"] == str(home / "cfg")
        assert props["vantrel.csidl.local.appdata"] == str(home / "data")
        assert props["vantrel.csidl.personal"] == str(home)
        assert props["vantrel.extract.path"] == str(exe.parent)
        assert props["vantrel.appini.showconsole"] == "true"
        assert not any(name.startswith("vantrel.service.") for name in props)

    def test_no_class_path_option_without_entries(self, launch):
        exe = launch.pack("nocp", ClassPath="", JvmOptions="")
        # The classes beside the launcher: the VM's default class path is its
        # current directory, the launcher's folder.
        shutil.copytree(launch.apps["classes"], exe.parent, dirs_exist_ok=True)
        result = launch.run(exe)
        assert result.status == 0, result
        report = parse_report(result.stdout)
        assert report["vmargs"] == []
        # The VM's own default (it then loads from its current directory).
        assert report["props"]["java.class.path"] in ("", ".")

    def test_a_folder_the_system_cannot_name_is_left_out(self, launch, tmp_path):
        exe = launch.pack("folders")
        write_settings_file(exe, ShowConsole="0", AppMutex=f"vt-{uuid.uuid4().hex}")
        # Without HOME only the folder with its own variable can be named.
        result = launch.run(exe, env={"XDG_CONFIG_HOME": str(tmp_path / "cfg")}, unset=("HOME", "XDG_DATA_HOME"))
        assert result.status == 0 and result.stderr == "", result
        props = parse_report(result.stdout)["props"]
        assert props["vantrel.csidl.appdata"] == str(tmp_path / "cfg")
        assert "vantrel.csidl.local.appdata" not in props and "vantrel.csidl.personal" not in props
        assert props["vantrel.appini.showconsole"] == "false"  # from the settings file

    def test_every_relative_path_resolves_in_the_working_directory(self, launch, tmp_path):
        work, start = tmp_path / "work", tmp_path / "start"
        for folder in (work, start):
            folder.mkdir()
            (folder / "vt-where.txt").write_text(folder.name)
        cases = [
            ({"WorkingDirectory": str(work)}, work),
            # A relative working directory and class path: the class path
            # still resolves against the executable's folder.
            ({"WorkingDirectory": "../work", "ClassPath": "app.jar"}, work),
            ({"WorkingDirectory": str(work), "KeepStartDirectory": "1"}, start),
            # The early change happens before the VM; the start directory is
            # then not brought back.
            ({"WorkingDirectory": str(work), "KeepStartDirectory": "1", "EarlyWorkingDirectory": "1"}, work),
            ({}, None),  # the executable's folder
        ]
        for number, (settings, expected) in enumerate(cases):
            exe = launch.pack(f"wd{number}", **settings)
            shutil.copy(launch.apps["jar"], exe.parent / "app.jar")
            expected = expected or exe.parent
            (exe.parent / "vt-where.txt").write_text("exe")
            result = launch.run(exe, cwd=start)
            assert result.status == 0, (settings, str(result))
            report = parse_report(result.stdout)
            # user.dir, java.io.File, java.nio.file and FileInputStream agree.
            assert report["props"]["user.dir"] == str(expected), settings
            assert report["where"] == {"file": str(expected / "vt-where.txt"), "path": str(expected / "vt-where.txt"),
                                       "exists": "true,true", "read": "exe" if expected == exe.parent else
                                       expected.name}, settings


def test_linux_arguments_of_main(launch):
    words = ["héllo wörld", "日本語", "emoji 😀", "Ω≈ç√"]
    cases = [
        # StaticOptions first (expanded), then the caller's arguments as they are.
        ({"StaticOptions": '-first "two words" %VT_LAUNCH_VALUE%', "AppOptions": "never used"},
         ["x", "%VT_LAUNCH_VALUE%", "a b", ""], ["-first", "two words", "expanded", "x", "%VT_LAUNCH_VALUE%", "a b", ""]),
        # AppOptions stand in for an empty command line, expanded and split.
        ({"StaticOptions": "-s", "AppOptions": 'one %VT_LAUNCH_VALUE% "t w o"'}, [], ["-s", "one", "expanded", "t w o"]),
        ({}, [], []),
        ({"AppOptions": "  "}, [], [""]),  # application arguments keep their empty ones
        # Without a service name the service switches are the application's.
        ({}, ["-install", "a"], ["-install", "a"]),
        ({}, ["-uninstall"], ["-uninstall"]),
        ({}, ["-startlauncherinservicemode"], ["-startlauncherinservicemode"]),
        ({"StaticOptions": "grüße"}, words, ["grüße", *words]),  # non-ASCII arguments arrive intact
        # Invalid UTF-8 (Latin-1, an overlong form, an encoded surrogate) arrives as U+FFFD, as on Windows.
        ({}, [os.fsdecode(b"M\xfcller"), os.fsdecode(b"a\xc0\xafb\xed\xa0\x80c")],
         ["M\ufffdller", "a\ufffd\ufffdb\ufffd\ufffdc"]),
    ]
    for number, (settings, args, expected) in enumerate(cases):
        result = launch.run(launch.pack(f"args{number}", **settings), args, env={"VT_LAUNCH_VALUE": "expanded"})
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == expected, settings
        assert f"argc={len(expected)}" in result.out_lines


def test_linux_start_directory_longer_than_its_buffer(launch, tmp_path):
    deep = tmp_path
    while len(str(deep)) <= 300:
        deep /= "a-long-directory-name"
    deep.mkdir(parents=True)
    # Only KeepStartDirectory needs the start directory: a launch without it runs.
    plain = launch.run(launch.pack("deep"), cwd=deep)
    assert plain.status == 0, plain
    assert parse_report(plain.stdout)["props"]["user.dir"] == str(launch.folder / "deep")
    kept = launch.run(launch.pack("keep", KeepStartDirectory="1"), cwd=deep)
    assert launch.lane.exit_status(kept.status) == 255, kept
    assert kept.err_lines == ["Error accessing file/directory: CURRENT_DIR", "", "Reason: File name too long"]


class TestLinuxEnds:
    @pytest.mark.parametrize("settings, last_error, before", [
        ({"MainClass": "vt.Missing"}, "Error locating class: vt/Missing", ["java.lang.NoClassDefFoundError: vt/Missing"]),
        ({"MainClass": "vt.NoMain"}, f"Error locating method: {MAIN_TEXT}", []),
        # A class built for a newer Java: the runtime's own words say which.
        ({"ClassPath": "{newer}"}, "Error locating class: vt/App (java.lang.UnsupportedClassVersionError: vt/App has "
         "been compiled by a more recent version of the Java Runtime (class file version 70.0), this version of the "
         "Java Runtime only recognizes class file versions up to {newest}.0)", []),
        # The VM's stack trace first, then message 13.
        ({"JvmOptions": "-Dapp.mode=throw"}, f"Error invoking method: {MAIN_TEXT}",
         ["java.lang.IllegalStateException: app failure on purpose", "at vt.App.main(App.java"]),
        ({"JvmOptions": "-Xbogus"}, "Unable to create JVM instance using {libjvm}", []),
        ({"WorkingDirectory": "{folder}/missing"}, "Reason: No such file or directory",
         ["Error accessing file/directory: {folder}/missing"]),
    ], ids=["noclass", "nomain", "toonew", "throws", "bad-option", "bad-workdir"])
    def test_reports_and_minus_one(self, launch, settings, last_error, before):
        # The classes, App.class marked as built for Java 26 (class file 70).
        newer = launch.folder / "newer"
        shutil.copytree(launch.apps["classes"], newer)
        app = bytearray((newer / "vt" / "App.class").read_bytes())
        app[6:8] = (70).to_bytes(2, "big")
        (newer / "vt" / "App.class").write_bytes(app)
        release = (launch.jdk / "release").read_text()
        feature = int(re.search(r'JAVA_VERSION="(\d+)', release).group(1))
        names = {"libjvm": launch.jdk / "lib" / "server" / "libjvm.so", "folder": launch.folder, "newer": newer,
                 "newest": feature + 44}
        settings = {key: value.format(**names) for key, value in settings.items()}
        result = launch.run(launch.pack("end", **settings))
        assert launch.lane.exit_status(result.status) == 255, result
        assert result.err_lines[-1] == last_error.format(**names), result
        positions = [result.stderr.index(text.format(**names)) for text in before]
        assert positions == sorted(positions), result
        assert "main returns" not in result.stdout

    def test_non_daemon_thread_outlives_main(self, launch):
        result = launch.run(launch.pack("thread", JvmOptions="-Dapp.mode=thread"))
        assert result.status == 0, result
        assert result.out_lines.index("main returns") < result.out_lines.index("thread done")

    def test_system_exit_status(self, launch):
        result = launch.run(launch.pack("exit", JvmOptions="-Dapp.mode=exit -Dapp.status=3"))
        assert result.status == 3, result
        assert "main returns" not in result.stdout
        assert result.stderr == ""


def test_linux_second_instance(launch, tmp_path):
    mutex = f"vt-launch-{uuid.uuid4().hex}"
    forwarding = launch.pack("single", JvmOptions="-Dapp.mode=hold", AllowMultipleInstances="0",
                             ForwardSecondInstance="1", SecondInstanceArguments="--second")
    write_settings_file(forwarding, AppMutex=mutex)
    plain = launch.pack("single1", JvmOptions="-Dapp.mode=hold", AllowMultipleInstances="0")
    write_settings_file(plain, AppMutex=mutex)
    with first_instance(launch.lane, forwarding, tmp_path, "holding") as first:
        forwarded = launch.run(forwarding, FORWARDED)
        refused = launch.run(plain, ["one"])
    assert first.status == 0 and "released" in first.output, first.output
    assert parse_report(first.output)["args"][0] == "--hold"
    # Forwarded: main runs in a second VM with the arguments whole.
    assert forwarded.status == 0, forwarded
    report = parse_report(forwarded.stdout)
    assert report["args"] == ["--second", *FORWARDED]
    assert report["props"]["vantrel.exe.path"] == str(forwarding)
    # Without forwarding: message 1, and 0.
    assert (refused.err_lines, refused.stdout, refused.status) == ([ALREADY_RUNNING], "", 0), refused
    # Once the first has ended, the name is free again.
    again = launch.run(plain, ["one"])
    assert again.status == 0 and "app main" in again.stdout, again


# --- Windows lane: the stand-in runtime ------------------------------------------------

STANDIN = "Vantrel test stand-in runtime, not a Java VM"


class WindowsLaunch(Launch):
    def pack(self, name="app", script="args", **settings):
        return super().pack(name, **{"JvmOptions": f"-Xmx256m -Dstandin.script={script}", **settings})


@pytest.fixture
def wlaunch(windows_lane, tmp_path):
    runtime = windows_lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
    if not runtime.exists():
        pytest.fail(f"stand-in runtime missing: {runtime}")
    base = {"MainClass": "vt.App", "JvmPath": windows_lane.native_path(runtime), "JvmSearchOrder": "0",
            "JvmVersion": "", "ExtractLocation": "0", "SettingsFile": "%APPNAME%.ini"}
    return WindowsLaunch(windows_lane, tmp_path, base, runtime=runtime)


class TestWindowsStandIn:
    def test_options_class_path_properties_and_arguments(self, wlaunch, tmp_path):
        exe = wlaunch.pack("full", ClassPath="lib;missing;%APPDIR%\\lib", StaticOptions='-s "t w"',
                           AppOptions="unused", JvmOptions="-Xmx256m  %VT_UNSET% -Dstandin.script=args ")
        make_class_path_tree(exe.parent, b"PK\x05\x06" + bytes(18))
        result = wlaunch.run(exe, ["x", "%APPDIR%", "grüße 😀"])
        assert result.status == 0, result
        assert result.out_lines[0] == "standin runtime: " + STANDIN
        assert "standin init version=0x10002 options=3 ignoreUnrecognized=false" in result.out_lines
        report = parse_report(result.stdout)
        assert report["options"][:2] == ["-Xmx256m", "-Dstandin.script=args"]
        class_path = report["options"][2]
        assert class_path.startswith("-Djava.class.path=")
        entries = class_path[len("-Djava.class.path="):].split(";")
        # The directory, then its archives in the file system's order, the
        # same as on Linux.
        assert entries == [*(e.replace("/", "\\") for e in CLASS_PATH_TREE), "missing",
                           wlaunch.lane.native_path(exe.parent / "lib")]

        props = report["props"]
        assert props["user.dir"] == wlaunch.lane.native_path(exe.parent)
        assert props["vantrel.exe.path"] == wlaunch.lane.native_path(exe)
        assert props["vantrel.csidl.appdata"].endswith("\\AppData\\Roaming")
        assert props["vantrel.csidl.local.appdata"].endswith("\\AppData\\Local")
        assert props["vantrel.csidl.personal"].startswith("C:\\users\\")
        assert props["vantrel.extract.path"] == wlaunch.lane.native_path(exe.parent)
        assert props["vantrel.appini.showconsole"] == "true"
        assert not any(name.startswith("vantrel.service.") for name in props)
        # Properties come in their fixed order.
        names = [line.split("=", 1)[0][len("standin property "):] for line in result.out_lines
                 if line.startswith("standin property ")]
        assert names == ["user.dir", "vantrel.exe.path", "vantrel.csidl.appdata", "vantrel.csidl.local.appdata",
                         "vantrel.csidl.personal", "vantrel.extract.path", "vantrel.appini.showconsole"]

        assert report["args"] == ["-s", "t w", "x", "%APPDIR%", "grüße 😀"]
        # Every local reference the launcher made was deleted again.
        assert result.out_lines[-2:] == ["standin detach", "standin destroy, local references left: 0"]

    def test_vm_created_in_the_working_directory(self, wlaunch, tmp_path):
        work = tmp_path / "work"
        work.mkdir()
        native = wlaunch.lane.native_path
        for name, class_path in (("wdcp", "lib"), ("wdnocp", "")):
            exe = wlaunch.pack(name, WorkingDirectory=native(work), ClassPath=class_path)
            if class_path:
                make_class_path_tree(exe.parent, b"PK\x05\x06" + bytes(18))
            result = wlaunch.run(exe)
            assert result.status == 0, result
            assert f"standin init directory={native(work)}" in result.out_lines, result
            report = parse_report(result.stdout)
            assert report["props"]["user.dir"] == native(work)
            # The class path (the VM's default, its current directory, too)
            # still names the executable's folder.
            entries = [native(exe.parent / e) for e in CLASS_PATH_TREE] if class_path else [native(exe.parent)]
            assert report["options"][-1] == "-Djava.class.path=" + ";".join(entries), result

    def test_app_options_expanded_when_there_are_no_arguments(self, wlaunch):
        exe = wlaunch.pack("appopts", AppOptions="%APPDIR% b")
        result = wlaunch.run(exe)
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == [wlaunch.lane.native_path(exe.parent), "b"]
        # Without a service name the service switches are the application's.
        for switch in ("-install", "-uninstall", "-startlauncherinservicemode"):
            assert parse_report(wlaunch.run(exe, [switch]).stdout)["args"] == [switch]

    def test_reports_and_exit_statuses(self, wlaunch):
        message_7 = f"Unable to create JVM instance using {wlaunch.lane.native_path(wlaunch.runtime)}"
        cases = [
            ("noclass", {}, 255, "Error locating class: vt/App", None),
            ("toonew", {}, 255, "Error locating class: vt/App (java.lang.UnsupportedClassVersionError: vt/App has been "
             "compiled by a more recent version of the Java Runtime (class file version 69.0), this version of the "
             "Java Runtime only recognizes class file versions up to 61.0)", None),
            ("nomain", {}, 255, f"Error locating method: {MAIN_TEXT}", None),
            ("throw", {}, 255, f"Error invoking method: {MAIN_TEXT}", None),
            # A refused option: the runtime's own words, then message 7.
            ("args", {"JvmOptions": "-Xbogus -Dstandin.script=args"}, 255, message_7,
             "standin: Unrecognized option: -Xbogus"),
            ("exit=3", {}, 3, None, None),
        ]
        for number, (script, settings, status, last_error, error_text) in enumerate(cases):
            result = wlaunch.run(wlaunch.pack(f"end{number}", script=script, **settings))
            assert wlaunch.lane.exit_status(result.status) == status, (script, str(result))
            if last_error is not None:
                assert result.err_lines[-1] == last_error, (script, str(result))
            assert error_text is None or error_text in result.stderr, (script, str(result))
            assert "standin main arg" not in result.stdout

    def test_exception_is_described_before_message_13(self, wlaunch):
        exe = wlaunch.pack("describe", script="args,throw")
        result = wlaunch.run(exe, ["a"])
        assert wlaunch.lane.exit_status(result.status) == 255, result
        assert result.err_lines == ["standin exception: java.lang.IllegalStateException: scripted failure",
                                    "standin exception: (raised by the stand-in script)",
                                    f"Error invoking method: {MAIN_TEXT}"]
        # No shutdown after a failed primary invocation: the process ends.
        assert "standin destroy" not in result.stdout

    def test_property_failures(self, wlaunch):
        # An optional property is reported and main still runs; a required one ends the launch.
        for name, status, runs in (("vantrel.appini.showconsole", 0, True), ("vantrel.exe.path", 255, False)):
            result = wlaunch.run(wlaunch.pack("failprop", script=f"args,failprop={name}"), ["a"])
            assert wlaunch.lane.exit_status(result.status) == status, result
            assert "Error invoking method: setProperty" in result.err_lines
            assert (parse_report(result.stdout)["args"] == ["a"]) == runs, result

    def test_second_instances(self, wlaunch, tmp_path):
        mutex = f"vt-launch-{uuid.uuid4().hex}"
        single = dict(AllowMultipleInstances="0", ForwardSecondInstance="1")
        exes = {
            "forwarding": wlaunch.pack("single", script="args,hold", SecondInstanceArguments="--second", **single),
            "plain": wlaunch.pack("plain", script="args", AllowMultipleInstances="0"),
            # Second instances whose runtime refuses the attach, or whose main throws.
            "refusing": wlaunch.pack("noattach", script="noattach", **single),
            "throwing": wlaunch.pack("throwing", script="throw", **single),
        }
        for exe in exes.values():
            write_settings_file(exe, AppMutex=mutex)
        with first_instance(wlaunch.lane, exes["forwarding"], tmp_path, "main holding") as first:
            # The first launcher's own mutex, a real one of the Wine server.
            second = {name: wlaunch.run(exe, FORWARDED) for name, exe in exes.items()}
        assert first.status == 0 and "standin main released" in first.output, first.output

        forwarded = second["forwarding"]
        assert forwarded.status == 0, forwarded
        lines = forwarded.out_lines
        attach = lines.index("standin attach version=0x10002 name=Vantrel thread group=none")
        assert parse_report(forwarded.stdout)["args"] == ["--second", *FORWARDED]
        assert attach < lines.index("standin detach")
        assert lines[-1] == "standin destroy, local references left: 0"
        # Without forwarding: message 1, and 0.
        assert (second["plain"].err_lines, second["plain"].stdout, second["plain"].status) == \
            ([ALREADY_RUNNING], "", 0), second["plain"]
        # Message 8; the second instance still ends with 0, without shutdown.
        not_attached = second["refusing"]
        assert not_attached.status == 0, not_attached
        assert not_attached.err_lines == ["Unable to attach thread to the JVM."]
        assert "standin detach" not in not_attached.stdout and "standin destroy" not in not_attached.stdout
        # A throwing main: described, message 13, the thread detached, no shutdown.
        thrown = second["throwing"]
        assert thrown.status == 0, thrown
        assert thrown.err_lines[-1] == f"Error invoking method: {MAIN_TEXT}"
        assert thrown.out_lines[-1] == "standin detach"
