"""The packer: what it writes into Windows and Linux launchers, what the
launcher reads back, repacking, refusals, and the Windows packer's output
against the Linux packer's.

Packed executables are made once per lane and reused by the tests below.
"""

import functools
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import LINUX_BUILD, WINDOWS_BUILD

PACKER = LINUX_BUILD / "tools" / "pack" / "vantrel-pack"
KEY = b"Tb4wQ81Zr6Ya0Pk7\0"
MAGIC = b"VTRLBND1"

LONG_CLASS = "com.example.deeply.nested.Main"          # longer than the 17-byte key
CLASS_255 = ("a." * 127) + "B"                           # exactly 255 bytes
assert len(CLASS_255) == 255

# An mtime with a sub-second part that survives the 100 ns FILETIME exactly.
MTIME_NS = 1_600_000_000 * 10**9 + 123_456_700


def scramble(name: str) -> str:
    data = name.encode()
    return "".join(f"{b ^ KEY[k % 17]:02X}" for k, b in enumerate(data))


def filetime(path: Path) -> int:
    ns = path.stat().st_mtime_ns
    return (ns // 10**9 + 11644473600) * 10**7 + (ns % 10**9) // 100


def expected_payload(paths) -> bytes:
    out = struct.pack("<I", len(paths))
    for p in paths:
        data = p.read_bytes()
        out += p.name.encode() + b"\0" + struct.pack("<QI", filetime(p), len(data)) + data
    return out


def read_bundle(path: Path) -> list:
    """(type, id, language, data) of an ELF launcher's appended bundle."""
    blob = path.read_bytes()
    assert blob[-8:] == MAGIC
    offset = struct.unpack("<Q", blob[-16:-8])[0]
    assert blob[offset:offset + 4] != MAGIC[:4]
    assert blob[offset - 8:offset] != MAGIC, "one bundle only"
    count = struct.unpack("<I", blob[offset:offset + 4])[0]
    at = offset + 4
    entries = []
    for _ in range(count):
        t, i, lang, size = struct.unpack("<IIII", blob[at:at + 16])
        entries.append((t, i, lang, blob[at + 16:at + 16 + size]))
        at += 16 + size
    assert at == len(blob) - 16
    return entries


def wrestool_list(path: Path) -> set:
    out = subprocess.run(["wrestool", "-l", str(path)], capture_output=True, text=True, check=True).stdout
    return {tuple(int(x) for x in m) for m in re.findall(r"--type=(\d+) --name=(\d+) --language=(\d+)", out)}


def pe_resource(path: Path, rtype: int, name: int) -> bytes:
    return subprocess.run(["wrestool", "-x", "-R", f"--type={rtype}", f"--name={name}", str(path)],
                          capture_output=True, check=True).stdout


def pe_headers(path: Path) -> dict:
    """Section count, stored checksum and the checksum computed as Windows does."""
    blob = bytearray(path.read_bytes())
    pe = struct.unpack_from("<I", blob, 0x3C)[0]
    checksum_at = pe + 24 + 64
    stored = struct.unpack_from("<I", blob, checksum_at)[0]
    blob[checksum_at:checksum_at + 4] = bytes(4)
    total = sum(struct.unpack_from(f"<{len(blob) // 2}H", blob)) + (blob[-1] if len(blob) % 2 else 0)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return {"sections": struct.unpack_from("<H", blob, pe + 6)[0], "checksum": stored,
            "computed_checksum": total + len(blob)}


def run_packer(*args, packer=PACKER, timeout=60):
    return subprocess.run([str(packer), *(a if isinstance(a, bytes) else str(a) for a in args)],
                          capture_output=True, timeout=timeout)


def pe_sections(blob: bytes) -> list:
    """(virtual address, raw pointer, raw size) of each section."""
    pe = struct.unpack_from("<I", blob, 0x3C)[0]
    count, optional = struct.unpack_from("<H", blob, pe + 6)[0], struct.unpack_from("<H", blob, pe + 20)[0]
    table = pe + 24 + optional
    return [(va, pointer, size) for va, size, pointer in
            (struct.unpack_from("<III", blob, table + 40 * i + 12) for i in range(count))]


# --- the packed executables, made once per lane (functools.cache) ---------------

@pytest.fixture(scope="module")
def work(tmp_path_factory):
    root = tmp_path_factory.mktemp("pack")
    (root / "lib").mkdir()
    (root / "app.jar").write_bytes(b"PK\3\4" + bytes(range(256)) * 40)
    (root / "lib" / "b.jar").write_bytes(b"second archive")
    (root / "empty.zip").write_bytes(b"")
    for name in ("app.jar", "lib/b.jar", "empty.zip"):
        os.utime(root / name, ns=(MTIME_NS, MTIME_NS))
    (root / "app.toml").write_text(
        "# application settings\n"
        f'MainClass = "{LONG_CLASS}"\n'
        'JvmOptions = "-Dgreeting=Grüße \\u20ac\\U0001D11E -Xmx64m"\n'
        "JvmVersion = \"\"\n"
        "ExtractLocation = 0\n"
        "StdOutMode = 2\n"
        "RemoveExtractedFiles = true\n"
        "AllowMultipleInstances = false\n"
        "KeepStartDirectory = true\n"
        "ServiceName = \"config value, overridden\"\n"
        'Archives = ["app.jar", "lib/b.jar"]\n'
        "MessageLanguage = 1031\n"
        "[Messages]\n"
        '1 = "From the file"\n'
        '21 = "Nur als Dienst: ü"\n', encoding="utf-8")
    return root


FULL_SETTINGS = {"ServiceName": "VantrelTest", "StdErrFile": "err €.log", "AppOptions": "a\\tb \\\\ c",
                 "ServiceOnly": "false"}
FULL_MESSAGES = {1: "First line\\nsecond line", 9: "Klasse fehlt: %s"}


@functools.cache
def pack_full(lane, work):
    return lane.pack_probe(work / f"full-{lane.name}", settings=FULL_SETTINGS, messages=FULL_MESSAGES,
                           config=work / "app.toml", extra_args=["--archive", work / "empty.zip"])


def test_probe_reads_back_every_kind_of_setting(lane, work):
    exe = pack_full(lane, work)
    c = lane.probe_config(exe)
    # Texts: "<null>" for empty, non-ASCII round trip, --set over the file.
    assert c["JvmVersion"] == ""
    assert c["JvmOptions"] == "-Dgreeting=Grüße €\U0001D11E -Xmx64m"
    assert c["ServiceName"] == "VantrelTest"
    assert c["StdErrFile"] == "err €.log"
    assert c["AppOptions"] == "a\\tb \\\\ c"
    assert c["JvmSearchOrder"] == "501234" and c["InstallSwitch"] == "-install"  # table defaults
    # Flags and numbers.
    assert (c["RemoveExtractedFiles"], c["AllowMultipleInstances"], c["KeepStartDirectory"]) == ("1", "0", "1")
    assert (c["ServiceOnly"], c["ShowJvmNotFoundMessage"]) == ("0", "1")
    assert (c["ExtractLocation"], c["StdOutMode"], c["StdErrMode"]) == ("0", "2", "0")
    # The scrambled main class: stored text and decoded name.
    assert c["EncodedMainClass"] == scramble(LONG_CLASS)
    assert c["MainClass"] == LONG_CLASS.replace(".", "/")
    # Messages: file, command line (a literal backslash-n is a line break), built-in.
    assert c["Message1"] == "First line\nsecond line"
    assert c["Message9"] == "Klasse fehlt: %s"
    assert c["Message21"] == "Nur als Dienst: ü"
    assert c["Message2"] == "Error accessing file/directory: %s"


def test_payload_holds_the_archives_in_order_with_exact_times(lane, work):
    exe = pack_full(lane, work)
    expected = expected_payload([work / "app.jar", work / "lib" / "b.jar", work / "empty.zip"])
    if lane.windows:
        assert pe_resource(exe, 10, 1) == expected
    else:
        entries = read_bundle(exe)
        assert [(t, i, lang) for t, i, lang, _ in entries] == [
            (6, 1, 1031), (6, 2, 1031), (6, 63, 0), (6, 64, 0), (6, 65, 0), (6, 66, 0), (6, 69, 0), (10, 1, 0)]
        assert entries[-1][3] == expected


def test_main_class_of_255_bytes_and_long_settings_are_read_whole(lane, work):
    text, non_ascii = "-Dlong=" + "x" * 3000, "a" * 1022 + "é" * 10
    exe = lane.pack_probe(work / f"long-{lane.name}", settings={
        "MainClass": CLASS_255, "JvmOptions": text, "ClassPath": "y" * 1023, "AppOptions": non_ascii})
    c = lane.probe_config(exe)
    assert c["EncodedMainClass"] == scramble(CLASS_255)
    assert c["MainClass"] == CLASS_255.replace(".", "/")
    assert (c["JvmOptions"], c["ClassPath"], c["AppOptions"]) == (text, "y" * 1023, non_ascii)


def test_repacking_a_packed_executable_replaces_its_resources(lane, work):
    first = pack_full(lane, work)
    again = lane.pack(work / f"again-{lane.name}", stub=first, settings={"MainClass": "x.Y"},
                      messages={2: "Zugriff: %s"}, message_language=1033)
    c = lane.probe_config(again)
    assert c["MainClass"] == "x/Y"
    assert c["JvmOptions"] == "-Xmx1024M"  # nothing of the first pack is left
    assert c["Message1"] == "An instance of this program is already running."
    assert c["Message2"] == "Zugriff: %s"
    if lane.windows:
        listed = wrestool_list(again)
        assert {(6, 1, 1033), (6, 2, 1033)} <= listed
        assert not {r for r in listed if r[0] == 10 or r[2] == 1031}
        # The first pack appended its resource section last; this one rewrote it in place.
        assert pe_headers(again)["sections"] == pe_headers(first)["sections"]
    else:
        types = [(t, i, lang) for t, i, lang, _ in read_bundle(again)]
        assert types == [(6, 1, 1033), (6, 2, 1033), (6, 63, 0), (6, 64, 0), (6, 65, 0), (6, 66, 0), (6, 69, 0)]


# --- Windows executables ---------------------------------------------------------

def test_packed_windows_launcher_keeps_the_stub_resources_and_runs(windows_lane, work):
    with_archives = windows_lane.pack(work / "launcher-archives", archives=[work / "app.jar"],
                                      settings={"JvmSearchOrder": "0", "JvmPath": ""},
                                      messages={4: "No Java here (min %s)"}, message_language=1031)
    without = windows_lane.pack(work / "launcher-plain")
    stub = {(t, n) for t, n, _ in wrestool_list(windows_lane.launcher)}
    assert {(3, 1), (14, 1), (16, 1), (24, 1)} <= stub
    ours = {(6, 1, 1031), (6, 2, 1031), (6, 63, 0), (6, 64, 0), (6, 65, 0), (6, 66, 0), (6, 69, 0)}
    listed = wrestool_list(with_archives)
    assert ours | {(10, 1, 0)} <= listed
    assert stub <= {(t, n) for t, n, _ in listed}
    assert pe_resource(with_archives, 24, 1) == pe_resource(windows_lane.launcher, 24, 1)
    assert pe_resource(with_archives, 16, 1) == pe_resource(windows_lane.launcher, 16, 1)
    plain = wrestool_list(without)
    assert not [r for r in plain if r[0] == 10]
    assert {(6, 1, 1028), (6, 2, 1028)} <= plain  # the default message language
    # A sound image: objdump reads its resource directory, the checksum holds.
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(with_archives)], capture_output=True, text=True)
    assert dump.returncode == 0 and "Resource Directory [.rsrc]" in dump.stdout, dump.stderr
    headers = pe_headers(with_archives)
    assert headers["checksum"] == headers["computed_checksum"]
    # Message 4, from the resources under language 1031, with the built-in minimum version.
    result = windows_lane.run(with_archives)
    assert "No Java here (min 1.8)" in result.stderr, result


# --- refusals ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def bad_inputs(work):
    (work / "notes.txt").write_text("not an executable\n")
    weird = work / "odd\\name.jar"
    weird.write_bytes(b"x")
    (work / "other").mkdir()
    (work / "other" / "app.jar").write_bytes(b"same name")
    (work / "broken.toml").write_text('MainClass = "a.B"\n\nJvmOptions = "unterminated\n')
    (work / "unknown.toml").write_text('JvmOption = "-Xmx1g"\n')
    (work / "nul.toml").write_bytes(b'JvmOptions = "-Da\0b"\n')
    return work


def _bad_cases(work: Path, stub: Path):
    a = ["--stub", stub]
    return [
        ("missing stub", ["--stub", work / "nope.exe"], 1, "stub not found"),
        ("default stub missing beside the Linux packer", [], 1, "vantrel.exe"),
        ("stub not an executable", ["--stub", work / "notes.txt"], 1, "neither a PE nor an ELF"),
        ("missing archive", a + ["--archive", work / "missing.jar"], 1, "archive not found"),
        ("archive name not plain", a + ["--archive", work / "odd\\name.jar"], 1, "not a plain file name"),
        ("two archives of one name", a + ["--archive", work / "app.jar", "--archive", work / "other" / "app.jar"],
         1, "two archives"),
        ("unknown key", a + ["--set", "JvmOption=x"], 2, "unknown key JvmOption"),
        ("set without value", a + ["--set", "JvmOptions"], 2, "KEY=VALUE"),
        ("main class too long", a + ["--set", "MainClass=" + "x" * 256], 1, "at most 255"),
        ("text too long", a + ["--set", "JvmOptions=" + "o" * 65536], 1, "65535"),
        ("message 0", a + ["--message", "0=x"], 2, "1 to 21"),
        ("message 22", a + ["--message", "22=x"], 2, "1 to 21"),
        ("message without number", a + ["--message", "text"], 2, "1 to 21"),
        ("language too big", a + ["--message-language", "65536"], 2, "language id"),
        ("language not a number", a + ["--message-language", "de-DE"], 2, "language id"),
        ("malformed config", a + ["--config", work / "broken.toml"], 1, "broken.toml:3: unterminated string"),
        ("unknown config key", a + ["--config", work / "unknown.toml"], 1, "unknown.toml:1: unknown key"),
        ("missing config", a + ["--config", work / "none.toml"], 1, "none.toml"),
        ("unknown option", a + ["--verbose"], 2, "unknown option --verbose"),
        ("invalid UTF-8", a + [b"--set", b"JvmOptions=\xff"], 1, "not valid UTF-8"),
        ("archive is a directory", a + ["--archive", work / "lib"], 1, "lib is not a file"),
        ("zero character in the config", a + ["--config", work / "nul.toml"], 1, "nul.toml:1: a text cannot hold a zero"),
        ("flag neither 0/1 nor true/false", a + ["--set", "RemoveExtractedFiles=yes"], 2, "is a flag"),
        ("number not decimal", a + ["--set", "ProcessPriority=0x10"], 2, "decimal 32-bit number"),
        ("number beyond 32 bits", a + ["--set", "ProcessPriority=99999999999"], 2, "decimal 32-bit number"),
        ("extract location not 0-2", a + ["--set", "ExtractLocation=3"], 2, "ExtractLocation is 0, 1 or 2"),
        ("stream mode not 0-2", a + ["--set", "StdErrMode=-1"], 2, "StdErrMode is 0, 1 or 2"),
        ("main class not UTF-8", a + [b"--set", b"MainClass=a\xffb"], 2, "MainClass is not valid UTF-8"),
        ("ELF stub cut short", ["--stub", work / "cut-probe"], 1, "not a valid ELF executable"),
    ]


@pytest.mark.parametrize("existing", [False, True], ids=["new-output", "existing-output"])
def test_bad_input_leaves_no_output(linux_lane, bad_inputs, existing):
    work = bad_inputs
    (work / "cut-probe").write_bytes(linux_lane.probe.read_bytes()[:linux_lane.probe.stat().st_size // 2])
    out_dir = work / ("existing" if existing else "fresh")
    out_dir.mkdir(exist_ok=True)
    out = out_dir / "out"
    if existing:
        out.write_bytes(b"previous output")
    failures = []
    for name, args, status, text in _bad_cases(work, linux_lane.probe):
        proc = run_packer(*args, "--out", out)
        err = proc.stderr.decode(errors="replace")
        lines = err.splitlines()
        if (proc.returncode != status or len(lines) != 1 or not lines[0].startswith("vantrel-pack: ")
                or text not in lines[0]):
            failures.append(f"{name}: status {proc.returncode}, stderr {err!r}")
        left = sorted(p.name for p in out_dir.iterdir())
        if left != (["out"] if existing else []):
            failures.append(f"{name}: left {left}")
        if existing and out.read_bytes() != b"previous output":
            failures.append(f"{name}: output changed")
    assert not failures, "\n".join(failures)


def test_special_files_are_refused_without_waiting(linux_lane, bad_inputs):
    work = bad_inputs / "special"
    work.mkdir()
    fifo = work / "fifo"
    os.mkfifo(fifo)
    outputs = [fifo]
    try:  # a device node of our own (root may make one), like /dev/null
        os.mknod(work / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        outputs.append(work / "null")
    except PermissionError:
        pass
    cases = [(["--out", out], f"output {out} is not a regular file") for out in outputs]
    cases += [(["--out", work / "o", option, fifo], f"{fifo} is not a regular file") for option in ("--archive", "--config")]
    for args, text in cases:
        proc = run_packer("--stub", linux_lane.probe, *args, timeout=20)
        assert proc.returncode == 1 and text in proc.stderr.decode(), (args, proc.stderr)
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert all(not stat.S_ISREG(p.stat().st_mode) for p in outputs) and len(list(work.iterdir())) == len(outputs)


def test_an_archive_over_2_gb_is_refused_before_it_is_read(linux_lane, tmp_path):
    big = tmp_path / "big.jar"
    with open(big, "wb") as f:
        f.truncate(1 << 31)  # sparse: costs no disk
    # The packer's peak memory, as its parent sees it.
    measure = ("import resource, subprocess, sys; p = subprocess.run(sys.argv[1:], capture_output=True); "
               "sys.stderr.write(p.stderr.decode()); "
               "print(p.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    proc = subprocess.run([sys.executable, "-c", measure, str(PACKER), "--stub", str(linux_lane.probe),
                           "--out", str(tmp_path / "out"), "--archive", str(big)], capture_output=True, text=True,
                          timeout=300)
    status, peak_kib = map(int, proc.stdout.split())
    assert status == 1 and "the archives together are larger than 2 GB" in proc.stderr, proc.stderr
    assert peak_kib < 256 * 1024, peak_kib
    assert not (tmp_path / "out").exists()


def test_write_errors_keep_their_reason(linux_lane, tmp_path):
    # A folder the packer may not write to; as root, the packer runs as nobody.
    top = Path(tempfile.mkdtemp(prefix="vantrel-readonly-"))
    try:
        top.chmod(0o755)
        (top / "ro").mkdir(mode=0o555)
        command = [str(PACKER), "--stub", str(linux_lane.probe), "--out", str(top / "ro" / "out")]
        if os.geteuid() == 0:
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]
        proc = subprocess.run(command, capture_output=True, text=True, timeout=60)
        assert proc.returncode == 1 and "Permission denied" in proc.stderr, proc.stderr
        assert "No such file" not in proc.stderr
    finally:
        shutil.rmtree(top)


def test_help_lists_every_key(linux_lane):
    proc = run_packer("--help")
    assert proc.returncode == 0
    text = proc.stdout.decode()
    for line in ("JvmVersion                  1001  text    1.8", "MainClass                   1012  class   Main",
                 "StdErrFileAppend            1043  flag    0", "Archives", "[Messages]"):
        assert line in text


# --- corrupt bundles on Linux --------------------------------------------------------

def _corruptions(blob: bytes):
    offset = struct.unpack("<Q", blob[-16:-8])[0]
    trailer = blob[-16:]
    yield "offset past the end", blob[:-16] + struct.pack("<Q", len(blob)) + MAGIC
    yield "huge entry count", blob[:offset] + struct.pack("<I", 0x7FFFFFFF) + blob[offset + 4:]
    first_size = offset + 4 + 12
    yield "entry size past the end", blob[:first_size] + struct.pack("<I", 0xFFFFFFF0) + blob[first_size + 4:]
    yield "bundle cut short", blob[:offset + 100] + trailer
    yield "trailer only", blob[:offset] + struct.pack("<Q", offset) + MAGIC[:7] + b"X"
    # Entries that do not end exactly at the bundle's end.
    count = struct.unpack("<I", blob[offset:offset + 4])[0]
    yield "count one short", blob[:offset] + struct.pack("<I", count - 1) + blob[offset + 4:]
    yield "trailing bytes", blob[:-16] + b"\0" + trailer
    at = offset + 4
    for _ in range(count):
        last, at = at, at + 16 + struct.unpack("<I", blob[at + 12:at + 16])[0]
    size = struct.unpack("<I", blob[last + 12:last + 16])[0]
    yield "last entry shrunk", blob[:last + 12] + struct.pack("<I", size - 1) + blob[last + 16:]


def test_corrupt_bundle_reads_as_no_resources(linux_lane, work):
    exe = pack_full(linux_lane, work)
    blob = exe.read_bytes()
    for name, damaged in _corruptions(blob):
        path = work / f"damaged-{name.replace(' ', '-')}"
        path.write_bytes(damaged)
        path.chmod(0o755)
        c = linux_lane.probe_config(path)
        assert (c["JvmOptions"], c["Message1"], c["EncodedMainClass"]) == ("", "", ""), name


# --- corrupt string tables on Windows ---------------------------------------------------

def test_corrupt_string_tables_read_as_absent(windows_lane, work):
    exe = windows_lane.pack_probe(work / "strings", settings={
        "JvmNotFoundDocument": "DOC-MARK", "JvmNotFoundCommand": "CMD-MARK", "JvmOptions": "-Xkeep"})
    blob = exe.read_bytes()
    block = blob.index("DOC-MARK".encode("utf-16-le")) - 2  # block 66 starts with entry 1040
    section = next(s for s in pe_sections(blob) if s[1] <= block < s[1] + s[2])
    rva = section[0] + block - section[1]
    entry = blob.index(struct.pack("<I", rva), section[1])  # its data entry in the resource tree
    command = blob.index("CMD-MARK".encode("utf-16-le")) - 2
    cases = {
        # Entry 1041 claims 65535 units: it and the entries after it are absent.
        "entry past its block": (command, struct.pack("<H", 0xFFFF), ("DOC-MARK", "")),
        # The block's data entry points outside the image: the whole block is absent.
        "data outside the image": (entry, struct.pack("<I", 0x7FFF0000), ("", "")),
    }
    for name, (at, patch, (document, command_text)) in cases.items():
        damaged = work / f"strings-{name.replace(' ', '-')}.exe"
        damaged.write_bytes(blob[:at] + patch + blob[at + len(patch):])
        c = windows_lane.probe_config(damaged)
        assert (c["JvmNotFoundDocument"], c["JvmNotFoundCommand"], c["JvmOptions"]) == \
            (document, command_text, "-Xkeep"), name


# --- the Windows packer ---------------------------------------------------------------

def test_windows_packer_output_is_identical_to_the_linux_packer(windows_lane, linux_lane, work):
    # Installed layout: the packer with the launcher beside it, which it
    # takes as the stub when none is named.
    install = work / "install"
    install.mkdir()
    packer_exe = install / "vantrel-pack.exe"
    packer_exe.write_bytes((WINDOWS_BUILD / "tools" / "pack" / "vantrel-pack.exe").read_bytes())
    (install / "vantrel.exe").write_bytes(windows_lane.launcher.read_bytes())
    common = ["--config", work / "app.toml", "--archive", work / "empty.zip", "--set", "StdErrFile=err €.log",
              "--message", "1=First line\\nsecond", "--message-language", "1036"]
    for stub, name in ((None, "launcher.exe"), (linux_lane.probe, "probe")):
        linux_out = work / f"linux-packer-{name}"
        windows_out = work / f"windows-packer-{name}"
        proc = run_packer("--stub", stub or windows_lane.launcher, "--out", linux_out, *common)
        assert proc.returncode == 0, proc.stderr
        args = ["--out", windows_lane.native_path(windows_out)]
        if stub is not None:
            args += ["--stub", windows_lane.native_path(stub)]
        args += [windows_lane.native_path(a) if isinstance(a, Path) else a for a in common]
        result = windows_lane.run(packer_exe, args)
        assert result.status == 0, result
        assert windows_out.read_bytes() == linux_out.read_bytes(), name


def test_windows_builds_stay_small_and_self_contained(windows_lane):
    for exe in (windows_lane.launcher, WINDOWS_BUILD / "tools" / "pack" / "vantrel-pack.exe"):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], capture_output=True, text=True).stdout
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        assert dlls <= {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll", "user32.dll"}, (exe, dlls)
        print(f"{exe.name}: {exe.stat().st_size} bytes, imports {sorted(dlls)}")
    assert windows_lane.launcher.stat().st_size < 200 * 1024
