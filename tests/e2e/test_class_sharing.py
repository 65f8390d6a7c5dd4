"""The class-data-sharing recipe of docs/faster-starts.md through the Linux
launcher on each installed JDK: the first start writes the archive when the
VM ends, whether main returns (DestroyJavaVM) or the application calls
System.exit, and a later start loads the application's classes from it,
also when it has unpacked the application's embedded JAR anew.
"""

import pytest

from test_launch import JDK_HOMES, jdk, java_apps, launch  # noqa: F401 (fixtures)

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
