"""The release archive, as a user gets it: scripts/release builds it from
this build's launchers and packers, the test unpacks it into a scratch folder
with unzip and packs and runs the sample with nothing but what it holds
(Linux: the Linux packer and launcher with an installed JDK; Windows lane:
vantrel-pack.exe and vantrel.exe under Wine, with the stand-in runtime,
since Wine has no Java). One version throughout: the archive's name,
`vantrel-pack --version` and the version information of the executables.
"""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import LINUX_BUILD, SOURCE_DIR, WINDOWS_BUILD

CONTENTS = {"vantrel.exe", "vantrelw.exe", "vantrel-pack.exe", "vantrel", "vantrel-pack", "README.md", "docs/", "docs/reference.md",
            "docs/faster-starts.md", "docs/troubleshooting.md", "sample/", "sample/Hello.java", "sample/hello.jar", "sample/hello.toml"}
STANDIN = WINDOWS_BUILD / "tests" / "standin" / "runtime" / "bin" / "server" / "jvm.dll"


def pe_file_version(path: Path) -> str:
    """major.minor.patch of the VS_FIXEDFILEINFO in a PE's version resource."""
    data = path.read_bytes()
    # The resource's key comes first (the packer's code holds the signature too).
    at = data.find(struct.pack("<I", 0xFEEF04BD), data.rfind("VS_VERSION_INFO".encode("utf-16-le")))
    assert at > 0, f"{path} has no version information"
    ms, ls = struct.unpack("<II", data[at + 8:at + 16])
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"


@pytest.fixture(scope="module")
def release(tmp_path_factory, wine):
    out = tmp_path_factory.mktemp("release")
    proc = subprocess.run([sys.executable, str(SOURCE_DIR / "scripts" / "release"), "--no-build", "--out", str(out),
                           "--linux-build", str(LINUX_BUILD), "--windows-build", str(WINDOWS_BUILD)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (archive,) = out.glob("vantrel-*.zip")
    version = re.fullmatch(r"vantrel-(\d+\.\d+\.\d+)\.zip", archive.name).group(1)
    scratch = tmp_path_factory.mktemp("unpacked")
    subprocess.run(["unzip", "-q", str(archive), "-d", str(scratch)], check=True, timeout=120)
    (folder,) = scratch.iterdir()
    assert folder.name == f"vantrel-{version}"
    return folder, version


def test_archive_holds_everything_in_one_version(release, windows_lane):
    folder, version = release
    assert {p.relative_to(folder).as_posix() + ("/" if p.is_dir() else "") for p in folder.rglob("*")} == CONTENTS
    packer = subprocess.run([str(folder / "vantrel-pack"), "--version"], capture_output=True, text=True)
    assert packer.stdout == f"vantrel-pack {version}\n"
    assert windows_lane.run(folder / "vantrel-pack.exe", ["--version"]).stdout.strip() == f"vantrel-pack {version}"
    for name in ("vantrel.exe", "vantrelw.exe", "vantrel-pack.exe"):
        assert pe_file_version(folder / name) == version, name
    for name, subsystem in (("vantrel.exe", 3), ("vantrelw.exe", 2)):  # console, windowed
        assert (folder / name).stat().st_size <= 200 * 1024, name
        data = (folder / name).read_bytes()
        assert struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 24 + 68)[0] == subsystem, name
    # The Linux executables are stripped and need no C++ runtime of the system.
    for name in ("vantrel", "vantrel-pack"):
        sections = subprocess.run(["objdump", "-h", str(folder / name)], capture_output=True, text=True).stdout
        assert ".debug_info" not in sections and ".symtab" not in sections, name
        needed = subprocess.run(["objdump", "-p", str(folder / name)], capture_output=True, text=True).stdout
        assert not re.search(r"NEEDED\s+lib(stdc\+\+|gcc_s)", needed), name
    assert (folder / "docs" / "reference.md").read_bytes() == (SOURCE_DIR / "docs" / "reference.md").read_bytes()
    # The README documents what the archive holds, and no text sends a user to
    # the sources' scripts, tests or build folders, which are not in it.
    readme = (folder / "README.md").read_text()
    for entry in sorted(CONTENTS - {"README.md", "docs/"}):
        assert "`" + ("sample/" if entry.startswith("sample/") else entry) in readme, entry
    for text in [readme, *(p.read_text() for p in (folder / "docs").iterdir())]:
        shown = re.sub(r"<!--.*?-->", "", text, flags=re.S)  # a comment for the sources' maintainers
        found = re.search(r".*(scripts/|tests/|ctest|build/|--preset).*", shown)
        assert found is None, found.group(0)


def test_sample_packs_and_runs_on_linux(release, linux_lane):
    folder, _ = release
    pack = subprocess.run([str(folder / "vantrel-pack"), "--config", "sample/hello.toml", "--stub", "vantrel",
                           "--out", "sample/hello"], cwd=folder, capture_output=True, text=True, timeout=60)
    assert pack.returncode == 0, pack.stderr
    # No JAVA_HOME: the launcher finds an installed runtime under /usr/lib/jvm.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("JAVA_", "_JAVA", "JDK_JAVA"))}
    run = subprocess.run([str(folder / "sample" / "hello")], capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run
    assert "Hello from a Vantrel launcher!" in run.stdout
    assert "arguments: --greeting | from AppOptions" in run.stdout
    assert f"launcher: {folder / 'sample' / 'hello'}" in run.stdout


def test_sample_packs_and_runs_under_wine(release, windows_lane):
    folder, _ = release
    # The packer beside vantrel.exe takes it as the stub; only the runtime
    # comes from outside the archive.
    pack = windows_lane.run(folder / "vantrel-pack.exe",
                            ["--config", "sample\\hello.toml", "--out", "sample\\Hello.exe",
                             "--set", f"JvmPath={windows_lane.native_path(STANDIN)}", "--set", "JvmSearchOrder=0"],
                            cwd=folder)
    assert pack.status == 0, pack
    result = windows_lane.run(folder / "sample" / "Hello.exe", ["one", "two words"])
    assert result.status == 0, result
    assert "standin main arg[1]=two words" in result.stdout, result
    assert re.search(r"standin option: -Djava\.class\.path=hello\.jar\s*$", result.stdout, re.M), result
