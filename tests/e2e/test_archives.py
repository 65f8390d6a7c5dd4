"""Embedded archives as users see them: unpacked where ExtractLocation says,
kept when unchanged or in use, put on the class path, refused when the
payload or the folder cannot be trusted, and removed by the cleanup child
once the launcher has ended.

The probe shows unpacking and the class path without a VM. Launches run the
test application from its own archive: in the Linux lane with a real JDK, in
the Windows lane with the stand-in runtime, which (like a real VM) keeps the
archives of its class path open until it ends."""

import os
import shutil
import struct
import subprocess
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
UNTRUSTED = "Reason: The folder is a link, belongs to another user or others may write to it"


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
    # One tick (100 ns) later, or one byte longer: written again, the others untouched.
    os.utime(unpacked["a.jar"], ns=(T0 + 100, T0 + 100))
    lane.probe_config(exe)
    assert identity(unpacked["a.jar"])[0] != before["a.jar"][0]
    assert unpacked["a.jar"].stat().st_mtime_ns == T0
    assert identity(unpacked["zero.zip"]) == before["zero.zip"]
    make_archive(unpacked["zero.zip"], b"x")
    lane.probe_config(exe)
    assert (unpacked["zero.zip"].read_bytes(), unpacked["zero.zip"].stat().st_mtime_ns) == (b"", T0)
    assert tree(folder) == sorted(["a.jar", "zero.zip", exe.name])


def test_extract_locations(lane, tmp_path):
    main = f"p.M{uuid.uuid4().hex[:8]}"
    encoded = scramble(main)
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4 located")
    runtime = tmp_path / "run"
    runtime.mkdir(mode=0o700)
    try:
        for location in "012":
            exe = lane.pack_probe(tmp_path / f"loc{location}" / "tool", archives=[jar],
                                  settings={"MainClass": main, "ExtractLocation": location})
            record = lane.probe_config(exe, env={"XDG_RUNTIME_DIR": str(runtime)})
            directory = record["ExtractionDirectory"]
            if location == "0":
                assert directory == "."
                folder = exe.parent
            elif location == "1":
                assert directory == f".{lane.sep}{encoded}"
                folder = exe.parent / encoded
            else:  # the user's temporary folder: Wine's in its prefix
                folder = host_path(lane, directory)
                assert folder == runtime / encoded or (lane.windows and directory.endswith(f"\\Temp\\{encoded}"))
            assert record["ClassPath"] == f"{directory}{lane.sep}a.jar"
            assert (folder / "a.jar").read_bytes() == jar.read_bytes(), location
            if location != "0" and not lane.windows:
                assert folder.stat().st_mode & 0o777 == 0o700
    finally:
        if lane.windows:
            shutil.rmtree(folder, ignore_errors=True)


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
    for bad in (b"..", b"."):
        yield bad.decode(), bad.decode(), one(bad)
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
    assert listing.returncode == 1 and f'"{bad_name}" is not a plain file name' in listing.stdout, listing
    assert "\x1b" not in listing.stdout, listing


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


def test_linux_planted_or_linked_folders_are_refused(linux_lane, tmp_path):
    main = f"p.M{uuid.uuid4().hex[:8]}"
    encoded = scramble(main)
    jar = make_archive(tmp_path / "src" / "a.jar", b"PK\3\4 trusted")
    settings = {"MainClass": main, "ExtractLocation": "2", "ClassPath": "x.jar", "RemoveExtractedFiles": "1"}
    probe = linux_lane.pack_probe(tmp_path / "app" / "tool", archives=[jar], settings=settings)
    launcher = linux_lane.pack(tmp_path / "app" / "app", archives=[jar], settings=settings)
    runtime, elsewhere = tmp_path / "run", tmp_path / "elsewhere"
    runtime.mkdir(mode=0o700)
    elsewhere.mkdir()
    env = {"XDG_RUNTIME_DIR": str(runtime)}
    folder = runtime / encoded

    def plant_link():
        folder.symlink_to(elsewhere, target_is_directory=True)

    def plant_folder(mode, owner):
        folder.mkdir()
        shutil.copy2(jar, folder / "a.jar")  # the right size and time: it would be used as it is
        folder.chmod(mode)
        os.chown(folder, owner, -1)

    for what, plant in (("link", plant_link), ("writable by others", lambda: plant_folder(0o777, 0)),
                        ("writable by the group", lambda: plant_folder(0o770, 0)),
                        ("another user's", lambda: plant_folder(0o700, 65534))):
        plant()
        result = linux_lane.run(probe, env=env)
        record = parse_record(result)
        assert (record["ClassPath"], record["ExtractedFileCount"]) == ("x.jar", "0"), what
        assert result.err_lines == [f"Error writing to file/directory: {folder}", "", UNTRUSTED], what
        assert linux_lane.run(launcher, [CLEANUP, "0"], env=env).status == 0
        assert tree(elsewhere) == [] and (folder.is_symlink() or (folder / "a.jar").exists()), what
        folder.unlink() if folder.is_symlink() else shutil.rmtree(folder)
    assert linux_lane.probe_config(probe, env=env)["ClassPath"] == f"x.jar;{folder}/a.jar"

    # Without XDG_RUNTIME_DIR: a folder of the user's own in TMPDIR, refused
    # when someone else made it first.
    uid = os.geteuid()
    for what, mode, expected in (("fresh", None, "x.jar;{tmp}/vantrel-{uid}/{encoded}/a.jar"),
                                 ("planted", 0o777, "x.jar")):
        tmp = tmp_path / f"tmp-{what}"
        tmp.mkdir()
        if mode is not None:
            (tmp / f"vantrel-{uid}").mkdir()
            (tmp / f"vantrel-{uid}").chmod(mode)
        result = linux_lane.run(probe, env={"TMPDIR": str(tmp)}, unset=("XDG_RUNTIME_DIR",))
        record = parse_record(result)
        assert record["ClassPath"] == expected.format(tmp=tmp, uid=uid, encoded=encoded), (what, str(result))
        if mode is None:
            assert (tmp / f"vantrel-{uid}").stat().st_mode & 0o777 == 0o700 and result.stderr == ""
        else:
            assert result.err_lines == ["Error accessing file/directory: TEMP_PATH", "", UNTRUSTED], str(result)


# --- launches: the test application carried as an archive -----------------------------------

class VmApp:
    """Packs launchers of the test application, carried in the payload."""

    def __init__(self, lane, folder: Path, base: dict, archive: Path, hold_marker: str, hold_option: str):
        self.lane, self.folder, self.base, self.archive = lane, folder, base, archive
        self.hold_marker, self.hold_option = hold_marker, hold_option

    def pack(self, path: Path, hold=False, archive=None, options="", **settings):
        jvm_options = " ".join(filter(None, [self.base["JvmOptions"], self.hold_option if hold else "", options]))
        return self.lane.pack(path, archives=[archive or self.archive],
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
    return VmApp(lane, tmp_path, base, apps["jar"], "holding", "-Dapp.mode=hold")


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
        wait_until(lambda: not (exe.parent / unpacked).exists(), "the cleanup child deleted the archive")
        wait_for_cleanup_children(exe)
        assert [d.read_bytes() for d in decoys] == [b"decoy", b"decoy"], location
        assert exe.exists()


def test_an_archive_in_use_is_kept_or_replaced_by_a_move(lane, vm_app, tmp_path):
    if lane.windows:
        newer = make_archive(tmp_path / "v2" / "app.jar", b"PK\3\4 version two, longer", ns=T0 + 10**9)
    else:
        # Another layout: read in place, its entries would not be where the
        # first VM's directory of the archive says they are.
        newer = tmp_path / "v2" / "app.jar"
        newer.parent.mkdir()
        with zipfile.ZipFile(vm_app.archive) as old, zipfile.ZipFile(newer, "w") as new:
            new.writestr("pad.bin", os.urandom(200_000))
            for item in old.infolist():
                new.writestr(item, old.read(item.filename))
    first_exe = vm_app.pack(tmp_path / "app" / "first", hold=True, ExtractLocation="1")
    second_exe = vm_app.pack(tmp_path / "app" / "second", archive=newer, ExtractLocation="1")
    unpacked = tmp_path / "app" / scramble("vt.App") / "app.jar"
    with first_instance(lane, first_exe, tmp_path, vm_app.hold_marker) as first:
        second = vm_app.run(second_exe, ["x"])
        on_disk = unpacked.read_bytes()
    assert second.status == 0 and second.stderr == "", second
    assert parse_report(second.stdout)["args"] == ["x"]
    assert first.status == 0, first.output
    if lane.windows:
        assert on_disk == vm_app.archive.read_bytes()  # held open by the first: kept
    else:
        assert on_disk == newer.read_bytes()  # moved into place ...
        assert "late class loaded" in first.output  # ... while the first VM went on reading its own


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
