"""Embedded archives as users see them: unpacked where ExtractLocation says,
kept when unchanged or in use, put on the class path, refused when the
payload or the folder cannot be trusted, and removed by the cleanup child
once the launcher has ended.

The probe shows unpacking and the class path without a VM. Launches run the
test application from its own archive: in the Linux lane with a real JDK, in
the Windows lane with the stand-in runtime, which (like a real VM) keeps the
archives of its class path open until it ends."""

import os
import pwd
import shutil
import struct
import subprocess
import tempfile
import time
import uuid
import zipfile
from pathlib import Path

import pytest

from conftest import parse_record
from test_launch import JAVA_ENVIRONMENT, JDK_HOMES, first_instance, java_apps, parse_report  # noqa: F401
from test_pack import PACKER, scramble

CLEANUP = "-vtremovetemporaryjarfiles"
T0 = 1_600_000_000 * 10**9 + 123_456_700   # an mtime that a FILETIME holds exactly
T0_TEXT = "2020-09-13 12:26:40.1234567 UTC"


def make_archive(path: Path, data: bytes, ns: int = T0) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    os.utime(path, ns=(ns, ns))
    return path


def filetime(ns: int) -> int:
    return (ns // 10**9 + 11644473600) * 10**7 + (ns % 10**9) // 100


def host_path(lane, native: str) -> Path:
    """Where a path the launcher printed is on the host (Wine: Z: and C:)."""
    if not lane.windows:
        return Path(native)
    drive, rest = native[:2].upper(), native[2:].replace("\\", "/")
    return Path(rest) if drive == "Z:" else lane.wine.prefix / "drive_c" / rest.lstrip("/")


def identity(path: Path):
    info = path.stat()
    return info.st_ino, info.st_ctime_ns, info.st_mtime_ns, info.st_size


def wait_until(condition, what, timeout=40):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.05)


def cleanup_children(exe: Path):
    """Process ids of cleanup children of this launcher (both lanes show the
    switch and the executable's name in their command line)."""
    found = []
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            text = (proc / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if CLEANUP in text and exe.name in text:
            found.append(int(proc.name))
    return found


def wait_for_cleanup_children(exe: Path):
    wait_until(lambda: not cleanup_children(exe), f"the cleanup children of {exe.name} have ended")


def tree(folder: Path):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


# --- unpacking, seen through the probe -----------------------------------------------

def test_class_path_extension_and_the_up_to_date_test(lane, tmp_path):
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4" + os.urandom(3000))
    empty = make_archive(tmp_path / "src" / "zero.zip", b"")
    here = f".{lane.sep}"
    cases = [("x.jar", f"x.jar;{here}a.jar;{here}zero.zip"), ("x.jar;", f"x.jar;{here}a.jar;{here}zero.zip"),
             ("", f"{here}a.jar;{here}zero.zip")]
    for number, (class_path, expected) in enumerate(cases):
        exe = lane.pack_probe(tmp_path / f"cp{number}" / "tool", archives=[jar, empty],
                              settings={"MainClass": "p.M", "ExtractLocation": "0", "ClassPath": class_path})
        record = lane.probe_config(exe)
        assert (record["ClassPath"], record["ExtractedFileCount"]) == (expected, "2"), class_path
    folder = exe.parent
    unpacked = {name: folder / name for name in ("a.jar", "zero.zip")}
    for name, path in unpacked.items():
        assert (path.read_bytes(), path.stat().st_mtime_ns) == ((tmp_path / "src" / name).read_bytes(), T0), name
    assert tree(folder) == sorted(["a.jar", "zero.zip", exe.name])  # no temporary file left

    # A second start writes nothing.
    before = {name: identity(path) for name, path in unpacked.items()}
    lane.probe_config(exe)
    assert {name: identity(path) for name, path in unpacked.items()} == before
    # One tick (100 ns) later with the same bytes: kept as it is. Other bytes
    # of the same size, or one byte more: written again, the others untouched.
    os.utime(unpacked["a.jar"], ns=(T0 + 100, T0 + 100))
    touched = identity(unpacked["a.jar"])
    lane.probe_config(exe)
    assert identity(unpacked["a.jar"]) == touched
    make_archive(unpacked["a.jar"], b"PK\3\4" + os.urandom(3000), ns=T0 + 100)
    lane.probe_config(exe)
    assert (unpacked["a.jar"].read_bytes(), unpacked["a.jar"].stat().st_mtime_ns) == (jar.read_bytes(), T0)
    assert identity(unpacked["zero.zip"]) == before["zero.zip"]
    make_archive(unpacked["zero.zip"], b"x")
    lane.probe_config(exe)
    assert (unpacked["zero.zip"].read_bytes(), unpacked["zero.zip"].stat().st_mtime_ns) == (b"", T0)
    assert tree(folder) == sorted(["a.jar", "zero.zip", exe.name])


def test_times_the_file_system_cannot_keep_do_not_rewrite(lane, tmp_path):
    """FILETIME 0 (Windows sets no time for it; ext4 keeps nothing before 1901)
    and a time past 2446 (ext4's last): compared by their bytes, the archives
    are kept from the second start on."""
    times = {"zero.jar": 0, "late.jar": filetime(32503680000 * 10**9)}  # the year 3000
    jars = [make_archive(tmp_path / "src" / name, b"PK\3\4" + name.encode() * 50) for name in times]
    exe = lane.pack_probe(tmp_path / "app" / "tool", archives=jars, settings={"MainClass": "p.M", "ExtractLocation": "0"})
    image = exe.read_bytes()
    for jar in jars:
        stored = jar.name.encode() + b"\0" + struct.pack("<Q", filetime(T0))
        assert image.count(stored) == 1
        image = image.replace(stored, jar.name.encode() + b"\0" + struct.pack("<Q", times[jar.name]))
    exe.write_bytes(image)
    lane.probe_config(exe)
    unpacked = [exe.parent / jar.name for jar in jars]
    before = [identity(path) for path in unpacked]
    lane.probe_config(exe)
    assert [identity(path) for path in unpacked] == before
    assert [path.read_bytes() for path in unpacked] == [jar.read_bytes() for jar in jars]


def test_extract_locations(lane, tmp_path):
    main = f"p.M{uuid.uuid4().hex[:8]}"
    encoded = scramble(main)
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4 located")
    cache = tmp_path / "cache"  # on disk, made when missing; never the RAM of XDG_RUNTIME_DIR
    try:
        for location in "012":
            exe = lane.pack_probe(tmp_path / f"loc{location}" / "tool", archives=[jar],
                                  settings={"MainClass": main, "ExtractLocation": location})
            record = lane.probe_config(exe, env={"XDG_CACHE_HOME": str(cache)})
            directory = record["ExtractionDirectory"]
            if location == "0":
                assert directory == "."
                folder = exe.parent
            elif location == "1":
                assert directory == f".{lane.sep}{encoded}"
                folder = exe.parent / encoded
            else:  # the user's own folder: Wine's temporary folder in its prefix
                folder = host_path(lane, directory)
                assert folder == cache / "vantrel" / encoded or \
                    (lane.windows and directory.endswith(f"\\Temp\\{encoded}"))
            assert record["ClassPath"] == f"{directory}{lane.sep}a.jar"
            assert (folder / "a.jar").read_bytes() == jar.read_bytes(), location
            if location == "2" and not lane.windows:
                assert [(p.stat().st_mode & 0o777) for p in (folder, folder.parent)] == [0o700, 0o700]
            elif location == "1" and not lane.windows:
                assert folder.stat().st_mode & 0o777 == 0o700
    finally:
        if lane.windows:
            shutil.rmtree(folder, ignore_errors=True)


# Names that Windows takes for a device or for another file, or that would
# change the class path or the VM's options.
WINDOWS_NAMES = ("NUL.jar", "aux.tar.gz", "COM1.jar", "LPT\u00b9.jar", "CONIN$", "NUL .jar", "lib.jar.", "lib.jar ",
                 "...", ". ", "v;t.jar", "v%t.jar", 'v"t.jar')


def _payload_variants(good: bytes, name: bytes):
    """Payloads of the same length as `good` (one entry named `name`):
    damaged ones and ones with names that would leave the folder."""
    head = 4 + len(name) + 1
    time_and_size = good[head:head + 12]

    def one(entry_name: bytes, size=0):
        return struct.pack("<I", 1) + entry_name + b"\0" + time_and_size[:8] + struct.pack("<I", size)

    yield "count too large", None, struct.pack("<I", 2) + good[4:]
    yield "name without end", None, struct.pack("<I", 1) + b"a" * (len(good) - 4)
    yield "size past the end", None, good[:head + 8] + struct.pack("<I", len(good)) + good[head + 12:]
    for bad in (b"../" + name[3:], b"C:" + name[2:], name[:2] + b"\\" + name[3:], name[:2] + b"/" + name[3:]):
        yield bad.decode(), bad.decode(), good[:4] + bad + good[4 + len(name):]
    for bad in (b"..", b".", *(name.encode() for name in WINDOWS_NAMES)):
        yield bad.decode(), bad.decode(), one(bad)
    # One file on Windows: the second name would hold the first archive.
    yield "names equal once upper-cased", None, one("Äx.jar".encode()).replace(
        b"\1", b"\2", 1) + "äx.jar".encode() + b"\0" + time_and_size[:8] + struct.pack("<I", 0)
    # Control characters of a refused name reach the terminal escaped.
    bad = b"\x1b[2J/\r" + name[6:]
    yield "escape sequence", "\\x1b[2J/\\x0d" + name[6:].decode(), good[:4] + bad + good[4 + len(name):]


def test_damaged_payloads_and_bad_names_are_refused(lane, tmp_path):
    name = b"vtpayloadmark.jar"
    jar = make_archive(tmp_path / "src" / name.decode(), b"PK\3\4" + bytes(200))
    data = jar.read_bytes()
    good = struct.pack("<I", 1) + name + b"\0" + struct.pack("<QI", filetime(T0), len(data)) + data
    settings = {"MainClass": "p.M", "ExtractLocation": "1", "ClassPath": "x.jar", "RemoveExtractedFiles": "1",
                "JvmSearchOrder": ""}
    folder = tmp_path / "bad"
    folder.mkdir()
    probe = lane.pack_probe(folder / "tool", archives=[jar], settings=settings).read_bytes()
    launcher = lane.pack(folder / "app", archives=[jar], settings=settings).read_bytes()
    assert probe.count(good) == 1 and launcher.count(good) == 1
    encoded = scramble("p.M")
    for number, (what, bad_name, payload) in enumerate(_payload_variants(good, name)):
        payload = payload.ljust(len(good), b"\0")
        place = folder / f"case{number}"
        exes = []
        for image, stem in ((probe, "tool"), (launcher, "app")):
            exe = place / (stem + lane.exe_suffix)
            place.mkdir(exist_ok=True)
            exe.write_bytes(image.replace(good, payload))
            exe.chmod(0o755)
            exes.append(exe)
        result = lane.run(exes[0])
        assert result.status == 0, (what, str(result))
        record = parse_record(result)
        assert (record["ClassPath"], record["ExtractedFileCount"]) == ("x.jar", "0"), what
        # Message 3 once: with the name for a bad name, else with the folder.
        errors = [line for line in result.err_lines if line.startswith("Error writing to file/directory: ")]
        argument = bad_name if bad_name is not None else f".{lane.sep}{encoded}"
        assert errors == [f"Error writing to file/directory: {argument}"], (what, str(result))
        # Nothing written, here or above; and no cleanup child deletes anything
        # on the payload's account, neither one the launcher starts nor one
        # started by hand.
        planted = make_archive(place / encoded / name.decode(), b"not ours")
        launched = lane.run(exes[1])
        assert launched.err_lines[0] == errors[0], (what, str(launched))
        assert lane.run(exes[1], [CLEANUP, "0"]).status == 0
        assert tree(place) == sorted([exes[0].name, exes[1].name, encoded, f"{encoded}/{name.decode()}"]), what
        assert planted.read_bytes() == b"not ours"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad", "src"]
    assert sorted(p.name for p in folder.iterdir() if not p.name.startswith("case")) == \
        sorted(["tool" + lane.exe_suffix, "app" + lane.exe_suffix])
    listing = subprocess.run([str(PACKER), "--list", str(exes[1])], capture_output=True, text=True)
    assert listing.returncode == 1 and f'"{bad_name}" is not a plain file name; the launcher unpacks nothing' in \
        listing.stdout, listing
    assert "\x1b" not in listing.stdout, listing
    # The packer refuses them in the first place.
    for bad in WINDOWS_NAMES:
        packed = lane.pack(tmp_path / "packed" / "app", archives=[make_archive(tmp_path / "names" / bad, b"PK")],
                           settings={"MainClass": "p.M"}, check=False)
        assert packed.status == 1 and f'archive name "{bad}"' in packed.stderr, (bad, str(packed))


def test_list_shows_what_a_launcher_carries(lane, tmp_path):
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4" + bytes(8))
    empty = make_archive(tmp_path / "src" / "zero.zip", b"", ns=T0 + 100)
    exe = lane.pack(tmp_path / "tool", archives=[jar, empty], messages={3: "Schreibfehler ü€😀: %s"},
                    message_language=1031, settings={"MainClass": "com.example.Main", "ExtractLocation": "1"})
    listing = subprocess.run([str(PACKER), "--list", str(exe)], capture_output=True, text=True)
    assert listing.returncode == 0, listing.stderr
    lines = listing.stdout.splitlines()
    for expected in ("  MainClass                   com.example.Main", "  ExtractLocation             1",
                     "  JvmOptions                  -Xmx1024M", "Messages (language 1031):",
                     "   3  Schreibfehler ü€😀: %s", "Archives (2):"):
        assert expected in lines, expected
    assert lines[-2].split() == ["a.jar", "12", *T0_TEXT.split()]
    assert lines[-1].split() == ["zero.zip", "0", *T0_TEXT.replace("1234567", "1234568").split()]


def test_linux_per_user_folder_is_the_users_own_on_disk(linux_lane, tmp_path):
    """ExtractLocation 2 unpacks into the first usable of $XDG_CACHE_HOME/vantrel,
    ~/.cache/vantrel and vantrel-UID in $TMPDIR, never into RAM. A relative path,
    or one holding '"', ';' or '%' (which would change the VM's options), is
    passed over; a folder that is a link, another user's or writable by others
    is refused and the launch goes on in a folder of the user's own."""
    main = f"p.M{uuid.uuid4().hex[:8]}"
    encoded = scramble(main)
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4 trusted")
    settings = {"MainClass": main, "ExtractLocation": "2", "ClassPath": "x.jar", "RemoveExtractedFiles": "1"}
    probe = linux_lane.pack_probe(tmp_path / "app" / "tool", archives=[jar], settings=settings)
    launcher = linux_lane.pack(tmp_path / "app" / "app", archives=[jar], settings=settings)
    uid = os.geteuid()
    home, cache, tmp, elsewhere = (tmp_path / name for name in ("home", "cache", "tmp", "elsewhere"))
    for odd in ('q" -Dinjected=yes "', "a;b", "%HOME%"):
        (tmp_path / odd).mkdir()
    elsewhere.mkdir()

    def plant(folder, how):
        folder.parent.mkdir(parents=True, exist_ok=True)
        if how == "link":
            folder.symlink_to(elsewhere, target_is_directory=True)
            return
        folder.mkdir()
        shutil.copy2(jar, folder / "a.jar")  # the right size and time: it would be used as it is
        folder.chmod(0o777 if how == "others" else 0o770 if how == "group" else 0o700)
        os.chown(folder, 65534 if how == "foreign" else 0, -1)

    everything = ("XDG_CACHE_HOME", "HOME", "TMPDIR")
    cases = [  # what, environment, planted folder and how, the per-user folder expected
        ("cache", {"XDG_CACHE_HOME": cache, "HOME": home}, None, cache / "vantrel"),
        ("home", {"HOME": home}, None, home / ".cache" / "vantrel"),
        ("relative cache", {"XDG_CACHE_HOME": "cache", "HOME": home}, None, home / ".cache" / "vantrel"),
        *((f"cache {odd}", {"XDG_CACHE_HOME": tmp_path / odd, "HOME": home}, None, home / ".cache" / "vantrel")
          for odd in ('q" -Dinjected=yes "', "a;b", "%HOME%")),
        ("no home", {}, None, tmp / f"vantrel-{uid}"),
        ("home with ;", {"HOME": tmp_path / "a;b"}, None, tmp / f"vantrel-{uid}"),
        ("linked cache", {"XDG_CACHE_HOME": cache, "HOME": home}, (cache / "vantrel", "link"),
         home / ".cache" / "vantrel"),
        *((f"planted in tmp, {how}", {}, (tmp / f"vantrel-{uid}", how), None)
          for how in ("link", "others", "foreign")),
        *((f"planted application folder, {how}", {"XDG_CACHE_HOME": cache}, (cache / "vantrel" / encoded, how),
           cache / "vantrel") for how in ("link", "others", "group", "foreign")),
    ]
    for what, env, planted, expected in cases:
        for folder in (home, cache, tmp):
            shutil.rmtree(folder, ignore_errors=True)
        home.mkdir()
        tmp.mkdir()
        if planted is not None:
            plant(*planted)
        env = {name: str(value) for name, value in {"TMPDIR": tmp, **env}.items()}
        unset = tuple(name for name in everything if name not in env)
        result = linux_lane.run(probe, env={**env, "VANTREL_TRACE": "1"}, unset=unset)
        assert result.status == 0 and "Error" not in result.stderr, (what, str(result))
        class_path = parse_record(result)["ClassPath"]
        if expected is None:  # a fresh folder of the user's own
            fresh = [p for p in tmp.iterdir() if p.name.startswith(f"vantrel-{uid}-")]
            assert len(fresh) == 1 and fresh[0].stat().st_mode & 0o777 == 0o700, what
            expected = fresh[0]
        if planted is not None:
            assert "passed over" in result.stderr or "refused" in result.stderr, (what, result.stderr)
        if planted is not None and planted[0].name == encoded:  # this payload's own folder beside it
            assert class_path.startswith(f"x.jar;{expected}/{encoded}-") and class_path.endswith("/a.jar"), what
            assert linux_lane.run(launcher, [CLEANUP, "0"], env=env, unset=unset).status == 0
            assert not Path(class_path[len("x.jar;"):]).parent.exists(), what
        else:
            assert class_path == f"x.jar;{expected}/{encoded}/a.jar", (what, str(result))
            assert expected.stat().st_mode & 0o777 == 0o700, what
        assert tree(elsewhere) == [] and (planted is None or planted[0].is_symlink() or
                                          (planted[0] / "a.jar").read_bytes() == jar.read_bytes()), what
        if planted is not None:
            planted[0].unlink() if planted[0].is_symlink() else shutil.rmtree(planted[0])


def test_windows_temporary_folder_that_would_change_the_options_is_not_used(windows_lane, tmp_path):
    """TMP and TEMP (Wine takes them from the registry) naming a folder whose
    path holds ';' or '%': refused with message 2, never put on the class path."""
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4")
    probe = windows_lane.pack_probe(tmp_path / "app" / "tool", archives=[jar], settings={"MainClass": "p.M"})
    saved = {name: windows_lane.wine.reg("query", r"HKCU\Environment", "/v", name).stdout.split("REG_SZ")[1].strip()
             for name in ("TMP", "TEMP")}
    try:
        for odd in ("a;b", "%TMP%"):
            (tmp_path / odd).mkdir()
            for name in ("TMP", "TEMP"):
                windows_lane.wine.reg("add", r"HKCU\Environment", "/v", name, "/d",
                                      windows_lane.native_path(tmp_path / odd), "/f")
            result = windows_lane.run(probe)
            assert result.err_lines[0] == "Error accessing file/directory: TEMP_PATH", (odd, str(result))
            assert parse_record(result)["ClassPath"] == "", odd
    finally:
        for name, value in saved.items():
            windows_lane.wine.reg("add", r"HKCU\Environment", "/v", name, "/d", value, "/f")


# --- launches: the test application carried as an archive -----------------------------------

class VmApp:
    """Packs launchers of the test application, carried in the payload."""

    def __init__(self, lane, folder: Path, base: dict, archive: Path, hold_marker: str, hold_option: str,
                 classes=None):
        self.lane, self.folder, self.base, self.archive = lane, folder, base, archive
        self.hold_marker, self.hold_option, self.classes = hold_marker, hold_option, classes

    def pack(self, path: Path, hold=False, archives=None, options="", **settings):
        jvm_options = " ".join(filter(None, [self.base["JvmOptions"], self.hold_option if hold else "", options]))
        return self.lane.pack(path, archives=archives or [self.archive],
                              settings={**self.base, "JvmOptions": jvm_options, **settings})

    def run(self, exe, args=(), **kwargs):
        return self.lane.run(exe, args, unset=JAVA_ENVIRONMENT, **kwargs)


def _vm_app(lane, request, tmp_path):
    if lane.windows:
        runtime = lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
        base = {"MainClass": "vt.App", "JvmPath": lane.native_path(runtime), "JvmSearchOrder": "0",
                "JvmVersion": "", "JvmOptions": "-Xmx64m -Dstandin.script=args"}
        archive = make_archive(tmp_path / "v1" / "app.jar", b"PK\3\4 version one")
        return VmApp(lane, tmp_path, base, archive, "main holding", "-Dstandin.script=args,hold")
    if not JDK_HOMES:
        pytest.fail("no JDK with lib/server/libjvm.so installed")
    apps = request.getfixturevalue("java_apps")
    base = {"MainClass": "vt.App", "JvmPath": str(JDK_HOMES[0] / "lib" / "server" / "libjvm.so"),
            "JvmSearchOrder": "0", "JvmVersion": "1.8", "JvmOptions": "-Xmx64m"}
    return VmApp(lane, tmp_path, base, apps["jar"], "holding", "-Dapp.mode=hold", apps["classes"])


@pytest.fixture
def vm_app(lane, request, tmp_path):
    return _vm_app(lane, request, tmp_path)


@pytest.fixture
def linux_vm_app(linux_lane, request, tmp_path):
    return _vm_app(linux_lane, request, tmp_path)


def class_path_seen(lane, result):
    report = parse_report(result.stdout)
    if lane.windows:
        return [o for o in report["options"] if o.startswith("-Djava.class.path=")][0][len("-Djava.class.path="):]
    return report["props"]["java.class.path"]


def class_path_files(lane, result):
    """The class path a launch handed to its runtime, as host paths."""
    return [host_path(lane, entry) for entry in class_path_seen(lane, result).split(";" if lane.windows else ":")]


def late_variants(lane, vm_app, folder: Path):
    """The application's archive without vt.Late, and two lib.jar whose vt.Late
    says "late class from APP X" or "... Y" (the stand-in reads no classes:
    there they are archives that differ)."""
    if lane.windows:
        app = make_archive(folder / "app.jar", b"PK\3\4 the application")
        return app, {n: make_archive(folder / n / "lib.jar", f"PK\3\4 late class from APP {n}".encode(),
                                     ns=T0 + 10**9 * k) for k, n in enumerate("XY")}
    app = folder / "app.jar"
    folder.mkdir(parents=True)
    with zipfile.ZipFile(vm_app.archive) as whole, zipfile.ZipFile(app, "w") as out:
        for item in whole.infolist():
            if item.filename != "vt/Late.class":
                out.writestr(item, whole.read(item.filename))
    libs = {}
    for n in "XY":
        source = folder / n / "vt" / "Late.java"
        source.parent.mkdir(parents=True)
        source.write_text(f'package vt;\nclass Late {{ static String text() {{ return "late class from APP {n}"; }} }}\n')
        subprocess.run([str(JDK_HOMES[0] / "bin" / "javac"), "--release", "17", "-d", str(folder / n), str(source)],
                       check=True, capture_output=True, timeout=120)
        libs[n] = folder / n / "lib.jar"
        with zipfile.ZipFile(libs[n], "w") as out:
            out.write(folder / n / "vt" / "Late.class", "vt/Late.class")
    return app, libs


def test_cleanup_child_removes_the_archives_after_the_launcher_ends(lane, vm_app, tmp_path):
    # A folder name that a shell would expand: the child is started without one.
    folder = tmp_path / "d$(touch${IFS}PWNED)"
    exe = vm_app.pack(folder / "app", ExtractLocation="1", RemoveExtractedFiles="1")
    encoded = scramble("vt.App")
    result = vm_app.run(exe, ["x"], cwd=tmp_path)
    assert result.status == 0, result
    assert parse_report(result.stdout)["args"] == ["x"]  # the main class came from the archive
    assert class_path_seen(lane, result) == f".{lane.sep}{encoded}{lane.sep}app.jar"
    wait_until(lambda: not (folder / encoded).exists(), "the cleanup child removed the folder")
    assert not list(tmp_path.rglob("PWNED*"))


def test_cleanup_child_spares_what_another_instance_uses(lane, vm_app, tmp_path):
    exe = vm_app.pack(tmp_path / "app" / "app", hold=True, ExtractLocation="1", RemoveExtractedFiles="1")
    unpacked = exe.parent / scramble("vt.App") / "app.jar"
    with first_instance(lane, exe, tmp_path, vm_app.hold_marker) as first:
        second = vm_app.run(exe)
        assert second.status == 0, second
        wait_for_cleanup_children(exe)
        assert unpacked.exists(), "the second instance's cleanup child deleted what the first one uses"
    assert first.status == 0, first.output
    wait_until(lambda: not unpacked.parent.exists(), "the first instance's cleanup child removed the folder")


def test_cleanup_child_deletes_nothing_where_the_application_went(lane, vm_app, tmp_path):
    encoded = scramble("vt.App")
    elsewhere = tmp_path / "elsewhere"
    decoys = [make_archive(elsewhere / "app.jar", b"decoy"), make_archive(elsewhere / encoded / "app.jar", b"decoy")]
    for location, unpacked in (("1", Path(encoded) / "app.jar"), ("0", Path("app.jar"))):
        exe = vm_app.pack(tmp_path / f"loc{location}" / "app", ExtractLocation=location, RemoveExtractedFiles="1",
                          WorkingDirectory=lane.native_path(elsewhere))
        result = vm_app.run(exe)
        assert result.status == 0, result
        # The application finds its archives from wherever it went.
        assert parse_report(result.stdout)["props"]["vantrel.extract.path"] == \
            lane.native_path(exe.parent / unpacked.parent).rstrip(f"{lane.sep}.")
        wait_until(lambda: not (exe.parent / unpacked).exists(), "the cleanup child deleted the archive")
        wait_for_cleanup_children(exe)
        assert [d.read_bytes() for d in decoys] == [b"decoy", b"decoy"], location
        assert exe.exists()


def test_another_payloads_archives_never_run(lane, vm_app, tmp_path):
    """Two applications with one main class, each with its own lib.jar: while
    X runs (its runtime holds its archives), Y runs its own archives from a
    folder of its payload's own, and X goes on with its own. A second start of
    Y writes nothing; Y's cleanup child removes Y's folder and nothing of X's."""
    app, libs = late_variants(lane, vm_app, tmp_path / "variants")
    apps = tmp_path / "apps"
    x = vm_app.pack(apps / "appX", hold=True, archives=[app, libs["X"]], ExtractLocation="1", RemoveExtractedFiles="1")
    y_kept = vm_app.pack(apps / "appY", archives=[app, libs["Y"]], ExtractLocation="1")
    y_cleaned = vm_app.pack(apps / "appYc", archives=[app, libs["Y"]], ExtractLocation="1", RemoveExtractedFiles="1")
    shared = apps / scramble("vt.App")
    with first_instance(lane, x, tmp_path, vm_app.hold_marker) as first:
        run = vm_app.run(y_kept, ["y"])
        assert run.status == 0, run
        own = class_path_files(lane, run)
        assert [p.name for p in own] == ["app.jar", "lib.jar"] and own[0].parent != shared, own
        assert own[0].parent.name.startswith(scramble("vt.App") + "-")
        first_entry = class_path_seen(lane, run).split(";" if lane.windows else ":")[0]
        assert parse_report(run.stdout)["props"]["vantrel.extract.path"] == first_entry.rsplit(lane.sep, 1)[0]
        assert [own[1].read_bytes(), (shared / "lib.jar").read_bytes()] == [libs["Y"].read_bytes(),
                                                                           libs["X"].read_bytes()]
        # A second start writes nothing.
        before = [identity(p) for p in own]
        again = vm_app.run(y_kept, ["y"])
        assert again.status == 0 and again.stderr == "" and class_path_files(lane, again) == own, again
        assert [identity(p) for p in own] == before
        assert vm_app.run(y_cleaned).status == 0
        wait_for_cleanup_children(y_cleaned)
        assert not own[0].parent.exists(), "Y's cleanup child left its folder"
        assert sorted(p.name for p in shared.iterdir()) == ["app.jar", "lib.jar"], "Y's cleanup took X's archives"
    assert first.status == 0, first.output
    if not lane.windows:
        assert "late class from APP X" in first.output, first.output
    wait_until(lambda: not shared.exists(), "X's cleanup child removed its folder")


def test_what_is_no_archive_never_goes_on_the_class_path(lane, vm_app, tmp_path):
    """A folder of classes at an archive's name (and on Linux a link to one, in
    the user's own folder too) stops the launch with message 3: nothing planted
    there runs."""
    cache = tmp_path / "cache"
    places = [("0", lambda exe: exe.parent)]
    if not lane.windows:
        places.append(("2", lambda exe: cache / "vantrel" / scramble("vt.App")))
    for location, folder_of in places:
        for how in ("folder", "link")[:1 if lane.windows else 2]:
            exe = vm_app.pack(tmp_path / f"{location}-{how}" / "app", ExtractLocation=location)
            planted = folder_of(exe) / "app.jar"
            planted.parent.mkdir(parents=True, exist_ok=True, mode=0o700)
            if how == "folder":
                shutil.copytree(vm_app.classes, planted) if vm_app.classes else planted.mkdir()
            else:
                planted.symlink_to(vm_app.archive)
            result = vm_app.run(exe, env={"XDG_CACHE_HOME": str(cache)})
            path = f".{lane.sep}app.jar" if location == "0" else str(planted)
            assert f"Error writing to file/directory: {path}" in result.err_lines, (location, how, str(result))
            assert "app main" not in result.stdout and "app.jar" not in "".join(parse_report(result.stdout)["options"])
            shutil.rmtree(planted) if how == "folder" else planted.unlink()


def test_a_folder_that_cannot_be_written(lane, vm_app, tmp_path):
    """An administrator's install: the archive is there but its time differs (a
    copy that did not keep times). The same bytes are kept; other bytes send the
    launcher to its payload's own folder. (chattr +i: not even root may write.)"""
    exe = vm_app.pack(tmp_path / "install" / "app", ExtractLocation="0")
    unpacked = exe.parent / "app.jar"
    assert vm_app.run(exe).status == 0
    if subprocess.run(["chattr", "+i", str(exe.parent)], capture_output=True).returncode != 0:
        pytest.skip("chattr +i (a folder not even root may write) is not available here")
    try:
        for what, data in (("same bytes", unpacked.read_bytes()), ("other bytes", os.urandom(len(vm_app.archive.read_bytes())))):
            subprocess.run(["chattr", "-i", str(exe.parent)], check=True)
            make_archive(unpacked, data, ns=T0 + 10**9)
            subprocess.run(["chattr", "+i", str(exe.parent)], check=True)
            result = vm_app.run(exe, ["x"])
            assert result.status == 0 and result.stderr == "" and parse_report(result.stdout)["args"] == ["x"], \
                (what, str(result))
            if what == "same bytes":
                assert class_path_seen(lane, result) == f".{lane.sep}app.jar"
            else:
                used = class_path_files(lane, result)[0]
                assert used.parent.name.startswith(scramble("vt.App") + "-") and \
                    used.read_bytes() == vm_app.archive.read_bytes(), used
    finally:
        subprocess.run(["chattr", "-i", str(exe.parent)], check=True)


def test_temporary_files_of_a_killed_launcher_are_removed(lane, tmp_path):
    """A launcher killed while it wrote leaves its temporary file: the next
    start, or the cleanup run, removes it once its writer is gone, never the
    file of a writer that still runs."""
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4" + bytes(100))
    settings = {"MainClass": "p.M", "ExtractLocation": "1", "RemoveExtractedFiles": "1"}
    probe = lane.pack_probe(tmp_path / "app" / "tool", archives=[jar], settings=settings)
    launcher = lane.pack(tmp_path / "app" / "app", archives=[jar], settings=settings)
    folder = probe.parent / scramble("p.M")
    folder.mkdir(mode=0o700)
    # Gone: a process id no process has (Wine's ids are its own); alive: this test.
    gone = 0x7FFFFFF0 if lane.windows else os.getpid() + 1
    while not lane.windows and Path(f"/proc/{gone}").exists():
        gone += 1
    alive = [] if lane.windows else [f".vantrel-{os.getpid()}-0123456789ABCDEF.tmp"]
    for when, run in (("start", lambda: lane.probe_config(probe)),
                      ("cleanup", lambda: lane.run(launcher, [CLEANUP, "0"]))):
        for name in (f".vantrel-{gone}-3.tmp", f".vantrel-{gone}-0123456789ABCDEF.tmp", *alive):
            (folder / name).write_bytes(b"left behind")
        run()
        left = sorted(p.name for p in folder.iterdir()) if folder.exists() else []
        assert left == sorted(alive + (["a.jar"] if when == "start" else [])), when


def test_linux_cleanup_child_inherits_nothing_and_waits(linux_lane, linux_vm_app, tmp_path):
    go = tmp_path / "go"
    exe = linux_vm_app.pack(tmp_path / "app" / "app", options=f"-Dapp.mode=thread -Dapp.threadfile={go}",
                            ExtractLocation="1", RemoveExtractedFiles="1")
    unpacked = exe.parent / scramble("vt.App") / "app.jar"
    proc = linux_lane.start(exe, unset=JAVA_ENVIRONMENT)
    try:
        # main has returned and started the child; the VM's thread keeps the
        # launcher running while the child waits for it.
        wait_until(lambda: cleanup_children(exe), "the cleanup child started", timeout=20)
        child = cleanup_children(exe)[0]

        def descriptors():
            fd_dir = Path(f"/proc/{child}/fd")
            return {int(fd.name): os.readlink(fd) for fd in fd_dir.iterdir()}

        wait_until(lambda: any("pidfd" in target for target in descriptors().values()), "the child waits")
        fds = descriptors()
        assert {fd: fds[fd] for fd in (0, 1, 2)} == {0: "/dev/null", 1: "/dev/null", 2: "/dev/null"}
        # Its own: the executable it reads the payload from, and the wait.
        assert all("pidfd" in target or target == str(exe) for fd, target in fds.items() if fd > 2), fds
        assert os.getsid(child) == child
        assert unpacked.exists()
        go.touch()
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0 and "thread done" in out
    wait_until(lambda: not unpacked.parent.exists(), "the cleanup child removed the folder")


# --- another local user ------------------------------------------------------------------

@pytest.fixture(scope="module")
def local_users():
    """Two local accounts of this run, "att" and "vic" (no home), removed after."""
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        pytest.skip("making a second local account needs root and useradd")
    made = {}
    try:
        for role in ("att", "vic"):
            name = f"vt{role}{os.getpid()}"
            made_now = subprocess.run(["useradd", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", name],
                                      capture_output=True, text=True)
            if made_now.returncode != 0:
                pytest.skip(f"useradd cannot make a second local account: {made_now.stderr.strip()}")
            made[role] = pwd.getpwnam(name)
        yield made
    finally:
        for user in made.values():
            subprocess.run(["userdel", user.pw_name], capture_output=True)


def run_as(user, command, env, wait=True):
    """A command as another user, with only the environment given (and a
    sanitizer build's options)."""
    passed = {name: value for name, value in os.environ.items() if name == "PATH" or name.endswith("SAN_OPTIONS")}
    kwargs = dict(user=user.pw_uid, group=user.pw_gid, extra_groups=[], cwd="/", stdin=subprocess.DEVNULL,
                  env={**passed, **env})
    if not wait:
        return subprocess.Popen([str(c) for c in command], stdout=subprocess.PIPE, text=True, **kwargs)
    proc = subprocess.run([str(c) for c in command], capture_output=True, text=True, errors="replace", timeout=120,
                          **kwargs)
    return proc


@pytest.mark.parametrize("plant", ["a folder of classes", "a file of the archive's size and time",
                                   "the next temporary names", "the single-instance lock", "the per-user folder"])
def test_linux_another_local_user_plants_nothing_and_locks_nobody_out(linux_lane, linux_vm_app, local_users, plant):
    """att shares a sticky folder with vic, where vic's launcher unpacks
    (ExtractLocation 0) or keeps its per-user folder (no home: TMPDIR)."""
    att, vic = local_users["att"], local_users["vic"]
    shared = Path(tempfile.mkdtemp(prefix="vantrel-e2e-shared-"))
    try:
        shared.chmod(0o1777)
        settings = {"ExtractLocation": "0"}
        env = {"TMPDIR": str(shared), "VANTREL_TRACE": "1"}
        planted = shared / "app.jar"
        hold = None
        if plant == "a folder of classes":
            shutil.copytree(linux_vm_app.classes, planted)
            subprocess.run(["chown", "-R", att.pw_name, str(planted)], check=True)
        elif plant == "a file of the archive's size and time":
            shutil.copy2(linux_vm_app.archive, planted)
            os.chown(planted, att.pw_uid, att.pw_gid)
        elif plant == "the next temporary names":
            last = int(Path("/proc/sys/kernel/ns_last_pid").read_text())
            traps = [shared / f".vantrel-{pid}-0.tmp" for pid in range(last + 1, last + 400)]
            for trap in traps:
                trap.touch(mode=0o666)
                os.chown(trap, att.pw_uid, att.pw_gid)
        elif plant == "the single-instance lock":
            holder = shared / "hold_mutex"
            shutil.copy(linux_lane.build / "tests" / "hold_mutex", holder)
            hold = run_as(att, [holder, "vt/App"], {"TMPDIR": str(shared)}, wait=False)
            assert hold.stdout.readline().strip() == "held"
            settings["AllowMultipleInstances"] = "0"
        else:
            assert run_as(att, ["mkdir", "-m", "777", shared / f"vantrel-{vic.pw_uid}"], {}).returncode == 0
            settings["ExtractLocation"] = "2"
        exe = linux_vm_app.pack(shared / "app", options="-XX:-UsePerfData", **settings)
        try:
            # XDG_RUNTIME_DIR unset, and relative: neither is used.
            for more in ({}, {"XDG_RUNTIME_DIR": "relative"}):
                result = run_as(vic, [exe], {**env, **more})
                if plant.startswith("a f"):  # never on the class path: message 3 instead
                    assert "app main" not in result.stdout, result.stdout
                    assert "Error writing to file/directory: ./app.jar" in result.stderr, result.stderr
                else:
                    assert "app main" in result.stdout and "Error" not in result.stderr, result.stderr
        finally:
            if hold is not None:
                hold.kill()
                hold.wait()
        if plant == "the next temporary names":
            assert all(trap.stat().st_size == 0 for trap in traps)
        if plant == "the per-user folder":
            assert "passed over" in result.stderr, result.stderr
    finally:
        shutil.rmtree(shared, ignore_errors=True)


# --- real applications -----------------------------------------------------------------

def _debian_jars(*patterns):
    jars = []
    for pattern in patterns:
        found = sorted(Path("/usr/share/java").glob(pattern))
        if not found:
            pytest.fail(f"/usr/share/java/{pattern} missing (scripts/setup installs it)")
        jars.append(found[0])
    return jars


@pytest.mark.parametrize("name, jars, main, args", [
    ("rhino", ["js.jar"], "org.mozilla.javascript.tools.shell.Main", ["-e", "print(6*7)"]),
    ("clojure", ["clojure-1.*.jar", "spec.alpha.jar", "core.specs.alpha.jar"], "clojure.main",
     ["-e", "(println (* 6 7))"]),
    ("beanshell", ["bsh.jar"], "bsh.Interpreter", ["{script}"]),
])
def test_linux_real_applications_run_from_their_archives(linux_lane, tmp_path, name, jars, main, args):
    script = tmp_path / "six.bsh"
    script.write_text("print(6*7);\n")
    exe = linux_lane.pack(tmp_path / name / name, archives=_debian_jars(*jars), settings={
        "MainClass": main, "JvmPath": str(JDK_HOMES[0] / "lib" / "server" / "libjvm.so"), "JvmSearchOrder": "0",
        "JvmOptions": "-Xmx256m", "RemoveExtractedFiles": "1"})
    result = linux_lane.run(exe, [a.format(script=script) for a in args], unset=JAVA_ENVIRONMENT, timeout=120)
    assert result.status == 0 and result.out_lines[-1:] == ["42"], result
