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
import time
import zlib
from pathlib import Path

import pytest

from conftest import LINUX_BUILD, WINDOWS_BUILD

PACKER = LINUX_BUILD / "tools" / "pack" / "vantrel-pack"
KEY = b"Tb4wQ81Zr6Ya0Pk7\0"
MAGIC = b"VTRLBND1"
# The string-table blocks of the settings (ids 1001-1043, 1101, 1105-1113 and 1125-1135).
SETTING_BLOCKS = [(6, block, 0) for block in (63, 64, 65, 66, 69, 70, 71)]

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
            (6, 1, 1031), (6, 2, 1031), *SETTING_BLOCKS, (10, 1, 0)]
        assert entries[-1][3] == expected


def test_main_class_of_255_bytes_and_long_settings_are_read_whole(lane, work):
    text, non_ascii = "-Dlong=" + "x" * 3000, "a" * 1022 + "é" * 10
    exe = lane.pack_probe(work / f"long-{lane.name}", settings={
        "MainClass": CLASS_255, "JvmOptions": text, "ClassPath": "y" * 1023, "AppOptions": non_ascii})
    c = lane.probe_config(exe)
    assert c["EncodedMainClass"] == scramble(CLASS_255)
    assert c["MainClass"] == CLASS_255.replace(".", "/")
    assert (c["JvmOptions"], c["ClassPath"], c["AppOptions"]) == (text, "y" * 1023, non_ascii)


def listed_archives(exe: Path) -> list:
    """(name, size) of the archives `vantrel-pack --list` shows."""
    lines = run_packer("--list", exe).stdout.decode().splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("Archives"))
    return [(line.split()[0], int(line.split()[1])) for line in lines[at + 1:]]


def test_repacking_keeps_what_the_stub_carries_unless_reset(lane, work):
    first = pack_full(lane, work)  # app.jar, b.jar, empty.zip; messages in 1031
    (work / "new").mkdir(exist_ok=True)
    (work / "new" / "app.jar").write_bytes(b"PK\3\4 replaced")
    (work / "new" / "more.jar").write_bytes(b"PK\3\4 added")
    kept = lane.pack(work / f"kept-{lane.name}", stub=first, settings={"JvmVersion": "17"},
                     archives=[work / "new" / "more.jar", work / "new" / "app.jar"], check=False)
    assert kept.status == 0, kept
    # Every setting is written at packing, so the stub carries as many as the table has.
    said = kept.stdout.splitlines()
    assert len(said) == 2 and re.fullmatch(rf"vantrel-pack: kept what {re.escape(str(first))} carries \(\d+ settings, "
                                           r"21 messages, 3 archives\); --reset starts from the bare launcher", said[0])
    assert said[1] == "vantrel-pack: archive app.jar replaces the one the stub carries", kept
    c = lane.probe_config(work / f"kept-{lane.name}{lane.exe_suffix}")
    assert (c["JvmVersion"], c["MainClass"], c["ServiceName"]) == ("17", LONG_CLASS.replace(".", "/"), "VantrelTest")
    assert (c["Message1"], c["Message21"]) == ("First line\nsecond line", "Nur als Dienst: ü")
    # The new app.jar takes the old one's place; more.jar comes last.
    assert listed_archives(work / f"kept-{lane.name}{lane.exe_suffix}") == [
        ("app.jar", 13), ("b.jar", 14), ("empty.zip", 0), ("more.jar", 10)]

    again = lane.pack(work / f"again-{lane.name}", stub=first, settings={"MainClass": "x.Y"},
                      messages={2: "Zugriff: %s"}, message_language=1033, extra_args=["--reset"])
    c = lane.probe_config(again)
    assert c["MainClass"] == "x/Y"
    assert c["JvmOptions"] == "-Xmx1024M"  # nothing of the first pack is left
    assert c["Message1"] == "An instance of this program is already running."
    assert c["Message2"] == "Zugriff: %s"
    assert listed_archives(again) == []
    if lane.windows:
        listed = wrestool_list(again)
        assert {(6, 1, 1033), (6, 2, 1033)} <= listed
        assert not {r for r in listed if r[0] == 10 or r[2] == 1031}
        # The first pack appended its resource section last; this one rewrote it in place.
        assert pe_headers(again)["sections"] == pe_headers(first)["sections"]
    else:
        types = [(t, i, lang) for t, i, lang, _ in read_bundle(again)]
        assert types == [(6, 1, 1033), (6, 2, 1033), *SETTING_BLOCKS]


def test_packed_windows_launcher_keeps_the_stub_resources_and_runs(windows_lane, work):
    with_archives = windows_lane.pack(work / "launcher-archives", archives=[work / "app.jar"],
                                      settings={"JvmSearchOrder": "0", "JvmPath": ""},
                                      messages={4: "No Java here (min %s)"}, message_language=1031)
    without = windows_lane.pack(work / "launcher-plain")
    stub = {(t, n) for t, n, _ in wrestool_list(windows_lane.launcher)}
    assert {(3, 1), (14, 1), (16, 1), (24, 1)} <= stub
    ours = {(6, 1, 1031), (6, 2, 1031), *SETTING_BLOCKS}
    listed = wrestool_list(with_archives)
    assert ours | {(10, 1, 0)} <= listed
    assert stub <= {(t, n) for t, n, _ in listed}
    assert pe_resource(with_archives, 24, 1) == pe_resource(windows_lane.launcher, 24, 1)
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


# --- what Windows shows: icon, version information, manifest ------------------------

def png_image(side: int) -> bytes:
    rows = b"".join(b"\0" + bytes((200, 30, 30, 255)) * side for _ in range(side))
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))  # noqa: E731
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bitmap_image(side: int, bits: int) -> bytes:
    """An icon's bitmap: header (twice the height, for colours and mask), colour table, pixels, mask."""
    colours = 1 << bits if bits <= 8 else 0
    rows = (side * bits + 31) // 32 * 4 * side + (side + 31) // 32 * 4 * side
    return struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, 0, 0) + b"\x40\x80\xc0\0" * colours \
        + b"\x7f" * rows


def ico_file(*images: bytes, kind=1) -> bytes:
    """An .ico file; its directory says nothing of the images (the packer reads them)."""
    out, body = struct.pack("<HHH", 0, kind, len(images)), b""
    for image in images:
        out += struct.pack("<BBBBHHII", 0, 0, 0, 0, 0, 0, len(image), 6 + 16 * len(images) + len(body))
        body += image
    return out + body


def resource_query(lane, exe: Path) -> dict:
    """What Windows reads of the icon, version information and manifest, through its own API."""
    result = lane.run(lane.build / "tests" / "standin" / "resource_query.exe", [lane.native_path(exe)])
    assert result.status == 0, result
    return dict(line.split("=", 1) for line in result.out_lines)


def test_icon_version_and_manifest_are_what_windows_reads(windows_lane, work):
    lane, stub = windows_lane, windows_lane.launcher
    (work / "desktop").mkdir()
    (work / "desktop" / "app.ico").write_bytes(ico_file(bitmap_image(16, 32), bitmap_image(32, 8), png_image(256)))
    own = pe_resource(stub, 24, 1).replace(b'level="asInvoker"', b'level="requireAdministrator"')
    (work / "desktop" / "own.manifest").write_bytes(own)
    (work / "desktop" / "app.toml").write_text(
        'Icon = "app.ico"\nFileVersion = "1.4.2"\nProductName = "Fine"\nDpiAwareness = "PerMonitorV2"\n', "utf-8")
    full = lane.pack(work / "desktop" / "Desk", config=work / "desktop" / "app.toml", settings={
        "ProductVersion": "2.0.0.7", "CompanyName": "Example Ltd", "FileDescription": "Fine app \U0001F600",
        "LegalCopyright": "\u00a9 2024", "Comments": "c", "ExecutionLevel": "highestAvailable",
        "JvmSearchOrder": "0"})
    plain = lane.pack(work / "desktop" / "Plain")
    same = lane.pack(work / "desktop" / "Same", settings={"ExecutionLevel": "asInvoker"})
    owned = lane.pack(work / "desktop" / "Own", extra_args=["--manifest", work / "desktop" / "own.manifest"])

    # Every image of the file, under the stub's language; the stub's own ones are gone.
    assert {(t, n, lang) for t, n, lang in wrestool_list(full) if t in (3, 14)} == \
        {(3, 1, 1033), (3, 2, 1033), (3, 3, 1033), (14, 1, 1033)}
    assert resource_query(lane, full) == {
        "version.fixed": "1.4.2.0/2.0.0.7", "version.CompanyName": "Example Ltd",
        "version.FileDescription": "Fine app \U0001F600", "version.FileVersion": "1.4.2",
        "version.InternalName": "Desk", "version.LegalCopyright": "\u00a9 2024", "version.OriginalFilename": "Desk.exe",
        "version.ProductName": "Fine", "version.ProductVersion": "2.0.0.7", "version.Comments": "c",
        "icon.16": "16x16", "icon.32": "32x32", "icon.48": "32x32", "icon.256": "256x256",
        "manifest.runlevel": "2", "manifest.activeCodePage": "UTF-8", "manifest.dpiAware": "true/pm",
        "manifest.dpiAwareness": "PerMonitorV2, PerMonitor"}
    # Unset, the version information describes the executable, and the
    # stub's icon and manifest stay; the manifest the packer writes for the
    # defaults is the stub's own.
    read = resource_query(lane, plain)
    assert {k: v for k, v in read.items() if k.startswith("version.")} == {
        "version.fixed": "1.0.0.0/1.0.0.0", "version.FileDescription": "Plain", "version.FileVersion": "1.0.0.0",
        "version.InternalName": "Plain", "version.OriginalFilename": "Plain.exe", "version.ProductName": "Plain",
        "version.ProductVersion": "1.0.0.0"}
    for t in (3, 14, 24):
        assert pe_resource(plain, t, 1) == pe_resource(stub, t, 1), t
    assert pe_resource(same, 24, 1) == pe_resource(stub, 24, 1)
    assert pe_resource(owned, 24, 1) == own and resource_query(lane, owned)["manifest.runlevel"] == "3"
    # It still starts: message 4, as the runtime search finds nothing.
    result = lane.run(full)
    assert lane.exit_status(result.status) == 255 and "Unable to locate suitable Java Runtime" in result.stderr, result


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
    good = ico_file(bitmap_image(16, 32))
    (work / "cursor.ico").write_bytes(ico_file(bitmap_image(16, 32), kind=2))
    (work / "outside.ico").write_bytes(good[:6 + 12] + struct.pack("<I", len(good)) + good[6 + 16:])
    (work / "cut.ico").write_bytes(ico_file(bitmap_image(16, 32)[:-1]))
    (work / "deep.ico").write_bytes(ico_file(bitmap_image(16, 32)[:14] + b"\x07" + bitmap_image(16, 32)[15:]))
    (work / "ansi.manifest").write_text(
        '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><!-- <activeCodePage>UTF-8'
        '</activeCodePage> --></assembly>')
    return work


def _bad_cases(work: Path, stub: Path):
    a = ["--stub", stub]
    return [
        ("missing stub", ["--stub", work / "nope.exe"], 1, "stub not found"),
        ("default stub missing beside the Linux packer", [], 1, "vantrel.exe"),
        ("stub not an executable", ["--stub", work / "notes.txt"], 1, "neither a PE nor an ELF"),
        ("missing archive", a + ["--archive", work / "missing.jar"], 1, "archive not found"),
        ("archive name not plain", a + ["--archive", work / "odd\\name.jar"], 1, "not a plain file name"),
        ("control characters shown escaped", a + ["--archive", work / "x\x1b[2J\ry.jar"], 1,
         '"x\\x1b[2J\\x0dy.jar" is not a plain file name'),
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
        ("extract location not 0-2", a + ["--set", "ExtractLocation=3"], 2, "ExtractLocation is a number from 0 to 2"),
        ("stream mode not 0-2", a + ["--set", "StdErrMode=-1"], 2, "StdErrMode is a number from 0 to 2, got -1"),
        ("priority out of range", a + ["--set", "ProcessPriority=9"], 2, "ProcessPriority is a number from -1 to 5"),
        ("no stop timeout", a + ["--set", "ServiceStopTimeout=0"], 2, "ServiceStopTimeout is a number from 1 to 3600"),
        ("environment pair without =", a + ["--set", 'Environment=A=1 "B C"'], 2, '"B C" is none: it has no \'=\''),
        ("environment name not a name", a + ["--set", "Environment=A-B=1"], 2, "its name holds other characters"),
        ("main class with a blank", a + ["--set", "MainClass=com acme.App"], 2, "MainClass is a Java class name"),
        ("main class as a file", a + ["--set", "MainClass=com/acme/App.class"], 2, '"com/acme/App.class"'),
        ("main class with .class", a + ["--set", "MainClass=com.acme.App.class"], 2, "MainClass is a Java class name"),
        ("version not a version", a + ["--set", "JvmVersion=eleven"], 2, 'JvmVersion is a list of versions'),
        ("version read otherwise", a + ["--set", "JvmVersion=1.8;>9"], 2, '">9" is read as >=0.9; write >9.0'),
        ("main class not UTF-8", a + [b"--set", b"MainClass=a\xffb"], 2, "MainClass is not valid UTF-8"),
        ("ELF stub cut short", ["--stub", work / "cut-probe"], 1, "not a valid ELF executable"),
        ("icon missing", a + ["--icon", work / "none.ico"], 1, "icon not found"),
        ("icon not an icon", a + ["--icon", work / "notes.txt"], 1, "not a valid icon file: no icon header"),
        ("icon a cursor", a + ["--icon", work / "cursor.ico"], 1, "holds a cursor"),
        ("icon image outside the file", a + ["--icon", work / "outside.ico"], 1, "image 1 lies outside the file"),
        ("icon image cut short", a + ["--icon", work / "cut.ico"], 1, "image 1 is a bitmap cut short"),
        ("icon of 7 bits per pixel", a + ["--icon", work / "deep.ico"], 1, "a bitmap of 7 bits per pixel"),
        ("manifest without the UTF-8 code page", a + ["--manifest", work / "ansi.manifest"], 1,
         "does not keep the UTF-8 active code page"),
        ("manifest and a manifest setting", a + ["--manifest", work / "ansi.manifest", "--set", "DpiAwareness=system"],
         1, "set them in that file"),
        ("version not numbers", a + ["--set", "FileVersion=1.2-beta"], 2, "FileVersion is one to four numbers"),
        ("version number too large", a + ["--set", "ProductVersion=1.65536"], 2, "ProductVersion is one to four"),
        ("unknown execution level", a + ["--set", "ExecutionLevel=admin"], 2,
         "ExecutionLevel is asInvoker, highestAvailable or requireAdministrator"),
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
    for line in ("JvmVersion                  1001  version  1.8", "MainClass                   1012  class    Main",
                 "StdErrFileAppend            1043  flag     0", "ProcessPriority             1033  number   3",
                 "FileVersion                 1125  text     1.0.0.0", "--icon FILE", "--manifest FILE",
                 "Archives", "[Messages]"):
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
        # One file name: the version information names the executable.
        linux_out = work / "linux-packer" / name
        windows_out = work / "windows-packer" / name
        linux_out.parent.mkdir(exist_ok=True)
        windows_out.parent.mkdir(exist_ok=True)
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


# --- signing after packing ----------------------------------------------------------------

def standin_settings(lane, **settings):
    runtime = lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"
    return {"MainClass": "vt.App", "JvmPath": lane.native_path(runtime), "JvmSearchOrder": "0", "JvmVersion": "",
            "JvmOptions": "-Dstandin.script=args", **settings}


def test_signed_after_packing_verifies_and_runs(windows_lane, tmp_path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Vantrel test signer", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True, timeout=60)
    archive = tmp_path / "app.jar"
    archive.write_bytes(b"PK\x05\x06" + bytes(18))
    exe = windows_lane.pack(tmp_path / "app", settings=standin_settings(windows_lane), archives=[archive])
    signed = tmp_path / "signed.exe"
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Signed app", "-in", exe, "-out", signed],
                   check=True, capture_output=True, timeout=60)
    verify = lambda path: subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],  # noqa: E731
                                         capture_output=True, text=True, timeout=60)
    assert verify(signed).returncode == 0, verify(signed).stdout
    # The payload is inside the signed image: the archive is unpacked and main runs.
    result = windows_lane.run(signed, ["one"])
    assert result.status == 0 and "standin main arg[0]=one" in result.stdout, result
    assert (tmp_path / "app.jar").read_bytes() == archive.read_bytes()
    # Packing a signed launcher again leaves an unsigned one, and says so.
    again = windows_lane.pack(tmp_path / "again", stub=signed, settings={"JvmVersion": "11"}, check=False)
    assert again.status == 0 and f"the stub {signed} is signed; the signature is removed" in again.stderr, again
    assert "Signing" in again.stderr, again
    assert verify(tmp_path / "again.exe").returncode != 0
    assert re.search(r"^  JvmVersion +11$", run_packer("--list", tmp_path / "again.exe").stdout.decode(), re.M)


# --- the windowed launcher ------------------------------------------------------------

_MESSAGE_BOX = re.compile(r'Call user32\.MessageBoxA\([0-9a-f]+,[0-9a-f]+ "((?:[^"\\]|\\.)*)",'
                          r'(?:[0-9a-f]+ "((?:[^"\\]|\\.)*)"|0+),([0-9a-f]+)\)')


def _relay_text(text):
    """A string as Wine's relay trace writes it, back to the string."""
    escapes = {"n": b"\n", "r": b"\r", "t": b"\t"}
    raw = re.sub(rb"\\(x[0-9a-f]{2}|.)", lambda m: bytes([int(m.group(1)[1:], 16)]) if len(m.group(1)) == 3
                 else escapes.get(m.group(1).decode(), m.group(1)), text.encode("latin-1"))
    return raw.decode("utf-8")


def windows_shown(stderr: str):
    """The message boxes (text, title, style) and the console allocations in a relay trace."""
    boxes = [(_relay_text(t), _relay_text(title) if title else None, int(style, 16))
             for t, title, style in _MESSAGE_BOX.findall(stderr)]
    return boxes, len(re.findall(r"Call kernel32\.AllocConsole\(", stderr, re.I))


@pytest.fixture(scope="module")
def relay(windows_lane):
    """The environment that traces the message boxes and console allocations
    of a Wine process (and only those calls) on its stderr."""
    key = r"HKCU\Software\Wine\Debug"
    windows_lane.wine.reg("add", key, "/v", "RelayInclude", "/d",
                          "user32.MessageBoxA;kernel32.AllocConsole;kernelbase.AllocConsole", "/f")
    yield {"WINEDEBUG": "+relay"}
    windows_lane.wine.reg("delete", key, "/v", "RelayInclude", "/f")


ERROR_BOX, INFORMATION_BOX = 0x10010, 0x10040  # MB_SETFOREGROUND with MB_ICONERROR / MB_ICONINFORMATION


def test_windowed_launcher_reports_in_message_boxes(windows_lane, relay, tmp_path):
    lane = windows_lane
    mutex = f"vt/Windowed{os.getpid()}"  # the mutex is named after the main class
    holder = lane.start(lane.build / "tests" / "hold_mutex.exe", [mutex])
    assert holder.stdout.readline().strip() == "held"
    runtime = lane.native_path(lane.build / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll")
    title = {"ProductName": "Box Test \u00e9"}
    not_found = "Unable to locate suitable Java Runtime (min 1.8) on this machine."
    cases = [  # name, settings, expected boxes, exit status
        ("no runtime", {"JvmSearchOrder": "0", "JvmPath": "", **title}, [(not_found, ERROR_BOX)], 255),
        ("no VM", standin_settings(lane, JvmOptions="-Xbogus", **title),
         [(f"Unable to create JVM instance using {runtime}", ERROR_BOX)], 255),
        ("no class", standin_settings(lane, JvmOptions="-Dstandin.script=noclass", **title),
         [("Error locating class: vt/App", ERROR_BOX)], 255),
        ("settings file too large", {"JvmSearchOrder": "0", "JvmPath": "", "SettingsFile": "big.ini", **title},
         [(f"The settings file {lane.native_path(tmp_path / 'settings file too large' / 'big.ini')} is larger than "
           "1048576 bytes and was ignored.", ERROR_BOX), (not_found, ERROR_BOX)], 255),
        ("second instance", {"AllowMultipleInstances": "0", "MainClass": mutex.replace("/", "."), **title},
         [("An instance of this program is already running.", ERROR_BOX)], 0),
        ("service only", {"ServiceName": "VtWindowed", "ServiceOnly": "1", **title},
         [("This program can only be run as a service.", INFORMATION_BOX)], 0),
        # Without a product name, the executable's name.
        ("untitled", {"JvmSearchOrder": "0", "JvmPath": ""}, [(not_found, ERROR_BOX)], 255),
    ]
    try:
        for name, settings, expected, status in cases:
            exe = lane.pack(tmp_path / name / "Windowed App", stub=lane.windowed, settings=settings)
            if "SettingsFile" in settings:
                (exe.parent / "big.ini").write_bytes(b"[Application Configuration]\n" + b";" * (1 << 20))
            result = lane.run(exe, env=relay)
            boxes, consoles = windows_shown(result.stderr)
            want_title = settings.get("ProductName", "Windowed App")
            assert boxes == [(text, want_title, style) for text, style in expected], (name, boxes, result.stderr[-2000:])
            assert consoles == 0 and lane.exit_status(result.status) == status, (name, result.status)
    finally:
        holder.terminate()
        holder.wait(timeout=30)


def test_windowed_launcher_runs_main_as_the_console_launcher_does(windows_lane, relay, tmp_path):
    lane = windows_lane
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(lane.windowed)], capture_output=True, text=True)
    assert re.search(r"Subsystem\s+00000002", dump.stdout), dump.stdout
    outputs = {}
    for stub, folder in ((lane.launcher, "stub-console"), (lane.windowed, "stub-windowed")):
        exe = lane.pack(tmp_path / folder / "app", stub=stub, settings=standin_settings(lane))
        result = lane.run(exe, ["a b", "\u00e9"], env=relay)
        assert result.status == 0, result
        outputs[folder] = [re.sub(r"thread \d+", "thread N", line.replace(folder, "FOLDER"))
                           for line in result.out_lines if line.startswith("standin ")]
        # Not a window or console of its own.
        assert windows_shown(result.stderr) == ([], 0), (stub, result.stderr[-2000:])
    assert outputs["stub-windowed"] == outputs["stub-console"]
    assert "standin main arg[1]=\u00e9" in outputs["stub-windowed"]


def test_windowed_message_box_waits_on_the_screen(windows_lane, relay, tmp_path):
    """On a virtual screen (Xvfb), on a Wine desktop of its own: the box
    appears with the product name as its title, and the launcher waits until
    the user has closed it."""
    lane = windows_lane
    exe = lane.pack(tmp_path / "Shown", stub=lane.windowed,
                    settings={"JvmSearchOrder": "0", "JvmPath": "", "ProductName": "Shown On Screen"})
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    log = tmp_path / "relay.log"
    try:
        with os.fdopen(read) as display_number:
            display = {"DISPLAY": ":" + display_number.readline().strip()}
        x = {**os.environ, **display}
        with open(log, "w") as out:
            app = subprocess.Popen(lane.command("explorer", ["/desktop=VantrelTest", lane.native_path(exe)]),
                                   stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   env=lane.environment({**display, **relay}))
        find = ["xdotool", "search", "--name", "^Shown On Screen$"]
        deadline = time.monotonic() + 60
        while subprocess.run(find, env=x, capture_output=True).returncode != 0:
            assert app.poll() is None and time.monotonic() < deadline, f"no message box: {log.read_text()[-2000:]}"
            time.sleep(0.2)
        time.sleep(1)
        shown = log.read_text(errors="replace")
        assert app.poll() is None and "Ret  user32.MessageBoxA" not in shown, "the launcher did not wait"
        assert windows_shown(shown)[0] == [
            ("Unable to locate suitable Java Runtime (min 1.8) on this machine.", "Shown On Screen", ERROR_BOX)]
        subprocess.run(["xdotool", "key", "Return"], env=x, check=True, timeout=30)
        app.wait(timeout=60)
        assert re.search(r"Ret  user32\.MessageBoxA\(\) retval=00000001", log.read_text(errors="replace"))
    finally:
        server.terminate()
        server.wait(timeout=30)
