"""End-to-end harness: packs launchers with our own packer and runs them.

Every test that takes the `lane` fixture runs twice: once with the Linux
launcher natively and once with the Windows launcher under Wine. A lane packs
a launcher (or the test probe) from settings, messages and archives into the
test's temporary folder, runs it with arguments, environment and working
directory under a timeout, and returns what it printed and its exit status.

The Windows lane uses one private Wine prefix under the build tree,
initialised once, with a persistent wineserver for the whole run that is shut
down at the end, also when tests fail.
"""

import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
LINUX_BUILD = Path(os.environ.get("VANTREL_BUILD_DIR", SOURCE_DIR / "build" / "linux"))
WINDOWS_BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR", SOURCE_DIR / "build" / "windows"))
WINE = os.environ.get("VANTREL_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("VANTREL_WINESERVER", "wineserver")
# The test script requires both lanes; a developer may run one by hand.
REQUIRE_WINDOWS = os.environ.get("VANTREL_REQUIRE_WINDOWS") == "1"
# The lanes to run; the sanitizer build runs the Linux lane only.
LANES = os.environ.get("VANTREL_LANES", "linux,windows").split(",")

DEFAULT_TIMEOUT = 60

# The Linux launcher keeps its lock files, unpacked archives and capture
# pipes in its per-user folder, $XDG_CACHE_HOME/vantrel: a private one per
# test session keeps concurrent runs from different checkouts from seeing
# each other's instances. $XDG_RUNTIME_DIR is set too, and must go unused.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="vantrel-e2e-cache-")
os.environ["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="vantrel-e2e-run-")
# A Linux launcher installs its service as a systemd unit: never into the
# machine's own unit directory from a test.
os.environ["VANTREL_SYSTEMD_DIR"] = tempfile.mkdtemp(prefix="vantrel-e2e-units-")


def _exe(build: Path, relative: str, windows: bool) -> Path:
    return build / (relative + (".exe" if windows else ""))


@dataclass
class Result:
    stdout: str
    stderr: str
    status: int

    @property
    def out_lines(self):
        return self.stdout.splitlines()

    @property
    def err_lines(self):
        return self.stderr.splitlines()

    def __str__(self):
        return f"status {self.status}\n--- stdout\n{self.stdout}\n--- stderr\n{self.stderr}"


class Lane:
    """One build lane: how to pack and run its launchers."""

    def __init__(self, name: str, build: Path, windows: bool):
        self.name = name
        self.build = build
        self.windows = windows
        self.launcher = _exe(build, "vantrel", windows)
        # The windowed launcher (GUI subsystem), Windows only.
        self.windowed = build / "vantrelw.exe" if windows else None
        self.probe = _exe(build, "tests/vantrel-probe", windows)
        self.packer = _exe(LINUX_BUILD, "tools/pack/vantrel-pack", False)
        self.env_base = {}
        self.exe_suffix = ".exe" if windows else ""
        self.sep = "\\" if windows else "/"

    def native_path(self, path) -> str:
        """A host path as the launcher sees it (Wine maps / to Z:)."""
        path = str(path)
        if not self.windows:
            return path
        return "Z:" + path.replace("/", "\\")

    # --- packing ---------------------------------------------------------
    def pack(self, out: Path, settings=None, archives=(), messages=None, message_language=None,
             stub=None, config=None, extra_args=(), check=True):
        """Packs a launcher; returns the output path (or the Result when check=False)."""
        out = Path(out)
        if not out.suffix and self.windows:
            out = out.with_suffix(".exe")
        out.parent.mkdir(parents=True, exist_ok=True)
        args = [str(self.packer), "--stub", str(stub or self.launcher), "--out", str(out)]
        if config is not None:
            args += ["--config", str(config)]
        for key, value in (settings or {}).items():
            args += ["--set", f"{key}={value}"]
        for archive in archives:
            args += ["--archive", str(archive)]
        for number, text in (messages or {}).items():
            args += ["--message", f"{number}={text}"]
        if message_language is not None:
            args += ["--message-language", str(message_language)]
        args += list(extra_args)
        proc = subprocess.run(args, capture_output=True, text=True, timeout=DEFAULT_TIMEOUT)
        if not check:
            return Result(proc.stdout, proc.stderr, proc.returncode)
        assert proc.returncode == 0, f"packer failed ({proc.returncode}): {proc.stderr}"
        if not self.windows:
            out.chmod(0o755)
        return out

    def pack_probe(self, out: Path, **kwargs):
        return self.pack(out, stub=self.probe, **kwargs)

    # --- running ---------------------------------------------------------
    def command(self, exe, args=()):
        if self.windows:
            return [WINE, str(exe), *map(str, args)]
        return [str(exe), *map(str, args)]

    def environment(self, env=None, unset=()):
        # No display for Wine unless a test gives one: a windowed launcher's
        # message box then returns at once, and its report goes to stderr too.
        unset = (*unset, "DISPLAY") if self.windows else unset
        full = {name: value for name, value in {**os.environ, **self.env_base}.items() if name not in unset}
        return {**full, **(env or {})}

    def start(self, exe, args=(), env=None, cwd=None, unset=()):
        """Starts a launcher without waiting (for second-instance tests)."""
        return subprocess.Popen(self.command(exe, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True, cwd=str(cwd) if cwd else None,
                                env=self.environment(env, unset))

    def run(self, exe, args=(), env=None, cwd=None, timeout=DEFAULT_TIMEOUT, unset=("JAVA_HOME",)):
        proc = subprocess.run(self.command(exe, args), capture_output=True, text=True, input="", errors="replace",
                              cwd=str(cwd) if cwd else None, env=self.environment(env, unset), timeout=timeout)
        return Result(proc.stdout, proc.stderr, proc.returncode)

    def exit_status(self, status: int) -> int:
        """The host's view of a launcher's exit status (both lanes see 8 bits)."""
        return status & 0xFF

    def probe_config(self, exe, args=(), **kwargs) -> dict:
        """Runs a packed probe and parses the record it prints."""
        result = self.run(exe, args, **kwargs)
        assert result.status == 0, f"probe failed: {result}"
        return parse_record(result)


def parse_record(result: Result) -> dict:
    """The probe's record: "Name=value" lines; the probe escapes backslash as
    \\\\ and a line feed as \\n."""
    def unescape(value):
        return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), value)
    return {name: unescape(value) for name, _, value in (line.partition("=") for line in result.out_lines)}


# --- Wine ------------------------------------------------------------------

class WineSession:
    def __init__(self, prefix: Path):
        self.prefix = prefix
        self.env = {"WINEPREFIX": str(prefix), "WINEDEBUG": os.environ.get("VANTREL_WINEDEBUG", "-all"),
                    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
        # The stderr of the session's first process, which starts services.exe:
        # the services it starts write their event-log trace lines there.
        self.services_log = prefix.parent / "wine-services.log"
        self.started = False

    def _run(self, args, timeout=180):
        return subprocess.run(args, env={**os.environ, **self.env}, capture_output=True, text=True, timeout=timeout)

    def start(self):
        # Everything started here runs on as a daemon (the persistent server,
        # and the services that the first process of a server starts): none
        # may inherit pipes that we would wait on until it ends.
        quiet = dict(env={**os.environ, **self.env}, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.prefix.mkdir(parents=True, exist_ok=True)
        if not (self.prefix / "system.reg").exists():
            # Making a prefix leaves two services.exe behind, and a service
            # then cannot reach its manager: a session of its own makes it.
            subprocess.run([WINESERVER, "-p"], timeout=60, **quiet)
            subprocess.run([WINE, "wineboot", "-i"], timeout=300, **quiet)
            subprocess.run([WINESERVER, "-k"], timeout=60, **quiet)
            subprocess.run([WINESERVER, "-w"], timeout=60, **quiet)
        # A persistent server keeps services and named objects alive between
        # the commands of the run.
        subprocess.run([WINESERVER, "-p"], timeout=60, **quiet)
        self.started = True
        # Event-log entries of services show up only as trace lines of the
        # session's first process (the one that starts services.exe).
        with open(self.services_log, "wb") as log:
            subprocess.run([WINE, "cmd", "/c", "exit"], timeout=120,
                           **{**quiet, "stderr": log,
                              "env": {**quiet["env"], "WINEDEBUG": "trace+eventlog,fixme+advapi"}})
        # The desktop's process, which the first window of the session would
        # start with that program's standard streams (a windowed launcher's
        # message box, run with its output read through pipes).
        subprocess.run([WINE, "rundll32.exe", "user32.dll,GetDesktopWindow"], timeout=120, **quiet)

    def stop(self):
        if self.started:
            self._run([WINESERVER, "-k"], timeout=60)
            self.started = False

    def reg(self, *args):
        """Runs `reg` inside the prefix (add/delete of runtime keys)."""
        return self._run([WINE, "reg", *args], timeout=60)


_wine_session = None


def wine_available() -> bool:
    return Path(WINE).exists() and _exe(WINDOWS_BUILD, "vantrel", True).exists()


@pytest.fixture(scope="session")
def wine():
    global _wine_session
    if not wine_available():
        if REQUIRE_WINDOWS:
            pytest.fail("the Windows lane is required but Wine or the Windows build is missing")
        pytest.skip("Windows lane not built")
    if _wine_session is None:
        _wine_session = WineSession(WINDOWS_BUILD / "wineprefix")
        _wine_session.start()
    return _wine_session


def pytest_sessionfinish(session, exitstatus):
    if _wine_session is not None:
        _wine_session.stop()
    for name in ("XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
        shutil.rmtree(os.environ[name], ignore_errors=True)


@pytest.fixture(scope="session")
def linux_lane():
    lane = Lane("linux", LINUX_BUILD, False)
    if not lane.launcher.exists():
        pytest.fail(f"Linux launcher missing: {lane.launcher}")
    return lane


@pytest.fixture(scope="session")
def windows_lane(request):
    if "windows" not in LANES:
        pytest.skip("the Windows lane is not run with this build")
    wine = request.getfixturevalue("wine")
    lane = Lane("windows", WINDOWS_BUILD, True)
    lane.env_base = dict(wine.env)
    lane.wine = wine
    return lane


@pytest.fixture(params=LANES)
def lane(request):
    return request.getfixturevalue(f"{request.param}_lane")
