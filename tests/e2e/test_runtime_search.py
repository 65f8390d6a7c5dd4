"""Finding and loading the Java runtime, seen from outside.

The launcher's own reports show which library it chose: a chosen file that is
no library gives message 5 with its path, a library without the Invocation
API entry points message 6 with its path. On Linux a stand-in libjvm.so that
prints its own path when it is loaded shows which runtime was loaded (it then
refuses to create a VM), and the real JDKs are loaded through JAVA_HOME. On
Windows the runtime keys are written into the Wine prefix's registry for one
test at a time and removed afterwards; on Linux the installed-runtime table is
pointed at a runtime tree of the test's own with VANTREL_JVM_ROOT."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import Result

NOT_FOUND = "Unable to locate suitable Java Runtime (min {}) on this machine."
LOAD = "Unable to load JVM: {}"
NO_JNI = "Unable to locate JNI interfaces in {}"
STANDIN_LOADED = "stand-in libjvm loaded from {}"

BASE = {"MainClass": "com.example.Main", "JvmVersion": "1.8"}

STANDIN_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

__attribute__((constructor)) static void announce(void) {
    Dl_info info;
    if (dladdr((void*)announce, &info) && info.dli_fname) {
        printf("stand-in libjvm loaded from %s\n", info.dli_fname);
        fflush(stdout);
    }
}
#ifndef NO_CREATE
int JNI_CreateJavaVM(void** vm, void** env, void* args) { (void)vm; (void)env; (void)args; return -1; }
#endif
#ifndef NO_DEFAULTS
int JNI_GetDefaultJavaVMInitArgs(void* args) { (void)args; return -1; }
#endif
"""


@pytest.fixture(scope="module")
def linux_libraries(tmp_path_factory):
    """Stand-in runtime libraries for the Linux lane: one with both entry
    points, one with none, one with JNI_CreateJavaVM only."""
    out = tmp_path_factory.mktemp("standin")
    source = out / "standin.c"
    source.write_text(STANDIN_SOURCE)
    variants = {"full": [], "nojni": ["-DNO_CREATE", "-DNO_DEFAULTS"], "createonly": ["-DNO_DEFAULTS"]}
    built = {}
    for name, flags in variants.items():
        target = out / f"{name}.so"
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(target), str(source), *flags], check=True)
        built[name] = target
    return built


@pytest.fixture
def libraries(lane, request):
    """The lane's library without entry points ("nojni") and the one with
    JNI_CreateJavaVM only ("createonly")."""
    if lane.windows:
        standin = lane.build / "tests" / "standin"
        libs = {"nojni": standin / "nojni.dll", "createonly": standin / "createonly.dll"}
        for path in libs.values():
            if not path.exists():
                pytest.fail(f"test library missing from the Windows build: {path}")
        return libs
    return request.getfixturevalue("linux_libraries")


def pack(lane, out: Path, **settings):
    return lane.pack(out, settings={**BASE, **settings})


def library_name(lane):
    return "jvm.dll" if lane.windows else "libjvm.so"


def server_candidate(lane):
    """The JAVA_HOME candidate both lanes know: bin\\server (Windows), lib/server (Linux)."""
    return ("bin", "server", "jvm.dll") if lane.windows else ("lib", "server", "libjvm.so")


def place(path: Path, source=None):
    """A file at path: a copy of source, or text that is no library."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if source is None:
        path.write_text("not a library\n")
    else:
        shutil.copyfile(source, path)
    return path


def wait_for(path: Path, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > 0:
            return True
        time.sleep(0.05)
    return False


def run_detaching(lane, exe, tmp_path, env=None):
    """lane.run for a launcher that starts other programs: its output goes to
    files, since a program it starts (or one Wine starts for it, such as the
    desktop process on the first ShellExecute) may hold inherited pipes open
    long after the launcher has ended."""
    out_path, err_path = tmp_path / "launcher.out", tmp_path / "launcher.err"
    with open(out_path, "w") as out, open(err_path, "w") as err:
        proc = subprocess.run(lane.command(exe), stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                              env=lane.environment(env, ("JAVA_HOME",)), timeout=60)
    return Result(out_path.read_text(errors="replace"), err_path.read_text(errors="replace"), proc.returncode)


def messages_4_5_6(result):
    text = result.stdout + result.stderr
    return [m for m in ("Unable to locate suitable Java Runtime", "Unable to load JVM",
                        "Unable to locate JNI interfaces") if m in text]


# --- Both lanes ---------------------------------------------------------------

class TestNotFound:
    @pytest.mark.parametrize("order", ["", "x9-"])
    def test_no_method_reports_message_4_then_opens_the_document_then_runs_the_command(
            self, lane, tmp_path, order):
        doc_marker = tmp_path / "doc-marker.txt"
        cmd_marker = tmp_path / "cmd-marker.txt"
        env = {}
        if lane.windows:
            document = tmp_path / "missing-java.bat"
            document.write_text(f"@echo off\r\necho opened> {lane.native_path(doc_marker)}\r\n")
            command = f"cmd /c echo ran> {lane.native_path(cmd_marker)}"
        else:
            # The document goes to xdg-open; a stand-in on PATH records it.
            bin_dir = tmp_path / "bin"
            bin_dir.mkdir()
            opener = bin_dir / "xdg-open"
            opener.write_text(f'#!/bin/sh\necho "$1" > {doc_marker}\n')
            opener.chmod(0o755)
            env["PATH"] = f"{bin_dir}:{os.environ.get('PATH', '')}"
            document = tmp_path / "missing-java.html"
            command = f"grep SigIgn /proc/self/status > {cmd_marker}"
        exe = pack(lane, tmp_path / "app" / "tool", JvmSearchOrder=order, JvmVersion=">=1.8;<11",
                   JvmNotFoundDocument=lane.native_path(document), JvmNotFoundCommand=command)
        result = run_detaching(lane, exe, tmp_path, env)
        assert result.stderr.splitlines()[:1] == [NOT_FOUND.format(">=1.8;<11")], result
        assert lane.exit_status(result.status) == 255
        assert wait_for(doc_marker), "document not opened"
        assert wait_for(cmd_marker), "command not run"
        if not lane.windows:
            assert doc_marker.read_text().strip() == str(document)
            # The launcher ignores SIGPIPE; a program it starts does not.
            assert int(cmd_marker.read_text().split()[1], 16) & (1 << 12) == 0

    def test_message_can_be_switched_off_while_the_command_still_runs(self, lane, tmp_path):
        marker = tmp_path / "cmd-marker.txt"
        command = (f"cmd /c echo ran> {lane.native_path(marker)}" if lane.windows
                   else f"echo ran > {marker}")
        exe = pack(lane, tmp_path / "app" / "tool", JvmSearchOrder="0", JvmPath=lane.native_path(tmp_path / "missing"),
                   ShowJvmNotFoundMessage="0", JvmNotFoundCommand=command)
        result = run_detaching(lane, exe, tmp_path)
        assert "Unable to locate suitable Java Runtime" not in result.stderr, result
        assert lane.exit_status(result.status) == 255
        assert wait_for(marker)


def test_java_home(lane, tmp_path, libraries):
    home = tmp_path / "old runtime"
    found = place(home.joinpath(*server_candidate(lane)))
    listed = place(tmp_path / "listed" / library_name(lane), libraries["nojni"])
    exe = pack(lane, tmp_path / "app" / "tool", JvmSearchOrder="50", JvmVersion=">=99", JvmPath=lane.native_path(listed))
    native_home = lane.native_path(home)
    # The candidates below JAVA_HOME, quoted or not, without version check.
    for value in (native_home, f'"{native_home}"', f'"{native_home}'):
        result = lane.run(exe, env={"JAVA_HOME": value}, unset=())
        assert result.stderr.strip() == LOAD.format(lane.native_path(found)), (value, result)
    # A trailing separator stays in the path.
    result = lane.run(exe, env={"JAVA_HOME": native_home + lane.sep}, unset=())
    assert result.stderr.strip() == LOAD.format(native_home + lane.sep * 2 + lane.sep.join(server_candidate(lane)))
    # An unset or unusable JAVA_HOME goes on to the next method.
    for env, unset in (({}, ("JAVA_HOME",)), ({"JAVA_HOME": lane.native_path(tmp_path / "empty")}, ())):
        result = lane.run(exe, env=env, unset=unset)
        assert result.stderr.strip() == NO_JNI.format(lane.native_path(listed)), result


def test_jvm_path_entries(lane, tmp_path, libraries):
    lib, sep, native = library_name(lane), lane.sep, lane.native_path
    relative = sep.join(["rt", "bin", "server", lib])
    place(tmp_path / "case0" / "rt" / "bin" / "server" / lib, libraries["nojni"])
    work = tmp_path / "work"
    place(work / "rt" / "bin" / "server" / lib, libraries["createonly"])
    bogus = place(tmp_path / "bogus" / lib)
    too_long = place(tmp_path / ("d" * 120) / ("e" * 120) / lib, libraries["nojni"])
    ok = place(tmp_path / "ok" / lib, libraries["nojni"])
    cases = [
        # Relative entries resolve against the executable's folder: the
        # library is found and loaded from there (it has no entry points).
        ({"JvmPath": f"missing{sep}{lib};;{relative}"}, NO_JNI.format(relative)),
        # ... or against an early working directory; a library with
        # JNI_CreateJavaVM but no JNI_GetDefaultJavaVMInitArgs is refused too.
        ({"JvmPath": relative, "EarlyWorkingDirectory": "1", "WorkingDirectory": native(work)}, NO_JNI.format(relative)),
        ({"JvmPath": native(bogus)}, LOAD.format(native(bogus))),  # a file that is no library: message 5
        ({"JvmPath": f"{native(too_long)};{native(ok)}"}, NO_JNI.format(native(ok))),  # beyond the limit: skipped
        # A path that starts with '/' is rooted on Windows too (on the drive
        # of the current directory, Z: under Wine).
        ({"JvmPath": ok.as_posix()}, NO_JNI.format(ok.as_posix())),
    ]
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    for number, (settings, expected) in enumerate(cases):
        exe = pack(lane, tmp_path / f"case{number}" / "tool", JvmSearchOrder="0", **settings)
        result = lane.run(exe, cwd=elsewhere)
        assert result.stderr.strip() == expected, (settings, result)
        assert lane.exit_status(result.status) == 255


def test_every_candidate_meets_jvm_version(lane, tmp_path, libraries):
    """JvmPath and JAVA_HOME candidates are checked against the JAVA_VERSION of
    their runtime's release file, found above the library (a JDK 8's jre
    folder included); a runtime without one is taken as it is."""
    lib, native = server_candidate(lane), lane.native_path
    homes = {}
    for name, version, below, source in (("jdk17", "17.0.2", lib, "nojni"), ("jdk21", "21.0.1", lib, "createonly"),
                                         ("jdk8", "1.8.0_281", ("jre", *lib), "nojni"), ("bare", None, lib, "nojni")):
        homes[name] = place(tmp_path.joinpath(name, *below), libraries[source])
        if version is not None:
            (tmp_path / name / "release").write_text(f'IMPLEMENTOR="test"\nJAVA_VERSION="{version}"\n')
    home17 = native(tmp_path / "jdk17")
    cases = [
        # JAVA_HOME too old: passed over, the next method finds one that fits.
        ("50", "21", homes["jdk21"], NO_JNI.format(native(homes["jdk21"]))),
        ("50", "17", homes["jdk21"], NO_JNI.format(native(homes["jdk17"]))),
        ("0", "11", f"{native(homes['jdk8'])};{native(homes['jdk17'])}", NO_JNI.format(native(homes["jdk17"]))),
        ("0", "<9.0", f"{native(homes['jdk17'])};{native(homes['jdk8'])}", NO_JNI.format(native(homes["jdk8"]))),
        ("50", ">=22", homes["jdk21"], NOT_FOUND.format(">=22")),
        ("0", ">=99", homes["bare"], NO_JNI.format(native(homes["bare"]))),  # no release file: taken
    ]
    results = []
    for number, (order, version, jvm_path, expected) in enumerate(cases):
        exe = pack(lane, tmp_path / f"app{number}" / "tool", JvmSearchOrder=order, JvmVersion=version,
                   JvmPath=jvm_path if isinstance(jvm_path, str) else native(jvm_path))
        results.append(lane.run(exe, env={"JAVA_HOME": home17, "VANTREL_TRACE": "1"}, unset=()))
        reports = [line for line in results[-1].err_lines if not line.startswith("vantrel[")]
        assert reports == [expected], (order, version, results[-1])
    # The trace names the folder and version of a runtime it passes over.
    assert (f'runtime: JAVA_HOME "{native(homes["jdk17"])}": runtime "{home17}" is version 17.0.2, fails JvmVersion '
            f'">=22"') in results[4].stderr, results[4]


# --- Linux lane -----------------------------------------------------------------

REAL_JDKS = [Path("/usr/lib/jvm/java-17-openjdk-amd64"), Path("/usr/lib/jvm/temurin-25-jdk-amd64")]


class TestLinuxInstalledRuntimes:
    def test_installed_runtimes_and_the_order_of_methods(self, linux_lane, tmp_path, linux_libraries):
        root, full = tmp_path / "jvm", linux_libraries["full"]
        server = Path("lib", "server", "libjvm.so")
        homes = {}
        for key, version, library in (("a", "11.0.2", server), ("b", "1.8.0_281", server), ("c", "1.7.0_80", server),
                                      ("d", "17", Path("lib", "zero", "libjvm.so")), ("e", "11.0.2", server)):
            homes[key] = root / f"jdk-{key}"
            place(homes[key] / library, full)
            (homes[key] / "release").write_text(f'IMPLEMENTOR="test"\nJAVA_VERSION="{version}"\n')
        # A runtime without a library whose tree loops: the search ends at once.
        looping = root / "jdk-f"
        looping.mkdir()
        (looping / "release").write_text('JAVA_VERSION="21"\n')
        for link in ("a", "b"):
            (looping / link).symlink_to(".")
        # A JDK (bin/javac): listed under Software\\JavaSoft\\JDK, which method 1 searches after the JRE key.
        homes["g"] = root / "jdk-g"
        place(homes["g"] / server, full)
        place(homes["g"] / "bin" / "javac")
        (homes["g"] / "release").write_text('JAVA_VERSION="22.0.1"\n')
        # Aliases as distributions make them: links, never entries of their own.
        (root / "alias-b").symlink_to(homes["b"])
        # Two runtimes declare 11.0.2: the default one stands for it.
        (root / "default-java").symlink_to(homes["e"])
        from_home = place(tmp_path / "home" / server, full)
        listed = place(tmp_path / "listed" / "libjvm.so", full)
        cases = [
            ("1", "1.8", homes["e"] / server),        # default-java, the current version, first
            ("1", ">=1.8;<11", homes["b"] / server),  # current rejected; enumeration in name order
            ("1", "<1.8", homes["c"] / server),
            ("1", "=17", homes["d"] / "lib/zero/libjvm.so"),  # RuntimeLib missing: the tree search finds it
            ("1", "=1.8", None),                      # no acceptable entry
            ("1", "=21", None),                       # nothing in a tree of links
            ("1", ">=22", homes["g"] / server),       # the JDK key
            ("234", "1.8", None),                     # other registry digits find nothing here
            ("501234", "1.8", from_home),
            ("015", "1.8", listed),
            ("105", "1.8", homes["e"] / server),
        ]
        env = {"VANTREL_JVM_ROOT": str(root), "JAVA_HOME": str(tmp_path / "home")}
        for number, (order, version, expected) in enumerate(cases):
            exe = pack(linux_lane, tmp_path / f"app{number}" / "tool", JvmSearchOrder=order, JvmVersion=version,
                       JvmPath=str(listed))
            result = linux_lane.run(exe, env=env, unset=())
            if expected is None:
                assert (result.stdout, result.stderr.strip()) == ("", NOT_FOUND.format(version)), (order, result)
            else:
                assert result.stdout.splitlines()[:1] == [STANDIN_LOADED.format(expected)], (order, version, result)
                assert messages_4_5_6(result) == [], result

    @pytest.mark.parametrize("jdk", REAL_JDKS, ids=lambda p: p.name)
    def test_real_jdk_through_java_home(self, linux_lane, tmp_path, jdk):
        if not (jdk / "lib" / "server" / "libjvm.so").exists():
            pytest.skip(f"{jdk} not installed")
        env = {"JAVA_HOME": f'"{jdk}"', "JAVA_TOOL_OPTIONS": "-Xlog:cds=info"}
        # Its release file says which version it is: too old for >=99.
        old = linux_lane.run(pack(linux_lane, tmp_path / "old" / "tool", JvmSearchOrder="5", JvmVersion=">=99"),
                             env=env, unset=())
        assert old.stderr.strip() == NOT_FOUND.format(">=99"), old
        exe = pack(linux_lane, tmp_path / "app" / "tool", JvmSearchOrder="5", JvmVersion="11")
        # The VM reads JAVA_TOOL_OPTIONS itself; its class-data-sharing log
        # names the runtime that was loaded.
        result = linux_lane.run(exe, env=env, unset=())
        assert messages_4_5_6(result) == [], result
        assert "Picked up JAVA_TOOL_OPTIONS" in result.stdout + result.stderr, result
        if (jdk / "lib" / "server" / "classes.jsa").exists():
            assert f"{jdk}/lib/server/classes.jsa" in result.stdout, result


# --- Windows lane: the registry -----------------------------------------------

def reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


@pytest.fixture
def registry(windows_lane, tmp_path):
    """Writes runtime keys into the prefix's registry (one import) and removes
    them after the test: the keys three levels down (Software\\Microsoft\\JDK,
    never Software\\Microsoft itself)."""
    roots = set()

    def write(entries):
        lines = ["REGEDIT4", ""]
        for key, values in entries.items():
            roots.add("\\".join(key.split("\\")[:3]))
            lines.append(f"[HKEY_LOCAL_MACHINE\\{key}]")
            lines += [f"{reg_string(name)}={reg_string(value)}" for name, value in values.items()]
            lines.append("")
        reg_file = tmp_path / "runtimes.reg"
        reg_file.write_text("\r\n".join(lines))
        done = windows_lane.wine.reg("import", windows_lane.native_path(reg_file))
        assert done.returncode == 0, done.stderr

    yield write
    for root in roots:
        windows_lane.wine.reg("delete", f"HKLM\\{root}", "/f")


class TestWindowsRegistry:
    def test_current_version_first_then_subkeys_in_enumeration_order(self, windows_lane, tmp_path, registry):
        lane = windows_lane
        libs = {}
        entries = {"Software\\JavaSoft\\JRE": {"CurrentVersion": "11.0.2"}}
        for version in ("1.7.0_80", "1.8.0", "1.8.0_281", "11.0.2", "9"):
            libs[version] = place(tmp_path / "runtimes" / version / "jvm.dll")
            entries[f"Software\\JavaSoft\\JRE\\{version}"] = {"RuntimeLib": lane.native_path(libs[version])}
        registry(entries)
        cases = [
            ("1.8", "11.0.2"),        # CurrentVersion is tried first
            ("", "11.0.2"),
            (">=1.8;<11", "1.8.0"),   # then subkeys as the registry lists them, not the highest
            (">1.8.0;<11", "1.8.0_281"),
            ("=1.8", "1.8.0"),
            ("<1.8", "1.7.0_80"),
        ]
        for index, (version, chosen) in enumerate(cases):
            exe = pack(lane, tmp_path / "apps" / f"case{index}", JvmSearchOrder="1", JvmVersion=version)
            result = lane.run(exe)
            assert result.stderr.strip() == LOAD.format(lane.native_path(libs[chosen])), (version, result)
        exe = pack(lane, tmp_path / "apps" / "none", JvmSearchOrder="1", JvmVersion="=1.9")
        assert lane.run(exe).stderr.strip() == NOT_FOUND.format("=1.9")

    def test_missing_runtime_lib_found_by_hint_or_tree_search(self, windows_lane, tmp_path, registry):
        lane = windows_lane
        tree_home = tmp_path / "tree home"
        tree_lib = place(tree_home / "bin" / "server" / "jvm.dll")
        for link in ("a", "b"):  # met first; reparse points are not descended into
            (tree_home / link).symlink_to(".")
        hint_home = tmp_path / "hint home"
        hint_lib = place(hint_home / "jre" / "bin" / "server" / "jvm.dll")
        place(hint_home / "a" / "jvm.dll")  # what the tree search would find first
        missing = lane.native_path(tmp_path / "gone" / "jvm.dll")
        registry({
            "Software\\JavaSoft\\JRE\\11": {"JavaHome": lane.native_path(tree_home), "RuntimeLib": missing},
            "Software\\JRockit\\Java Runtime Environment\\1.8": {
                "JavaHome": lane.native_path(hint_home), "RuntimeLib": missing},
        })
        for order, expected in (("1", tree_lib), ("3", hint_lib)):
            exe = pack(lane, tmp_path / "apps" / f"order{order}", JvmSearchOrder=order)
            result = lane.run(exe)
            assert result.stderr.strip() == LOAD.format(lane.native_path(expected)), (order, result)

    def test_keys_current_installers_write(self, windows_lane, tmp_path, registry):
        """One installer's layout at a time: the folder it names is searched
        as a JavaHome, with the version rules; a release file has the last
        word on the version."""
        lane, native = windows_lane, windows_lane.native_path
        cases = [
            # JDK 11+ installers (Oracle, Red Hat, Corretto, Liberica): CurrentVersion, JavaHome alone.
            ("oracle", {"Software\\JavaSoft\\JDK": {"CurrentVersion": "17"},
                        "Software\\JavaSoft\\JDK\\17": {"JavaHome": "{home}"}}, "11", True),
            ("corretto", {"Software\\JavaSoft\\JDK\\17.0.9.8.1": {"JavaHome": "{home}",
                                                                 "RuntimeLib": "{home}\\bin\\server\\jvm.dll"}},
             "11", True),
            # Eclipse Adoptium and Microsoft: <version>\<vm>\MSI, Path with a trailing separator.
            ("temurin", {"Software\\Eclipse Adoptium\\JDK\\17.0.9.9\\hotspot\\MSI": {"Path": "{home}\\"}}, "11", True),
            ("temurin-jre", {"Software\\Eclipse Adoptium\\JRE\\11.0.21.9\\hotspot\\MSI": {"Path": "{home}"}}, "11",
             True),
            ("microsoft", {"Software\\Microsoft\\JDK\\21.0.1.12\\hotspot\\MSI": {"Path": "{home}"}}, ">=21", True),
            ("zulu", {"Software\\Azul Systems\\Zulu\\zulu-17": {"InstallationPath": "{home}"}}, "11", True),
            ("zulu-old", {"Software\\Azul Systems\\Zulu\\zulu-8": {"InstallationPath": "{home}"}}, "11", False),
            # The key says 17, the runtime's release file 1.8.0_392: too old.
            ("mislabelled", {"Software\\Eclipse Adoptium\\JDK\\17.0.9.9\\hotspot\\MSI": {"Path": "{home}"}}, "11",
             False),
        ]
        for name, keys, version, found in cases:
            home = tmp_path / name
            library = place(home / "bin" / "server" / "jvm.dll")
            if name == "mislabelled":
                (home / "release").write_text('JAVA_VERSION="1.8.0_392"\n')
            registry({key: {value: text.replace("{home}", native(home)) for value, text in values.items()}
                      for key, values in keys.items()})
            exe = pack(lane, tmp_path / "apps" / name, JvmSearchOrder="1", JvmVersion=version)
            result = lane.run(exe)
            expected = LOAD.format(native(library)) if found else NOT_FOUND.format(version)
            assert result.stderr.strip() == expected, (name, result)
            for key in keys:  # one layout at a time
                lane.wine.reg("delete", "HKLM\\" + "\\".join(key.split("\\")[:3]), "/f")

    def test_registry_runtime_that_loads_but_has_no_entry_points(self, windows_lane, tmp_path, registry):
        lane = windows_lane
        lib = place(tmp_path / "rt" / "bin" / "server" / "jvm.dll",
                    lane.build / "tests" / "standin" / "nojni.dll")
        registry({"Software\\JavaSoft\\JRE\\17": {"RuntimeLib": lane.native_path(lib)}})
        exe = pack(lane, tmp_path / "app" / "tool", JvmSearchOrder="501234")
        result = lane.run(exe)
        assert result.stderr.strip() == NO_JNI.format(lane.native_path(lib)), result
