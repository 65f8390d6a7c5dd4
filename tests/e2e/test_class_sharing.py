"""Class-data sharing through the launcher.

The recipe of docs/faster-starts.md through the Linux launcher on each
installed JDK: the first start writes the archive when the VM ends, whether
main returns (DestroyJavaVM) or the application calls System.exit, and a
later start loads the application's classes from it, also when it has
unpacked the application's embedded JAR anew.

The ClassDataCache setting, which does the same by itself: on each JDK the
first start writes the cache quietly and later starts use it; a changed
archive or VM option gives a new cache in place of the old; two first starts
at once, a cache the runtime refuses, a start killed while it used the cache
and a cache folder that cannot be used all leave the application running.
In the Windows lane the stand-in runtime sees the options for its version
with the cache under %LOCALAPPDATA%.
"""

import os
import re
import shutil
import signal

import pytest

from conftest import Result
from test_launch import (JDK_HOMES, jdk, java_apps, launch, parse_report, wlaunch,  # noqa: F401 (fixtures)
                         write_settings_file)

SHARED_MAIN_CLASS = "vt.App source: shared objects file (top)"


def java_major(home) -> int:
    for line in (home / "release").read_text().splitlines():
        if line.startswith("JAVA_VERSION="):
            return int(line.split("=", 1)[1].strip('"').split(".")[0])
    pytest.fail(f"no JAVA_VERSION in {home}/release")


def test_first_start_writes_the_archive_and_later_starts_use_it(launch, tmp_path):
    # A folder with a blank, quoted as the guide shows.
    (tmp_path / "cache dir").mkdir()
    archive = tmp_path / "cache dir" / "app.jsa"
    if java_major(launch.jdk) >= 19:
        first = later = f'"-XX:SharedArchiveFile={archive}" -XX:+AutoCreateSharedArchive'
    else:  # JDK 17: a training start writes it, the packed option uses it
        first, later = f'"-XX:ArchiveClassesAtExit={archive}"', f'"-XX:SharedArchiveFile={archive}"'
    # Both launchers in one folder, the application embedded and unpacked
    # into a subfolder of it that they share.
    folder = tmp_path / "app"
    settings = {**launch.base, "ClassPath": "", "ExtractLocation": "1"}
    training, shipped = (launch.lane.pack(folder / name, settings={**settings, "JvmOptions": options},
                                          archives=[launch.apps["jar"]])
                         for name, options in (("first", first), ("later", later)))
    for mode, status in (("exit", 3), ("report", 0)):
        archive.unlink(missing_ok=True)
        (training.parent / "first.ini").write_text(
            f"[Application Configuration]\nJvmOptionsAppend=-Dapp.mode={mode}\n")
        result = launch.run(training)
        assert result.status == status and archive.stat().st_size > 0, (mode, result)
        # Unpacked again with the time stamp it was packed with, the JAR
        # still matches the archive.
        (unpacked,) = folder.glob("*/app.jar")
        unpacked.unlink()
        (shipped.parent / "later.ini").write_text(
            "[Application Configuration]\nJvmOptionsAppend=-Xlog:class+load=info\n")
        result = launch.run(shipped)
        assert result.status == 0 and SHARED_MAIN_CLASS in result.stdout, (mode, result)


# --- ClassDataCache ------------------------------------------------------------------

def cache_files(home):
    folder = home / "vantrel" / "cache"
    return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else []


class CachedApp:
    """A launcher of the test application with ClassDataCache set, its own
    copy of the JAR, and a cache home with a blank in its name. Each run
    returns the result and the trace's "class data" lines; `shared` is set
    when the VM loaded vt.App from an archive."""

    def __init__(self, launch, tmp_path):
        self.launch, self.home, self.loads = launch, tmp_path / "cache home", tmp_path / "load.log"
        self.exe = launch.pack("cached", ClassDataCache="1", ClassPath="app.jar",
                               JvmOptions=f"-Xmx256m -Xlog:class+load=info:file={self.loads}::filecount=0")
        self.jar = self.exe.parent / "app.jar"
        shutil.copy2(launch.apps["jar"], self.jar)
        self.env = {"XDG_CACHE_HOME": str(self.home), "VANTREL_TRACE": str(tmp_path / "trace.log")}

    def run(self, args=(), env=None, traced=True):
        trace = tmp = self.loads.parent / "trace.log"
        tmp.unlink(missing_ok=True)
        self.loads.unlink(missing_ok=True)
        env = {**self.env, **(env or {})}
        if not traced:
            del env["VANTREL_TRACE"]
        result = self.launch.run(self.exe, args, env=env)
        lines = trace.read_text().splitlines() if trace.exists() else []
        result.cache = [line.split("class data: ", 1)[1] for line in lines if "class data: " in line]
        result.shared = self.loads.exists() and "vt.App source: shared objects file" in self.loads.read_text()
        return result

    def archives(self):
        return [name for name in cache_files(self.home) if name.endswith(".jsa")]


def test_the_cache_is_written_quietly_used_and_replaced(launch, tmp_path):
    app = CachedApp(launch, tmp_path)
    plain = launch.pack("plain", ClassPath="app.jar")
    shutil.copy2(app.jar, plain.parent / "app.jar")
    plain = launch.run(plain, env={"XDG_CACHE_HOME": str(app.home)})
    first = app.run(traced=False)

    def shown(result):  # what the application printed, less the VM options it lists
        return [line for line in result.stdout.replace("plain", "cached").splitlines() if not line.startswith("vmarg=")]

    # Nothing extra on either stream: the runtime's messages went to its log.
    assert first.status == 0 and first.stderr == "" and shown(first) == shown(plain), first
    (archive,) = app.archives()
    assert cache_files(app.home) == [archive] and re.fullmatch(r"cached-[0-9a-f]{16}-[0-9a-f]{16}\.jsa", archive)
    assert all((app.home / sub).stat().st_mode & 0o777 == 0o700 for sub in ("vantrel", "vantrel/cache"))
    later = app.run()
    assert later.status == 0 and later.shared and f"using \"{app.home}/vantrel/cache/{archive}\"" in later.cache, later

    def touch_jar():
        os.utime(app.jar, ns=(app.jar.stat().st_atime_ns, app.jar.stat().st_mtime_ns + 10**9))

    # (what changes, whether it gives a new cache): properties stay out of
    # the digest, other options and the archives are in it.
    for change, settings, renewed in (
            ("a property", {"JvmOptionsAppend": "-Dvt.extra=1"}, False),
            ("a VM option", {"JvmOptionsAppend": "-XX:+UseSerialGC"}, True),
            ("the archive", touch_jar, True),
            ("System.exit", {"JvmOptionsAppend": "-Dapp.mode=exit"}, False)):
        if callable(settings):
            settings()
            (app.exe.parent / "cached.ini").unlink(missing_ok=True)
        else:
            write_settings_file(app.exe, **settings)
        status = 3 if change == "System.exit" else 0
        if change == "System.exit":  # the first start ends with System.exit
            (app.home / "vantrel" / "cache" / archive).unlink()
        result = app.run()
        assert result.status == status and result.stderr == "", (change, result)
        (now,) = app.archives()
        assert cache_files(app.home) == [now] and (now != archive) == renewed, (change, cache_files(app.home))
        assert result.shared != (renewed or change == "System.exit"), (change, result.cache)
        assert app.run().shared, change
        archive = now


def test_the_cache_survives_concurrency_refusal_crashes_and_a_bad_folder(launch, tmp_path):
    app = CachedApp(launch, tmp_path)
    # Two first starts at once: both run, one whole cache stays, and is used.
    procs = [launch.lane.start(app.exe, env={**app.env, "VANTREL_TRACE": "0"}) for _ in range(2)]
    assert [proc.wait(timeout=120) for proc in procs] == [0, 0]
    assert all("app main" in proc.stdout.read() and proc.stderr.read() == "" for proc in procs)
    (archive,) = cache_files(app.home)
    assert archive.endswith(".jsa") and app.run().shared
    cached = app.home / "vantrel" / "cache" / archive

    # A cache the runtime refuses: the application runs without it, the
    # trace says so, and the next start writes a new one.
    cached.chmod(0o600)
    cached.write_bytes(os.urandom(65536))
    refused = app.run()
    assert refused.status == 0 and refused.stderr == "" and not refused.shared, refused
    assert any(line.startswith("the runtime refused") for line in refused.cache), refused.cache
    assert cache_files(app.home) == [] and not app.run().shared and app.run().shared

    # A start killed while it used the cache (as a runtime that a damaged
    # archive crashes ends): the next start does not trust that cache.
    write_settings_file(app.exe, JvmOptionsAppend="-Dapp.mode=hold")  # a property: the same cache
    held = launch.lane.start(app.exe, ["--hold", tmp_path / "release"], env={**app.env, "VANTREL_TRACE": "0"})
    for line in held.stdout:
        if line.startswith("holding"):
            break
    held.send_signal(signal.SIGKILL)
    held.wait(timeout=60)
    (app.exe.parent / "cached.ini").unlink()
    after = app.run()
    assert after.status == 0 and not after.shared and any("ended abnormally" in line for line in after.cache), after
    assert cache_files(app.home) == [archive] and app.run().shared

    # A cache folder that cannot be had (its parent a file, or a link in
    # its place) only turns the cache off.
    for name, prepare in (("a file", lambda home: home.write_text("x")),
                          ("a link", lambda home: (home / "vantrel").symlink_to(tmp_path))):
        home = tmp_path / name
        home.mkdir() if name == "a link" else None
        prepare(home)
        result = app.run(env={"XDG_CACHE_HOME": str(home)})
        assert result.status == 0 and "app main" in result.stdout and result.stderr == "", (name, result)
        assert any(line.startswith("no usable cache folder") for line in result.cache), (name, result.cache)


@pytest.mark.parametrize("version, cached", [("11.0.2", False), ("25.0.1", True)])
def test_windows_stand_in_sees_the_cache_options_for_its_version(wlaunch, tmp_path, version, cached):
    runtime = tmp_path / "runtime"
    shutil.copytree(wlaunch.runtime.parents[2], runtime)
    (runtime / "release").write_text(f'IMPLEMENTOR="test"\nJAVA_VERSION="{version}"\n')
    exe = wlaunch.pack("cached", ClassDataCache="1", ClassPath="app.jar",
                       JvmPath=wlaunch.lane.native_path(runtime / "bin" / "server" / "jvm.dll"))
    runs = [wlaunch.run(exe) for _ in range(2)]
    assert all(run.status == 0 and "standin main argc=0" in run.out_lines for run in runs), runs
    first, later = ([o for o in parse_report(run.stdout)["options"] if "XX:" in o or "Xlog" in o] for run in runs)
    if not cached:
        assert first == later == [], first
        return
    folder = r"[A-Z]:\\users\\[^\\]+\\AppData\\Local\\Vantrel\\cache\\"
    stem = r"cached-[0-9a-f]{16}-[0-9a-f]{16}"
    assert re.fullmatch(rf"-XX:ArchiveClassesAtExit={folder}{stem}\.\d+\.tmp", first[0], re.I), first
    archive = first[0].split("=", 1)[1].rsplit(".", 2)[0] + ".jsa"
    assert later[0] == f"-XX:SharedArchiveFile={archive}", later
    assert first[1] == later[1] == "-Xlog:cds*=off" and re.fullmatch(
        rf'-Xlog:cds\*=warning,cds=info,cds\+dynamic=info:file="{folder}{stem}\.\d+\.log"::filecount=0', first[2],
        re.I), first
    # The stand-in's "archive" was moved into place; it goes with the test.
    drive = wlaunch.lane.wine.prefix / "drive_c"
    host = drive / archive[3:].replace("\\", "/")
    assert host.read_text() == "standin archive"
    host.unlink()
