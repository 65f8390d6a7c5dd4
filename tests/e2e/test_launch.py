"""A launch as users see it: the VM's options and class path, the system
properties, the String[] that main receives, the reports when the main class
cannot be run, and the exit status of every end.

Linux lane: the packed Linux launcher with a real JDK (each installed one)
runs small Java applications that the tests compile (tests/javaapps) and that
print what they received. Windows lane: the packed Windows launcher under
Wine with the stand-in runtime (tests/standin), which prints every option,
property and argument it is handed and follows a script for main.
"""

import queue
import subprocess
import threading
import time
import uuid
from pathlib import Path

import pytest

JAVA_APPS = Path(__file__).resolve().parents[1] / "javaapps"
JDK_HOMES = [Path(p) for p in ("/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64")
             if (Path(p) / "lib" / "server" / "libjvm.so").exists()]
# Settings of the environment that a JVM created in-process would also honour.
JAVA_ENVIRONMENT = ("JAVA_HOME", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS")

MAIN_TEXT = "main(java/lang/String[])"


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
    return report


def write_settings_file(exe: Path, **keys):
    """The settings file beside a launcher packed with SettingsFile %APPNAME%.ini."""
    body = "[Application Configuration]\n" + "".join(f"{k}={v}\n" for k, v in keys.items())
    (exe.parent / (exe.stem + ".ini")).write_text(body, encoding="utf-8")


def make_class_path_tree(folder: Path, archive: bytes):
    """lib with a.jar, b.ZIP, notes.txt and sub/c.jar, each archive holding
    the given bytes."""
    lib = folder / "lib"
    (lib / "sub").mkdir(parents=True)
    for name in ("a.jar", "b.ZIP", "sub/c.jar"):
        (lib / name).write_bytes(archive)
    (lib / "notes.txt").write_text("not an archive")
    return lib


class Held:
    """A first launcher kept running until the test releases it. A thread
    collects its output lines, so that the test can wait for one of them."""

    def __init__(self, lane, exe, release: Path, env=None):
        self.release = release
        self.proc = lane.start(exe, ["--hold", lane.native_path(release)], env=env,
                               unset=JAVA_ENVIRONMENT)
        self.lines = queue.Queue()
        self.seen = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, marker: str, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.seen.append(line)
            if marker in line:
                return
        raise AssertionError(f"first instance never printed {marker!r}: {self.seen}")

    def finish(self, timeout=60):
        self.release.write_text("go")
        status = self.proc.wait(timeout=timeout)
        self.reader.join(timeout=timeout)
        err = self.proc.stderr.read()
        while True:
            line = self.lines.get_nowait() if not self.lines.empty() else None
            if line is None:
                break
            self.seen.append(line)
        return "\n".join(self.seen), err, status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


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
    subprocess.run([str(JDK_HOMES[0] / "bin" / "jar"), "cf", str(jar), "-C", str(classes), "."], check=True,
                   capture_output=True, timeout=120)
    return {"classes": classes, "jar": jar}


@pytest.fixture(scope="module", params=JDK_HOMES, ids=lambda p: p.name)
def jdk(request):
    return request.param


class LinuxLaunch:
    """Packs the Linux launcher for the test application on one JDK."""

    def __init__(self, lane, jdk: Path, apps, folder: Path):
        self.lane, self.jdk, self.apps, self.folder = lane, jdk, apps, folder

    def pack(self, name="app", **settings):
        base = {"MainClass": "vt.App", "JvmPath": str(self.jdk / "lib" / "server" / "libjvm.so"),
                "JvmSearchOrder": "0", "JvmVersion": "1.8", "JvmOptions": "-Xmx256m",
                "ClassPath": str(self.apps["jar"]), "ExtractLocation": "0", "SettingsFile": "%APPNAME%.ini"}
        base.update(settings)
        folder = self.folder / name
        folder.mkdir(parents=True, exist_ok=True)
        return self.lane.pack(folder / name, settings=base)

    def run(self, exe, args=(), env=None, cwd=None, unset=()):
        return self.lane.run(exe, args, env=env, cwd=cwd, unset=JAVA_ENVIRONMENT + tuple(unset))


@pytest.fixture
def launch(linux_lane, jdk, java_apps, tmp_path):
    return LinuxLaunch(linux_lane, jdk, java_apps, tmp_path)


class TestLinuxClassPath:
    def test_directory_entries_bring_their_archives(self, launch, tmp_path):
        exe = launch.pack("cp", JvmOptions="-Xmx200m -Dapp.mode=report",
                          ClassPath="lib;missing;%APPDIR%/lib")
        make_class_path_tree(exe.parent, launch.apps["jar"].read_bytes())
        result = launch.run(exe)
        assert result.status == 0, result
        report = parse_report(result.stdout)
        # A directory, then its archives depth first (sorted by name without
        # case); a missing entry as it is; a placeholder entry expanded but
        # not searched.
        assert report["props"]["java.class.path"] == ":".join(
            ["lib", "lib/a.jar", "lib/b.ZIP", "lib/sub/c.jar", "missing", str(exe.parent / "lib")])
        assert report["vmargs"][:2] == ["-Xmx200m", "-Dapp.mode=report"]

    def test_no_class_path_option_without_entries(self, launch):
        exe = launch.pack("nocp", ClassPath="", JvmOptions="")
        # The classes beside the launcher: the VM's default class path is its
        # current directory, the launcher's folder.
        for item in launch.apps["classes"].rglob("*.class"):
            target = exe.parent / item.relative_to(launch.apps["classes"])
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(item.read_bytes())
        result = launch.run(exe)
        assert result.status == 0, result
        report = parse_report(result.stdout)
        assert report["vmargs"] == []
        # The VM's own default (it then loads from its current directory).
        assert report["props"]["java.class.path"] in ("", ".")


class TestLinuxProperties:
    def test_every_property_with_its_value(self, launch, tmp_path):
        exe = launch.pack("props")
        home = tmp_path / "home ü"
        env = {"HOME": str(home), "XDG_CONFIG_HOME": str(home / "cfg"), "XDG_DATA_HOME": str(home / "data")}
        result = launch.run(exe, env=env, cwd=tmp_path)
        assert result.status == 0, result
        props = parse_report(result.stdout)["props"]
        assert props["user.dir"] == str(exe.parent)
        assert props["vantrel.exe.path"] == str(exe)
        assert props["vantrel.csidl.appdata"] == str(home / "cfg")
        assert props["vantrel.csidl.local.appdata"] == str(home / "data")
        assert props["vantrel.csidl.personal"] == str(home)
        assert props["vantrel.extract.path"] == "."
        assert props["vantrel.appini.showconsole"] == "true"
        for name in ("vantrel.service.name", "vantrel.service.description", "vantrel.service.starttype"):
            assert name not in props

    def test_a_folder_the_system_cannot_name_is_left_out(self, launch, tmp_path):
        exe = launch.pack("folders")
        # Without HOME only the folder with its own variable can be named.
        result = launch.run(exe, env={"XDG_CONFIG_HOME": str(tmp_path / "cfg")},
                            unset=("HOME", "XDG_DATA_HOME"))
        assert result.status == 0, result
        props = parse_report(result.stdout)["props"]
        assert props["vantrel.csidl.appdata"] == str(tmp_path / "cfg")
        assert "vantrel.csidl.local.appdata" not in props
        assert "vantrel.csidl.personal" not in props
        assert props["vantrel.appini.showconsole"] == "true"
        assert result.stderr == ""

    def test_show_console_off_in_the_settings_file(self, launch, tmp_path):
        exe = launch.pack("console")
        write_settings_file(exe, ShowConsole="0", AppMutex=f"vt-{uuid.uuid4().hex}")
        result = launch.run(exe)
        assert result.status == 0, result
        assert parse_report(result.stdout)["props"]["vantrel.appini.showconsole"] == "false"

    def test_user_dir_follows_the_working_directory_settings(self, launch, tmp_path):
        work = tmp_path / "work"
        work.mkdir()
        start = tmp_path / "start"
        start.mkdir()
        cases = [
            ({"WorkingDirectory": str(work)}, work),
            ({"WorkingDirectory": str(work), "KeepStartDirectory": "1"}, start),
            # The early change happens before the VM; the start directory is
            # then not brought back.
            ({"WorkingDirectory": str(work), "KeepStartDirectory": "1", "EarlyWorkingDirectory": "1"}, work),
        ]
        for number, (settings, expected) in enumerate(cases):
            exe = launch.pack(f"wd{number}", **settings)
            result = launch.run(exe, cwd=start)
            assert result.status == 0, (settings, str(result))
            assert parse_report(result.stdout)["props"]["user.dir"] == str(expected), settings

    def test_missing_working_directory_ends_the_launch(self, launch, tmp_path):
        missing = tmp_path / "does-not-exist"
        exe = launch.pack("badwd", WorkingDirectory=str(missing))
        result = launch.run(exe)
        assert launch.lane.exit_status(result.status) == 255, result
        assert f"Error accessing file/directory: {missing}" in result.stderr
        assert "Reason:" in result.stderr
        assert "app main" not in result.stdout


class TestLinuxArguments:
    def test_static_options_then_the_callers_arguments_unexpanded(self, launch):
        exe = launch.pack("args", StaticOptions='-first "two words" %VT_LAUNCH_VALUE%',
                          AppOptions="never used")
        result = launch.run(exe, ["x", "%VT_LAUNCH_VALUE%", "a b", ""], env={"VT_LAUNCH_VALUE": "expanded"})
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == [
            "-first", "two words", "expanded", "x", "%VT_LAUNCH_VALUE%", "a b", ""]

    def test_app_options_stand_in_for_an_empty_command_line(self, launch):
        exe = launch.pack("appopts", StaticOptions="-s", AppOptions='one %VT_LAUNCH_VALUE% "t w o"')
        result = launch.run(exe, env={"VT_LAUNCH_VALUE": "expanded"})
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == ["-s", "one", "expanded", "t w o"]

    def test_no_arguments_at_all(self, launch):
        exe = launch.pack("noargs")
        result = launch.run(exe)
        assert result.status == 0, result
        assert "argc=0" in result.out_lines

    def test_non_ascii_arguments_arrive_intact(self, launch):
        exe = launch.pack("utf8", StaticOptions="grüße")
        words = ["héllo wörld", "日本語", "emoji 😀", "Ω≈ç√"]
        result = launch.run(exe, words)
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == ["grüße", *words]


class TestLinuxEnds:
    def test_missing_main_class(self, launch):
        exe = launch.pack("noclass", MainClass="vt.Missing")
        result = launch.run(exe)
        assert launch.lane.exit_status(result.status) == 255, result
        assert "java.lang.NoClassDefFoundError: vt/Missing" in result.stderr
        assert result.err_lines[-1] == "Error locating class: vt/Missing"

    def test_class_without_main(self, launch):
        exe = launch.pack("nomain", MainClass="vt.NoMain")
        result = launch.run(exe)
        assert launch.lane.exit_status(result.status) == 255, result
        assert result.err_lines[-1] == f"Error locating method: {MAIN_TEXT}"

    def test_main_that_throws(self, launch):
        exe = launch.pack("throws", JvmOptions="-Dapp.mode=throw")
        result = launch.run(exe)
        assert launch.lane.exit_status(result.status) == 255, result
        trace = result.stderr.index("java.lang.IllegalStateException: app failure on purpose")
        assert result.stderr.index("at vt.App.main(App.java") > trace
        assert result.err_lines[-1] == f"Error invoking method: {MAIN_TEXT}"
        assert "main returns" not in result.stdout

    def test_non_daemon_thread_outlives_main(self, launch):
        exe = launch.pack("thread", JvmOptions="-Dapp.mode=thread")
        result = launch.run(exe)
        assert result.status == 0, result
        lines = result.out_lines
        assert lines.index("main returns") < lines.index("thread done")

    def test_system_exit_status(self, launch):
        exe = launch.pack("exit", JvmOptions="-Dapp.mode=exit -Dapp.status=3")
        result = launch.run(exe)
        assert result.status == 3, result
        assert "main returns" not in result.stdout
        assert result.stderr == ""

    def test_unknown_vm_option_is_refused(self, launch):
        exe = launch.pack("bogus", JvmOptions="-Xbogus")
        result = launch.run(exe)
        assert launch.lane.exit_status(result.status) == 255, result
        libjvm = launch.jdk / "lib" / "server" / "libjvm.so"
        assert result.err_lines[-1] == f"Unable to create JVM instance using {libjvm}"
        assert "app main" not in result.stdout


class TestLinuxSecondInstance:
    def test_forwarded_arguments_run_main_in_a_second_vm(self, launch, tmp_path):
        exe = launch.pack("single", JvmOptions="-Dapp.mode=hold", AllowMultipleInstances="0",
                          ForwardSecondInstance="1", SecondInstanceArguments="--second")
        write_settings_file(exe, AppMutex=f"vt-launch-{uuid.uuid4().hex}")
        first = Held(launch.lane, exe, tmp_path / "release")
        try:
            first.wait_for("holding")
            second = launch.run(exe, ["one", "two words"])
            out, err, status = first.finish()
        finally:
            first.kill()
        assert second.status == 0, second
        report = parse_report(second.stdout)
        # Joined with blanks and split again: "two words" arrives as two.
        assert report["args"] == ["--second", "one", "two", "words"]
        assert report["props"]["vantrel.exe.path"] == str(exe)
        assert status == 0, err
        assert parse_report(out)["args"][0] == "--hold"
        assert "released" in out

    def test_without_forwarding_the_second_instance_reports_message_1(self, launch, tmp_path):
        exe = launch.pack("single1", JvmOptions="-Dapp.mode=hold", AllowMultipleInstances="0")
        write_settings_file(exe, AppMutex=f"vt-launch-{uuid.uuid4().hex}")
        first = Held(launch.lane, exe, tmp_path / "release")
        try:
            first.wait_for("holding")
            second = launch.run(exe, ["one"])
            out, err, status = first.finish()
        finally:
            first.kill()
        assert second.err_lines == ["An instance of this program is already running."]
        assert second.stdout == ""
        assert second.status == 0
        assert status == 0, err
        # Once the first has ended, the name is free again.
        again = launch.run(exe, ["one"])
        assert again.status == 0 and "app main" in again.stdout, again


# --- Windows lane: the stand-in runtime ------------------------------------------------

STANDIN = "Vantrel test stand-in runtime, not a Java VM"


class WindowsLaunch:
    def __init__(self, lane, folder: Path):
        self.lane, self.folder = lane, folder
        self.runtime = lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
        if not self.runtime.exists():
            pytest.fail(f"stand-in runtime missing: {self.runtime}")

    def pack(self, name="app", script="args", **settings):
        base = {"MainClass": "vt.App", "JvmPath": self.lane.native_path(self.runtime), "JvmSearchOrder": "0",
                "JvmVersion": "", "JvmOptions": f"-Xmx256m -Dstandin.script={script}",
                "ExtractLocation": "0", "SettingsFile": "%APPNAME%.ini"}
        base.update(settings)
        folder = self.folder / name
        folder.mkdir(parents=True, exist_ok=True)
        return self.lane.pack(folder / name, settings=base)

    def run(self, exe, args=(), env=None, cwd=None):
        return self.lane.run(exe, args, env=env, cwd=cwd, unset=JAVA_ENVIRONMENT)


@pytest.fixture
def wlaunch(windows_lane, tmp_path):
    return WindowsLaunch(windows_lane, tmp_path)


class TestWindowsStandIn:
    def test_options_class_path_properties_and_arguments(self, wlaunch, tmp_path):
        exe = wlaunch.pack("full", ClassPath="lib;missing;%APPDIR%\\lib", StaticOptions='-s "t w"',
                           AppOptions="unused")
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
        # The directory, then its archives in the file system's order.
        assert entries[0] == "lib"
        assert sorted(entries[1:4]) == ["lib\\a.jar", "lib\\b.ZIP", "lib\\sub\\c.jar"]
        assert entries[4:] == ["missing", wlaunch.lane.native_path(exe.parent / "lib")]

        props = report["props"]
        assert props["user.dir"] == wlaunch.lane.native_path(exe.parent)
        assert props["vantrel.exe.path"] == wlaunch.lane.native_path(exe)
        assert props["vantrel.csidl.appdata"].endswith("\\AppData\\Roaming")
        assert props["vantrel.csidl.local.appdata"].endswith("\\AppData\\Local")
        assert props["vantrel.csidl.personal"].startswith("C:\\users\\")
        assert props["vantrel.extract.path"] == "."
        assert props["vantrel.appini.showconsole"] == "true"
        assert not any(name.startswith("vantrel.service.") for name in props)
        # Properties come in their fixed order.
        names = [line.split("=", 1)[0][len("standin property "):] for line in result.out_lines
                 if line.startswith("standin property ")]
        assert names == ["user.dir", "vantrel.exe.path", "vantrel.csidl.appdata", "vantrel.csidl.local.appdata",
                         "vantrel.csidl.personal", "vantrel.extract.path", "vantrel.appini.showconsole"]

        assert report["args"] == ["-s", "t w", "x", "%APPDIR%", "grüße 😀"]
        # Every local reference the launcher made was deleted again.
        assert "standin destroy, local references left: 0" in result.out_lines
        assert result.out_lines[-2:] == ["standin detach", "standin destroy, local references left: 0"]

    def test_app_options_expanded_when_there_are_no_arguments(self, wlaunch):
        exe = wlaunch.pack("appopts", AppOptions="%APPDIR% b")
        result = wlaunch.run(exe)
        assert result.status == 0, result
        assert parse_report(result.stdout)["args"] == [wlaunch.lane.native_path(exe.parent), "b"]

    def test_reports_and_exit_statuses(self, wlaunch):
        cases = [
            ("noclass", {}, 255, "Error locating class: vt/App"),
            ("nomain", {}, 255, f"Error locating method: {MAIN_TEXT}"),
            ("throw", {}, 255, f"Error invoking method: {MAIN_TEXT}"),
            ("args", {"JvmOptions": "-Xbogus -Dstandin.script=args"}, 255, None),
            ("exit=3", {}, 3, None),
        ]
        for number, (script, settings, status, last_error) in enumerate(cases):
            exe = wlaunch.pack(f"end{number}", script=script, **settings)
            result = wlaunch.run(exe)
            assert wlaunch.lane.exit_status(result.status) == status, (script, str(result))
            if last_error is not None:
                assert result.err_lines[-1] == last_error, (script, str(result))
            assert "standin main arg" not in result.stdout
        # The refused option: the runtime's own words, then message 7.
        exe = wlaunch.folder / "end3" / "end3.exe"
        result = wlaunch.run(exe)
        assert "standin: Unrecognized option: -Xbogus" in result.stderr
        assert result.err_lines[-1] == f"Unable to create JVM instance using {wlaunch.lane.native_path(wlaunch.runtime)}"
        assert "standin main call" not in result.stdout

    def test_exception_is_described_before_message_13(self, wlaunch):
        exe = wlaunch.pack("describe", script="args,throw")
        result = wlaunch.run(exe, ["a"])
        assert wlaunch.lane.exit_status(result.status) == 255, result
        assert result.err_lines == ["standin exception: java.lang.IllegalStateException: scripted failure",
                                    "standin exception: (raised by the stand-in script)",
                                    f"Error invoking method: {MAIN_TEXT}"]
        # No shutdown after a failed primary invocation: the process ends.
        assert "standin destroy" not in result.stdout

    def test_optional_property_failure_is_reported_and_main_still_runs(self, wlaunch):
        exe = wlaunch.pack("failprop", script="args,failprop=vantrel.appini.showconsole")
        result = wlaunch.run(exe, ["a"])
        assert result.status == 0, result
        assert "Error invoking method: setProperty" in result.err_lines
        assert parse_report(result.stdout)["args"] == ["a"]

    def test_required_property_failure_ends_the_launch(self, wlaunch):
        exe = wlaunch.pack("failreq", script="args,failprop=vantrel.exe.path")
        result = wlaunch.run(exe, ["a"])
        assert wlaunch.lane.exit_status(result.status) == 255, result
        assert result.err_lines[-1] == "Error invoking method: setProperty"
        assert "standin main call" not in result.stdout

    def test_without_forwarding_the_second_instance_reports_message_1(self, wlaunch, tmp_path):
        exe = wlaunch.pack("single1", script="args,hold", AllowMultipleInstances="0")
        write_settings_file(exe, AppMutex=f"vt-launch-{uuid.uuid4().hex}")
        first = Held(wlaunch.lane, exe, tmp_path / "release")
        try:
            first.wait_for("main holding")
            # The first launcher's own mutex, a real one of the Wine server.
            second = wlaunch.run(exe, ["one"])
            out, err, status = first.finish()
        finally:
            first.kill()
        assert second.err_lines == ["An instance of this program is already running."]
        assert second.stdout == ""
        assert second.status == 0
        assert status == 0, err

    def test_forwarded_second_instance_attaches_and_detaches(self, wlaunch, tmp_path):
        exe = wlaunch.pack("single", script="args,hold", AllowMultipleInstances="0", ForwardSecondInstance="1",
                           SecondInstanceArguments="--second")
        mutex = f"vt-launch-{uuid.uuid4().hex}"
        write_settings_file(exe, AppMutex=mutex)
        # Second instances of the same application whose runtime refuses the
        # attach, or whose main throws.
        refusing = wlaunch.pack("noattach", script="noattach", AllowMultipleInstances="0",
                                ForwardSecondInstance="1")
        write_settings_file(refusing, AppMutex=mutex)
        throwing = wlaunch.pack("throwing", script="throw", AllowMultipleInstances="0", ForwardSecondInstance="1")
        write_settings_file(throwing, AppMutex=mutex)
        first = Held(wlaunch.lane, exe, tmp_path / "release")
        try:
            first.wait_for("main holding")
            second = wlaunch.run(exe, ["one", "two words"])
            not_attached = wlaunch.run(refusing, ["a"])
            thrown = wlaunch.run(throwing, ["a"])
            out, err, status = first.finish()
        finally:
            first.kill()
        assert second.status == 0, second
        lines = second.out_lines
        attach = lines.index("standin attach version=0x10002 name=Vantrel thread group=none")
        assert parse_report(second.stdout)["args"] == ["--second", "one", "two", "words"]
        detach = lines.index("standin detach")
        assert attach < detach
        assert lines[-1] == "standin destroy, local references left: 0"
        assert status == 0, err
        assert "standin main released" in out

        # Message 8; the second instance still ends with 0, without shutdown.
        assert not_attached.status == 0, not_attached
        assert not_attached.err_lines == ["Unable to attach thread to the JVM."]
        assert "standin detach" not in not_attached.stdout
        assert "standin destroy" not in not_attached.stdout
        # A throwing main: described, message 13, the thread detached, no shutdown.
        assert thrown.status == 0, thrown
        assert thrown.err_lines[-1] == f"Error invoking method: {MAIN_TEXT}"
        assert thrown.out_lines[-1] == "standin detach"
