#!/usr/bin/env python3
"""End-to-end cases of the real BrisvaneUpgrade.exe under Wine.

Usage: wine_e2e.py --bin DIR --standins DIR --work DIR [--case NAME ...]
                   [--demo]

--bin holds BrisvaneUpgrade.exe, upgrade-request.exe and the example client
brisvane-example.exe (scripts/build-windows), --standins the cross-compiled
standin.exe, window_message.exe and run_limited.exe. Everything
else lives in --work: a private Wine prefix (made once, reused), the served
files, screenshots. Runs an Xvfb display, a persistent wineserver and the
project's test HTTP server (tests/support/http_server.py) on 127.0.0.1 for
the whole run and stops all three at the end, whatever happens.

Each case starts the upgrader the way the client does, sends the request with
the real upgrade-request.exe (WM_COPYDATA) and checks the log and what the
stand-in installer, script and client recorded. The whole road has the
example client as bvc.exe instead: started with the URL, it starts the
upgrader itself and is started again by it. Prints PASS/FAIL per case with
its time and a summary; exits 1 when a case failed.

--demo runs one whole upgrade with a slow download instead, prints the log and
the records and keeps a screenshot of the window (demo-window.png in --work).
"""

import argparse
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")

TITLE = "BrisvaneUpgrade"
BACKGROUND = (0x1E, 0x28, 0x31)
BAR = (0x25, 0xCF, 0x9E)
INSTALLER = "Setup_1.2.3.exe"
# "YYYY-MM-DD HH:MM:SS LEVEL file:line: message"; the level is padded to five.
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\w+) +\S+?:\d+: (.*)$")
LOCAL_APPDATA_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
CONNECTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


class CaseFailed(Exception):
    pass


class Checks:
    """Collects the failed checks of one case."""

    def __init__(self):
        self.failures = []

    def true(self, condition, message):
        if not condition:
            self.failures.append(message)
        return bool(condition)

    def equal(self, actual, expected, message):
        if actual != expected:
            self.failures.append(f"{message}:\n      expected {expected!r}\n      actual   {actual!r}")
            return False
        return True

    def require(self, condition, message):
        """A check the rest of the case depends on."""
        if not self.true(condition, message):
            raise CaseFailed()


def wait_for(predicate, timeout, step=0.1):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def win_path(path):
    """Windows name of a path inside the prefix's drive_c."""
    rel = path.relative_to(World.drive_c)
    return "C:\\" + "\\".join(rel.parts)


class World:
    """The prefix, the display, the server and the folders the cases share."""

    drive_c = None

    def __init__(self, args):
        self.bin = Path(args.bin).resolve()
        self.standins = Path(args.standins).resolve()
        self.work = Path(args.work).resolve()
        self.prefix = self.work / "prefix"
        World.drive_c = self.prefix / "drive_c"
        self.served = self.work / "served"
        self.e2e = World.drive_c / "e2e"
        self.records = self.e2e / "records"
        self.tools = self.e2e / "tools"
        self.processes = []  # (name, Popen) this harness started, stopped at the end
        self.display = None
        self.port = None
        self.env = None

    # -- set-up and tear-down -------------------------------------------------

    def start(self):
        self.work.mkdir(parents=True, exist_ok=True)
        self._start_xvfb()
        self.env = {k: v for k, v in os.environ.items()
                    if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
        self.env.update({
            "WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            # Wine maps Windows names onto Unix ones through the locale's
            # charset: non-ASCII folder names need a UTF-8 locale.
            "LC_ALL": "C.UTF-8", "DISPLAY": self.display, "WAYLAND_DISPLAY": "",
            "no_proxy": "127.0.0.1", "BRISVANE_RECORD_DIR": win_path(self.records),
        })
        fresh = not (self.prefix / "system.reg").exists()
        if fresh:
            began = time.monotonic()
            self.wine("wineboot", "-i", timeout=120)
            # wineboot returns while the new prefix's services still write
            # their registry; a write right then can fail without a word.
            self.wineserver("-w")
            # No window manager: Wine's own "managed" windows wait 2 s at
            # every exit for one. No crash dialog that nobody would close.
            self.reg_add(r"HKCU\Software\Wine\X11 Driver", "Managed", "N")
            self.reg_add(r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "0", "REG_DWORD")
            self.wineserver("-w")
            print(f"      Wine prefix created in {time.monotonic() - began:.1f}s", flush=True)
        self.start_session()
        users = [p for p in (World.drive_c / "users").iterdir()
                 if p.is_dir() and p.name not in ("Public", "Default")]
        if len(users) != 1:
            raise RuntimeError(f"cannot tell the Wine user from {users}")
        self.user = users[0].name
        self.default_local = World.drive_c / "users" / self.user / "AppData" / "Local"
        self.tools.mkdir(parents=True, exist_ok=True)
        for exe in ("upgrade-request.exe",):
            shutil.copy2(self.bin / exe, self.tools / exe)
        for exe in ("standin.exe", "window_message.exe", "run_limited.exe"):
            shutil.copy2(self.standins / exe, self.tools / exe)
        # The script's own work is done by a stand-in named "script".
        shutil.copy2(self.standins / "standin.exe", self.tools / "script.exe")
        self._start_server()

    def start_session(self):
        # One wineserver for all cases instead of one per Wine start.
        self.processes.append(("wineserver", subprocess.Popen(
            [WINESERVER, "-p", "-f"], env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)))

    def restart_session(self):
        """Ends every Wine process and starts a new wineserver, so that
        settings read once per session (the screen's DPI) take effect."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        for name, proc in self.processes:
            if name == "wineserver":
                proc.wait(30)
        self.processes = [(n, p) for n, p in self.processes if n != "wineserver"]
        self.start_session()

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self.processes.append(("Xvfb", proc))
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not report its display")
        self.display = ":" + number

    def _start_server(self):
        if self.served.exists():
            shutil.rmtree(self.served)
        self.served.mkdir(parents=True)
        proc = subprocess.Popen([sys.executable, str(ROOT / "tests/support/http_server.py"),
                                 str(self.served)], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        self.processes.append(("http_server", proc))
        line = proc.stdout.readline().strip()
        if not line.isdigit():
            raise RuntimeError("the HTTP server did not report its port")
        self.port = int(line)

    def stop(self):
        for name, proc in self.processes:
            if name == "wineserver":
                # Ends every Wine process of the prefix (stand-ins included).
                subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30, check=False)
        for name, proc in reversed(self.processes):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if proc.stdout:
                proc.stdout.close()
        self.processes = []

    # -- Wine -----------------------------------------------------------------

    def wine(self, *args, timeout=60, check=True):
        # Output to files, not pipes: the Wine services a command may start
        # (explorer, services.exe) inherit its stdout and stderr and outlive
        # it, so a pipe would never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE, *args], env=self.env, stdout=out, stderr=err,
                                    timeout=timeout)
            err.seek(0)
            errors = err.read().decode(errors="replace")
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} exited {result.returncode}: {errors}")
        return result

    def wineserver(self, *args):
        subprocess.run([WINESERVER, *args], env=self.env, timeout=60, check=False)

    def reg_add(self, key, name, value, kind="REG_SZ", tries=5):
        """Writes a registry value; tried again a few times, since a prefix
        just made may still be settling. A failure keeps Wine's own messages
        (WINEDEBUG on for the retries)."""
        messages = []
        for attempt in range(1, tries + 1):
            env = self.env if attempt == 1 else {**self.env, "WINEDEBUG": "err+all,fixme-all"}
            with tempfile.TemporaryFile() as out:
                result = subprocess.run([WINE, "reg", "add", key, "/v", name, "/t", kind, "/d", value,
                                         "/f"], env=env, stdout=out, stderr=out, timeout=60)
                out.seek(0)
                text = out.read().decode(errors="replace").strip()
            if result.returncode == 0:
                return
            messages.append(f"try {attempt}: exit {result.returncode}: {text or '(nothing)'}")
            self.wineserver("-w")
            time.sleep(attempt)
        raise RuntimeError(f"reg add {key} /v {name} failed:\n" + "\n".join(messages))

    def send_request(self, url, timeout=20):
        """Sends URL with the real upgrade-request.exe; retries while no window
        is there yet. Returns the tool's exit code."""
        end = time.monotonic() + timeout
        while True:
            result = self.wine(win_path(self.tools / "upgrade-request.exe"), url, check=False)
            if result.returncode != 2 or time.monotonic() >= end:
                return result.returncode
            time.sleep(0.2)

    def window_message(self, what):
        return self.wine(win_path(self.tools / "window_message.exe"), what, check=False).returncode

    # -- the X display --------------------------------------------------------

    def windows(self):
        """(width, height, x, y) of every top-level X window titled BrisvaneUpgrade."""
        out = subprocess.run(["xwininfo", "-root", "-tree"], env={"DISPLAY": self.display},
                             capture_output=True, text=True, check=False).stdout
        found = []
        for line in out.splitlines():
            m = re.search(r'"' + TITLE + r'": \(.*\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)',
                          line)
            if m:
                found.append(tuple(int(v) for v in m.groups()))
        return found

    def screenshot(self, save_as=None):
        """The whole screen as (width, height, rgb bytes), via ImageMagick's import."""
        data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env={"DISPLAY": self.display},
                              capture_output=True, check=True, timeout=30).stdout
        if save_as is not None:
            Path(save_as).write_bytes(data)
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if not m or m.group(3) != b"255":
            raise RuntimeError("unexpected screenshot format")
        width, height = int(m.group(1)), int(m.group(2))
        return width, height, data[m.end():]


class Run:
    """One upgrader run: its folders, the process, its log and the records."""

    def __init__(self, world, app_name="Brisvane App", local_appdata=None, client=None):
        """`client` is the program installed as bvc.exe, the stand-in by default."""
        self.world = world
        self.app = world.e2e / app_name
        self.local = local_appdata or world.default_local
        self.data = self.local / "Tamberk" / "Brisvane"
        self.log_path = self.data / "logs" / "upgrade.log"
        self.proc = None
        self.example = client is not None
        # What the example client said, in its folder under %LOCALAPPDATA%:
        # the session's variable, which a case's redirected shell folder
        # leaves as it was.
        self.answers_path = world.default_local / "BrisvaneExample" / "answers.txt"
        for folder in (self.app, world.records, self.local / "Tamberk", self.answers_path.parent):
            if folder.exists():
                shutil.rmtree(folder)
        # The client creates its application-local data folder; the upgrader
        # only adds logs/ inside it.
        self.data.mkdir(parents=True)
        world.records.mkdir(parents=True)
        self.app.mkdir(parents=True)
        shutil.copy2(world.bin / "BrisvaneUpgrade.exe", self.app / "BrisvaneUpgrade.exe")
        shutil.copy2(client or world.standins / "standin.exe", self.app / "bvc.exe")
        (self.app / "command.bat").write_bytes(
            b"@echo off\r\n\"" + win_path(world.tools / "script.exe").encode() + b"\" %*\r\n")

    @property
    def exe(self):
        return win_path(self.app / "BrisvaneUpgrade.exe")

    def app_dir_qt(self):
        """The application folder as Qt names it (forward slashes)."""
        return win_path(self.app).replace("\\", "/")

    def data_dir_qt(self):
        return win_path(self.data).replace("\\", "/")

    def start(self):
        self.proc = subprocess.Popen([WINE, self.exe], cwd=self.app, env=self.world.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.world.processes.append(("upgrader", self.proc))

    def wait_for_window(self, timeout=30):
        return wait_for(lambda: self.world.windows() or self.proc.poll() is not None, timeout) \
            and bool(self.world.windows())

    def wait_exit(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def finish(self):
        """Ends the run if a failed case left it going."""
        if self.proc is not None and self.proc.poll() is None:
            self.world.window_message("close")
            if self.wait_exit(10) is None:
                self.proc.kill()
                self.proc.wait()
        elif self.proc is None and self.world.windows():
            # An upgrader the example client started; the session's end
            # stops it at the latest.
            self.world.window_message("close")
            wait_for(lambda: not self.world.windows(), 10)

    def answers(self):
        try:
            return self.answers_path.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []

    def log_raw(self):
        try:
            return self.log_path.read_bytes()
        except FileNotFoundError:
            return b""

    def log(self, checks=None):
        """The log's lines as "LEVEL message"; checks the Windows line ends."""
        raw = self.log_raw().decode("utf-8", errors="replace")
        if checks is not None and raw:
            checks.true(raw.endswith("\r\n") and raw.count("\n") == raw.count("\r\n"),
                        "every log line ends with CR LF")
        lines = []
        for line in raw.replace("\r\n", "\n").split("\n"):
            if not line:
                continue
            m = LOG_LINE.match(line)
            lines.append(f"{m.group(1)} {m.group(2)}" if m else f"UNPARSED {line}")
        return lines

    def record(self, name):
        """The stand-in's record as {key: [values]}, empty when it never ran."""
        path = self.world.records / f"{name}.txt"
        out = {}
        try:
            text = path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return out
        for line in text.splitlines():
            key, _, value = line.partition(" ")
            out.setdefault(key, []).append(value)
        return out

    def set_sleep(self, name, ms):
        (self.world.records / f"{name}.sleep").write_text(str(ms))

    def leftovers(self, suffix):
        return sorted(p.name for p in self.data.iterdir() if p.name.endswith(suffix))


# -- cases --------------------------------------------------------------------

def upgrade_with_served_installer(world, run, c):
    """Starts the upgrader, hands it the served installer's URL the way the
    client does and waits for it to end with exit code 0."""
    run.start()
    c.require(run.wait_for_window(), "the window appears")
    c.require(world.send_request(f"http://127.0.0.1:{world.port}/files/{INSTALLER}") == 0,
              "upgrade-request.exe delivers the request")
    c.equal(run.wait_exit(60), 0, "the upgrader's exit code")


def whole_road_lines(run):
    return [
        "INFO BrisvaneUpgrade::nativeEvent receive message",
        f"INFO BrisvaneUpgrade::StartDownload download path:{run.data_dir_qt()}/",
        "INFO ThreadStartInstaller[upgrade] start installer result:1",
        "INFO ThreadStartInstaller[upgrade] installer exit code:0",
        "INFO ThreadStartInstaller begin to send install completion notice",
        "INFO BrisvaneUpgrade::event receive install completion notice",
        f"INFO BrisvaneUpgrade::StartCommandScript param:\"{run.app_dir_qt()}/command.bat\"",
        "INFO BrisvaneUpgrade::StartCommandScript wait for script execution, the result: 0",
        "INFO BrisvaneUpgrade::StartCommandScript script exit code:0",
        "INFO BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:1",
        "INFO upgrade end",
    ]


def check_whole_road(world, run, c, signed=False):
    installer = run.record("setup_1.2.3")
    script = run.record("script")
    c.equal(installer.get("argc"), ["1"], "the installer got one argument")
    c.equal(installer.get("arg"), ["/verysilent"], "the installer's argument")
    c.require(installer.get("ended") and script.get("started"), "the installer and the script ran")
    c.true(int(installer["ended"][0]) <= int(script["started"][0]),
           "the script starts after the installer ended")
    c.equal(script.get("argc"), ["0"], "the script got no argument")
    check_client = check_example_answered if run.example else check_standin_client
    check_client(run, c, int(script["ended"][0]))
    c.equal(sorted(p.name for p in run.data.iterdir() if p.name != "logs"), ["last-upgrade.json"],
            "the installer ran from a folder of its own, which went with it")
    c.equal(run.leftovers(".part"), [], "no .part file is left")
    record = json.loads((run.data / "last-upgrade.json").read_text(encoding="utf-8"))
    c.equal({k: record.get(k) for k in ("format", "result", "installer", "installerExitCode",
                                         "scriptExitCode", "httpStatus", "signatureVerified")},
            {"format": 1, "result": "installed", "installer": INSTALLER, "installerExitCode": 0,
             "scriptExitCode": 0, "httpStatus": 200, "signatureVerified": signed},
            "the outcome record")


def check_standin_client(run, c, script_ended):
    c.require(wait_for(lambda: run.record("bvc").get("ended"), 15), "the client ran")
    client = run.record("bvc")
    c.true(script_ended <= int(client["started"][0]), "the client starts after the script ended")
    c.equal(client.get("argc"), ["0"], "the client got no argument")
    c.equal(client.get("guard"), ["free"], "the client could take the single-instance mutex")


def check_example_answered(run, c, script_ended):
    """Started again by the upgrader, the example client shows the answer to
    the request it handed over."""
    c.require(wait_for(lambda: len(run.answers()) >= 2, 20),
              f"the example was started again and answered: {run.answers()}")
    record = json.loads((run.data / "last-upgrade.json").read_text(encoding="utf-8"))
    c.equal(run.answers(), [
        f"The upgrade has started (request {record.get('requestId')}); this program quits now.",
        f"The update {INSTALLER} was installed."], "what the example showed, before and after")
    c.true(script_ended <= run.answers_path.stat().st_mtime_ns // 1000000,
           "the client answers after the script ended")


def upgrade_started_by_example(world, run, c):
    """Runs the example client bvc.exe with the served installer's URL: it
    starts BrisvaneUpgrade.exe beside itself (ShellExecuteExW "runas", which
    Wine runs without elevating), hands it the URL and quits; the upgrade
    runs to its end. The URL has the form of a signed link: a query (with a
    "/" in it) and a fragment, neither of which names the installer."""
    url = f"http://127.0.0.1:{world.port}/files/{INSTALLER}?token=c2lnbmVk/x1#part"
    status = world.wine(win_path(run.app / "bvc.exe"), url, timeout=150, check=False).returncode
    c.require(status == 0, f"the example started the upgrade (exit {status}): {run.answers()}")
    c.require(wait_for(lambda: run.log()[-1:] == ["INFO upgrade end"], 60), "the upgrade ends")
    c.require(wait_for(lambda: not world.windows(), 10), "the window closes")


def case_whole_road(world, c, app_name="Brisvane App", local_appdata=None):
    run = Run(world, app_name, local_appdata, client=world.bin / "brisvane-example.exe")
    try:
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        run.set_sleep("setup_1.2.3", 500)
        run.set_sleep("script", 300)
        upgrade_started_by_example(world, run, c)
        c.equal(run.log(c), whole_road_lines(run), "the log")
        check_whole_road(world, run, c)
    finally:
        run.finish()


def run_tool(c, args, what, cwd=None):
    """Runs a build tool on the host; a failure fails the case with its output."""
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True,
                            timeout=300, check=False)
    c.require(result.returncode == 0, f"{what} (exit {result.returncode}):\n"
              f"{result.stdout[-3000:]}{result.stderr[-3000:]}")


def build_with_default_mingw(c, source, prefix, build, extra=()):
    """Configures and builds the CMake project `source` against the unpacked
    development package `prefix` with Debian's unsuffixed MinGW-w64
    compilers, which use the win32 thread model."""
    run_tool(c, ["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_SYSTEM_NAME=Windows",
                 "-DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc",
                 "-DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++", f"-DCMAKE_PREFIX_PATH={prefix}",
                 "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF", *extra], f"configuring {source}")
    run_tool(c, ["cmake", "--build", build], f"building {source}")


def case_dev_package(world, c):
    """The Windows development package as a client developer meets it: made
    by the project's packaging from the Windows build, unpacked; its examples
    built by CMake with Debian's default MinGW-w64 compilers, and a project of
    C alone linked the same way. Each example, as bvc.exe, then goes the
    whole road: it starts the upgrader, which installs and starts it again,
    and it shows the answer."""
    gxx = subprocess.run(["x86_64-w64-mingw32-g++", "-v"], capture_output=True, text=True).stderr
    c.require("Thread model: win32" in gxx, "the default MinGW-w64 compiler uses win32 threads")
    out = world.work / "dev-package"
    shutil.rmtree(out, ignore_errors=True)
    run_tool(c, ["cpack", "--config", world.bin.parent / "CPackDevelopmentConfig.cmake",
                 "-B", out / "zip"], "packing the development ZIP")
    zips = list((out / "zip").glob("brisvane-upgrade-dev-*-windows-x64.zip"))
    c.require(len(zips) == 1, f"one development ZIP: {zips}")
    shutil.unpack_archive(zips[0], out)
    dev = out / zips[0].stem
    build_with_default_mingw(c, dev / "doc/client-examples", dev, out / "examples")
    build_with_default_mingw(c, ROOT / "tests/client/consumer/c-only", dev, out / "c-only",
                             ["-DCMAKE_EXE_LINKER_FLAGS=-static"])
    programs = [out / "examples/brisvane-example.exe", out / "examples/brisvane-example-c.exe"]
    run_tool(c, ["bash", ROOT / "scripts/windows-imports", *programs, out / "c-only/consumer_c.exe"],
             "the programs import system DLLs only")
    shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
    for program in programs:
        run = Run(world, client=program)
        try:
            run.set_sleep("setup_1.2.3", 500)
            run.set_sleep("script", 300)
            upgrade_started_by_example(world, run, c)
            check_whole_road(world, run, c)
        finally:
            run.finish()


def case_unelevated_client(world, c):
    """The example client run without raised rights (run_limited.exe): the
    request goes on the upgrader's command line, and the whole road runs."""
    run = Run(world, client=world.bin / "brisvane-example.exe")
    try:
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        run.set_sleep("setup_1.2.3", 500)
        run.set_sleep("script", 300)
        status = world.wine(win_path(world.tools / "run_limited.exe"), win_path(run.app / "bvc.exe"),
                            f"http://127.0.0.1:{world.port}/files/{INSTALLER}", timeout=150,
                            check=False).returncode
        c.require(status == 0, f"the example started the upgrade (exit {status}): {run.answers()}")
        c.require(wait_for(lambda: run.log()[-1:] == ["INFO upgrade end"], 60), "the upgrade ends")
        c.equal(run.log(c), ["INFO main the request came on the command line"] + whole_road_lines(run),
                "the log")
        check_whole_road(world, run, c)
    finally:
        run.finish()


def case_command_line_busy(world, c):
    """Started with a request on its command line, the upgrader has taken it
    before its window shows: a later WM_COPYDATA is told "busy"."""
    run = Run(world)
    try:
        # 2 MiB behind the stand-in: eight seconds at the server's 256 KiB/s.
        (world.served / INSTALLER).write_bytes(
            (world.standins / "standin.exe").read_bytes() + os.urandom(2 << 20))
        run.set_sleep("setup_1.2.3", 500)
        run.proc = subprocess.Popen(
            [WINE, run.exe, "--request", "5", f"http://127.0.0.1:{world.port}/slow/{INSTALLER}"],
            cwd=run.app, env=world.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        world.processes.append(("upgrader", run.proc))
        c.require(run.wait_for_window(), "the window appears")
        with tempfile.TemporaryFile() as out:
            sent = subprocess.run([WINE, win_path(world.tools / "upgrade-request.exe"), "http://x/y.exe"],
                                  env=world.env, stdout=out, stderr=subprocess.DEVNULL, timeout=60)
            out.seek(0)
            c.equal((sent.returncode, out.read().strip()), (1, b"reply: 1"), "the later sender's reply")
        # 10 + reply 1 (busy): an upgrade under way is not withdrawn.
        c.equal(world.window_message("withdraw"), 11, "a withdrawal's reply during the upgrade")
        c.equal(run.wait_exit(60), 0, "the upgrader's exit code")
        c.true("ERROR BrisvaneUpgrade::StartDownload an upgrade is already in progress, request ignored"
               in run.log(c), "the later request is logged as ignored")
        check_whole_road(world, run, c)
        record = json.loads((run.data / "last-upgrade.json").read_text(encoding="utf-8"))
        c.equal(record.get("requestId"), "5", "the record answers the command line's request")
    finally:
        run.finish()


def case_restart_next_upgrade(world, c):
    """The client started again at the end of an upgrade starts the next one
    at once: its hand-over finds no upgrader (the one that started it no
    longer takes requests, rather than answering "closing"), so it starts
    one with the request on its command line, which takes it."""
    run = Run(world)
    try:
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        url = f"http://127.0.0.1:{world.port}/files/{INSTALLER}"
        (world.records / "bvc.next").write_bytes(
            f'"{win_path(world.tools / "upgrade-request.exe")}" {url}\r\n"{run.exe}" --request 8 {url}'.encode())
        upgrade_with_served_installer(world, run, c)
        c.require(wait_for(lambda: len(run.record("bvc").get("next", [])) == 2, 60),
                  f"the client started again ran its next upgrade: {run.record('bvc')}")
        # 2: no window to hand it to (1 was the closing one's reply 5); 0: taken.
        c.equal(run.record("bvc")["next"], ["2", "0"], "exit codes of the hand-over and of the new upgrader")
        record = json.loads((run.data / "last-upgrade.json").read_text(encoding="utf-8"))
        c.equal((record.get("requestId"), record.get("result")), ("8", "installed"),
                "the record answers the next request")
        # The next upgrade starts the client once more; that start must end
        # here, not in the record of the case after this one.
        c.require(wait_for(lambda: len(run.record("bvc").get("ended", [])) == 2, 30),
                  f"the client started by the next upgrade ends: {run.record('bvc')}")
    finally:
        run.finish()


def case_withdraw_idle(world, c):
    """The client's withdrawal (its registered message) closes an upgrader
    that has taken nothing, as Escape would, and starts nothing."""
    run = Run(world)
    try:
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        c.equal(world.window_message("withdraw"), 10, "the withdrawal's reply (10 + taken)")
        c.equal(run.wait_exit(30), 0, "the upgrader's exit code")
        c.equal(run.log(c), ["INFO BrisvaneUpgrade::nativeEvent receive message",
                             "INFO BrisvaneUpgrade::ReceiveRequest the request was withdrawn, closing",
                             "INFO upgrade end"], "the log")
        c.equal(run.record("bvc"), {}, "the client is not started")
    finally:
        run.finish()


def case_second_instance(world, c):
    run = Run(world)
    second = None
    try:
        run.start()
        c.require(run.wait_for_window(), "the first upgrader's window appears")
        log_before = run.log_raw()
        began = time.monotonic()
        second = subprocess.Popen([WINE, run.exe], cwd=run.app, env=world.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        world.processes.append(("second upgrader", second))
        most_windows = 0
        while second.poll() is None and time.monotonic() - began < 20:
            most_windows = max(most_windows, len(world.windows()))
            time.sleep(0.05)
        took = time.monotonic() - began
        c.require(second.poll() is not None, "the second upgrader exits")
        c.equal(second.returncode, 0, "the second upgrader's exit code")
        # Wine needs about a second to start any program at all.
        c.true(took < 6, f"the second upgrader exits at once (took {took:.1f}s)")
        c.equal(most_windows, 1, "windows titled BrisvaneUpgrade while the second one ran")
        c.equal(run.log_raw(), log_before, "the second upgrader logs nothing")
        c.true(run.proc.poll() is None, "the first upgrader still runs")
    finally:
        if second is not None and second.poll() is None:
            second.kill()
            second.wait()
        run.finish()


def case_download_404(world, c):
    run = Run(world)
    try:
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        c.require(world.send_request(f"http://127.0.0.1:{world.port}/status/404") == 0,
                  "upgrade-request.exe delivers the request")
        c.equal(run.wait_exit(30), 0, "the upgrader's exit code")
        c.equal(run.log(c), [
            "INFO BrisvaneUpgrade::nativeEvent receive message",
            f"INFO BrisvaneUpgrade::StartDownload download path:{run.data_dir_qt()}/",
            "ERROR [upgrade] download error, code:22",
            "ERROR [upgrade] download error: HTTP 404 Not Found from the server, 0 bytes kept, "
            "gave up: the failure does not pass by itself",
            "INFO BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:1",
            "INFO upgrade end",
        ], "the log")
        c.true(wait_for(lambda: run.record("bvc").get("started"), 15), "the client was started")
        c.equal(run.record("setup_1.2.3"), {}, "the installer never ran")
        c.equal(run.record("script"), {}, "the script never ran")
        c.equal(run.leftovers(".part"), [], "no .part file is left")
    finally:
        run.finish()


def case_no_script(world, c):
    run = Run(world)
    try:
        (run.app / "command.bat").unlink()
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        upgrade_with_served_installer(world, run, c)
        log = run.log(c)
        c.equal(log[-3:], [
            "ERROR BrisvaneUpgrade::StartCommandScript copy script doesn't exist",
            "INFO BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:1",
            "INFO upgrade end",
        ], "the log's end")
        c.true("INFO ThreadStartInstaller begin to send install completion notice" in log,
               "the installer ran to its end first")
        c.true(wait_for(lambda: run.record("bvc").get("started"), 15), "the client was started")
    finally:
        run.finish()


def case_sample_command_bat(world, c):
    """The sample post-install script of doc/examples as the live command.bat,
    with a recording eventcreate.exe in the prefix's System32 (Wine has none):
    after the installer, cmd runs it and it reports the client ready; without
    a client it reports a warning and exits 2."""
    sample = (ROOT / "BrisvaneUpgrade/examples/command-windows.bat").read_bytes()
    eventcreate = World.drive_c / "windows" / "system32" / "eventcreate.exe"
    shutil.copy2(world.standins / "standin.exe", eventcreate)
    run = Run(world)
    try:
        (run.app / "command.bat").write_bytes(sample)
        client = win_path(run.app / "bvc.exe")
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        upgrade_with_served_installer(world, run, c)
        c.equal(run.record("eventcreate").get("arg"),
                ["/L", "APPLICATION", "/T", "INFORMATION", "/ID", "1", "/D",
                 f"BrisvaneUpgrade post-install: the client {client} is ready"],
                "the sample's event beside the client")
        c.true(wait_for(lambda: run.record("bvc").get("started"), 15), "the client was started")

        (world.records / "eventcreate.txt").unlink()
        (run.app / "bvc.exe").unlink()
        by_hand = subprocess.run([WINE, "cmd", "/c", win_path(run.app / "command.bat")],
                                 env=world.env, cwd=run.app, timeout=60,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        c.equal(by_hand.returncode, 2, "the sample's exit code without the client")
        c.equal(run.record("eventcreate").get("arg"),
                ["/L", "APPLICATION", "/T", "WARNING", "/ID", "2", "/D",
                 f"BrisvaneUpgrade post-install: no client at {client}"],
                "the sample's event without the client")
    finally:
        run.finish()
        eventcreate.unlink()


def case_installer_not_started(world, c):
    # Downloaded fine but not a program: the shell finds nothing to run it
    # with and gives no process handle. Nothing could continue a window left
    # waiting: the client comes back as after a failed download.
    run = Run(world)
    try:
        (world.served / "setup.bin").write_bytes(bytes(range(256)) * 16)
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        c.require(world.send_request(f"http://127.0.0.1:{world.port}/files/setup.bin") == 0,
                  "upgrade-request.exe delivers the request")
        c.require(run.wait_exit(30) is not None, "the upgrader ends by itself")
        log = run.log(c)
        c.equal(log[:4], [
            "INFO BrisvaneUpgrade::nativeEvent receive message",
            f"INFO BrisvaneUpgrade::StartDownload download path:{run.data_dir_qt()}/",
            "INFO ThreadStartInstaller[upgrade] start installer result:0",
            "ERROR ThreadStartInstaller handle of process installer is nullptr",
        ], "the log up to the failed start")
        c.true(len(log) > 4 and log[4].startswith("ERROR ThreadStartInstaller the installer could not be started:"),
               "the line saying why")
        c.equal(log[-2:], ["INFO BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:1",
                           "INFO upgrade end"], "the log's end")
        # "started" is its first line; the mutex is looked at after it.
        c.true(wait_for(lambda: run.record("bvc").get("ended"), 15), "the client ran")
        c.equal(run.record("bvc").get("guard"), ["free"], "the client could take the mutex")
        record = json.loads((run.data / "last-upgrade.json").read_text(encoding="utf-8"))
        c.equal(record.get("result"), "installer-not-started", "the outcome record")
        c.equal(sorted(p.name for p in run.data.iterdir() if p.name.startswith("upgrade-")), [],
                "the installer's own folder went with it")
    finally:
        run.finish()


def dismiss_mid_download(world, c, message):
    run = Run(world)
    try:
        # 2 MiB at the server's 256 KiB/s: eight seconds, plenty to interrupt.
        # (No "?bps=": the name keeps the query, which a Windows file name
        # cannot hold.)
        (world.served / "big.exe").write_bytes(os.urandom(2 << 20))
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        c.require(world.send_request(
            f"http://127.0.0.1:{world.port}/slow/big.exe") == 0,
            "upgrade-request.exe delivers the request")
        part = run.data / "big.exe.part"
        c.require(wait_for(lambda: part.exists() and part.stat().st_size > 0, 10),
                  "the download is under way")
        c.equal(world.window_message(message), 0, f"{message} posted to the window")
        c.require(run.wait_exit(20) is not None, f"the upgrader ends after {message}")
        log = run.log(c)
        c.equal(log[-1:], ["INFO upgrade end"], "the log's last line")
        c.true(not any("start brisvane" in line for line in log), "no client launch is logged")
        c.equal(run.leftovers(".part"), ["big.exe.part"], "the .part stays for the next upgrade")
        c.true((run.data / "big.exe.part.resume").exists(), "with the record tying it to the resource")
        c.true(not (run.data / "big.exe").exists(), "no installer file is left")
        time.sleep(0.5)
        c.equal(run.record("bvc"), {}, "the client is not started")
    finally:
        run.finish()


def case_escape_mid_download(world, c):
    dismiss_mid_download(world, c, "escape")


def case_close_mid_download(world, c):
    dismiss_mid_download(world, c, "close")


def near(pixel, colour, tolerance=14):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def inspect_window(world, save_as=None):
    """Geometry and pixels of the window: a dict of measurements."""
    found = world.windows()
    if len(found) != 1:
        return {"windows": found}
    w, h, x, y = found[0]
    sw, sh, rgb = world.screenshot(save_as)

    def px(px_, py_):
        i = ((y + py_) * sw + (x + px_)) * 3
        return tuple(rgb[i:i + 3])

    # The bar's middle row; its rounded, anti-aliased ends are not counted.
    bar_row = h - 5
    green = sum(1 for bx in range(w) if near(px(bx, bar_row), BAR))
    caption = [(cx, cy) for cy in range(0, h - 12) for cx in range(w)
               if sum(px(cx, cy)) > 3 * 170]
    return {
        "windows": found, "size": (w, h),
        "corners": [px(1, 1), px(w - 2, 1), px(1, h - 14), px(w - 2, h - 14)],
        "green": green,
        "caption_pixels": len(caption),
        "caption_box": (min(p[0] for p in caption), min(p[1] for p in caption),
                        max(p[0] for p in caption), max(p[1] for p in caption)) if caption else None,
    }


def case_window(world, c, demo_shot=None):
    run = Run(world)
    try:
        # Padded to 768 KiB, about three seconds at the server's 256 KiB/s; the
        # loader ignores bytes past the program's sections.
        size = 768 << 10
        image = (world.standins / "standin.exe").read_bytes()
        (world.served / INSTALLER).write_bytes(image + bytes(size - len(image)))
        # The installer runs three seconds so the bar can be seen after the download.
        run.set_sleep("setup_1.2.3", 3000)
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        # The X window is mapped before Qt first paints it, and a loaded
        # machine may show it half painted for a moment: wait for a whole one.
        def painted(m):
            whole = m.get("caption_pixels") and all(p == BACKGROUND for p in m.get("corners", []))
            return m if whole else None
        empty = wait_for(lambda: painted(inspect_window(world)), 10, 0.2) or inspect_window(world)
        c.equal(empty.get("size"), (340, 120), "the window's outer size (no frame)")
        c.require("corners" in empty, "one window to inspect")
        c.true(all(p == BACKGROUND for p in empty["corners"]),
               f"all four corners show the background #1E2831: {empty['corners']}")
        c.equal(empty["green"], 0, "the bar is empty before a request")
        # "正在更新..." in 12 pt: four wide glyphs and three dots, centred.
        box = empty["caption_box"]
        c.true(empty["caption_pixels"] >= 150, f"caption pixels: {empty['caption_pixels']}")
        c.true(box is not None and box[2] - box[0] >= 60 and abs((box[0] + box[2]) / 2 - 170) <= 12,
               f"the caption is about 60+ pixels wide and centred: {box}")
        c.require(world.send_request(f"http://127.0.0.1:{world.port}/slow/{INSTALLER}") == 0,
            "upgrade-request.exe delivers the request")
        part = run.data / (INSTALLER + ".part")
        c.require(wait_for(lambda: part.exists() and part.stat().st_size > size // 3, 10),
                  "the download is under way")
        middle = inspect_window(world, demo_shot.with_suffix(".mid.ppm") if demo_shot else None)
        c.true(0 < middle.get("green", 0) < 250,
               f"mid-download the bar is part filled: {middle.get('green')} px")
        c.require(wait_for(lambda: run.record("setup_1.2.3").get("started"), 15),
                  "the installer starts")
        after = inspect_window(world, demo_shot)
        # 75 of 100 is 255 of 340 pixels (less an anti-aliased end pixel);
        # the ticker adds 1 (3.4 px) every 300 ms from the download's end, and
        # Wine takes a moment to start the installer.
        c.true(250 <= after.get("green", 0) <= 272,
               f"after the download the bar shows 75 (+ a few ticks): {after.get('green')} px")
        c.equal(run.wait_exit(60), 0, "the upgrader's exit code")
        c.equal(run.log(c), whole_road_lines(run), "the log")
    finally:
        run.finish()


# The screen's DPI (LogPixels) and the window's device size Qt makes of its
# 340x120 logical pixels by the exact factor, DPI / 96.
SCALED_WINDOWS = [(144, 1.5), (192, 2.0)]


def check_scaled_window(world, c, scale, demo_shot=None):
    """One run at the session's DPI: size, caption, and the bar at 75
    (captured into `demo_shot` when given)."""
    w, h = round(340 * scale), round(120 * scale)
    size = 768 << 10
    image = (world.standins / "standin.exe").read_bytes()
    (world.served / INSTALLER).write_bytes(image + bytes(size - len(image)))
    run = Run(world)
    try:
        # The installer runs three seconds so the bar can be seen after the download.
        run.set_sleep("setup_1.2.3", 3000)
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        shown = wait_for(lambda: (lambda m: m if m.get("caption_pixels") else None)(
            inspect_window(world)), 10, 0.2) or inspect_window(world)
        got = shown.get("size") or (0, 0)
        c.true(abs(got[0] - w) <= 1 and abs(got[1] - h) <= 1,
               f"the window's device size is {w}x{h}: {got}")
        box = shown.get("caption_box")
        c.require(box is not None, "the caption is drawn")
        c.true(box[2] - box[0] >= 60 * scale, f"the caption is scaled with the window: {box}")
        c.true(abs((box[0] + box[2]) / 2 - w / 2) <= 12 * scale, f"the caption is centred: {box}")
        c.true(box[0] >= 4 and box[2] <= w - 5 and box[1] >= 4 and box[3] <= h - 12 * scale,
               f"the caption is not clipped and clears the bar: {box}")
        c.require(world.send_request(f"http://127.0.0.1:{world.port}/slow/{INSTALLER}") == 0,
                  "upgrade-request.exe delivers the request")
        c.require(wait_for(lambda: run.record("setup_1.2.3").get("started"), 15),
                  "the installer starts")
        # 75 of 100, plus the ticks while Wine starts the installer.
        green = inspect_window(world, demo_shot).get("green", 0)
        c.true(0.735 * w <= green <= 0.80 * w,
               f"after the download the bar shows 75 of {w} px: {green} px")
        print(f"      measured at {scale:g}x: {got[0]}x{got[1]}, caption box {box}, bar {green} px")
        c.equal(run.wait_exit(60), 0, "the upgrader's exit code")
    finally:
        run.finish()


def case_window_scaled(world, c):
    # The window keeps its design at every DPI: Qt scales it as a whole.
    try:
        for dpi, scale in SCALED_WINDOWS:
            world.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", str(dpi), "REG_DWORD")
            world.restart_session()
            check_scaled_window(world, c, scale)
    finally:
        world.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "96", "REG_DWORD")
        world.restart_session()


def case_non_ascii_folders(world, c):
    # Inside the profile: an elevated upgrader takes its data folder from
    # nowhere else.
    local = World.drive_c / "users" / world.user / "数据 目录" / "Ünïcode"
    local.mkdir(parents=True, exist_ok=True)
    world.reg_add(LOCAL_APPDATA_KEY, "Local AppData", win_path(local), "REG_EXPAND_SZ")
    try:
        case_whole_road(world, c, app_name="升级 程序", local_appdata=local)
    finally:
        world.reg_add(LOCAL_APPDATA_KEY, "Local AppData", r"%USERPROFILE%\AppData\Local",
                      "REG_EXPAND_SZ")


def case_data_outside_profile(world, c):
    # Wine runs every process elevated, and an elevated upgrader takes its
    # data folder only from inside the user's profile folder: the user's own
    # redirection of it elsewhere is refused, and nothing is written there.
    local = world.e2e / "redirected"
    local.mkdir(parents=True, exist_ok=True)
    world.reg_add(LOCAL_APPDATA_KEY, "Local AppData", win_path(local), "REG_EXPAND_SZ")
    run = Run(world, local_appdata=local)
    try:
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        upgrade_with_served_installer(world, run, c)
        c.true(wait_for(lambda: run.record("bvc").get("started"), 15), "the client was started")
        c.equal(run.record("setup_1.2.3"), {}, "the installer never ran")
        c.equal(sorted(p.name for p in run.data.iterdir()), [], "nothing written in the folder")
    finally:
        run.finish()
        world.reg_add(LOCAL_APPDATA_KEY, "Local AppData", r"%USERPROFILE%\AppData\Local",
                      "REG_EXPAND_SZ")


def set_system_proxy(world, flags, proxy="", bypass=""):
    """Writes the user's proxy settings where WinHTTP reads them: the blob the
    Internet settings dialog keeps (version 0x46, a change counter, flags
    1 direct / 2 fixed proxy, then length-prefixed proxy, bypass and script)."""
    set_system_proxy.counter = getattr(set_system_proxy, "counter", 0) + 1

    def text(value):
        data = value.encode("ascii")
        return struct.pack("<I", len(data)) + data

    blob = (struct.pack("<III", 0x46, set_system_proxy.counter, flags) + text(proxy) +
            text(bypass) + text("") + bytes(32))
    world.reg_add(CONNECTIONS_KEY, "DefaultConnectionSettings", blob.hex(), "REG_BINARY")


def case_system_proxy(world, c):
    # People behind a company proxy set it in the system settings only: the
    # download must go through it, and around it for a bypassed host.
    record = world.work / "proxy-requests.txt"
    proc = subprocess.Popen([sys.executable, str(ROOT / "tests/support/forward_proxy.py"),
                             str(record)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    world.processes.append(("forward_proxy", proc))
    port = proc.stdout.readline().strip()
    c.require(port.isdigit(), "the forward proxy reports its port")
    # The harness keeps 127.0.0.1 off any proxy through the environment;
    # here the system settings alone must decide.
    saved = world.env.pop("no_proxy", None)

    def requests_seen():
        return record.read_text().splitlines() if record.exists() else []

    try:
        for bypass, through in (("", True), ("127.0.0.1;*.example", False)):
            record.unlink(missing_ok=True)
            set_system_proxy(world, 3, f"127.0.0.1:{port}", bypass)
            case_whole_road(world, c)
            seen = [line for line in requests_seen() if f"/files/{INSTALLER}" in line]
            if through:
                c.true(len(seen) == 1, f"the download went through the system proxy: {seen}")
            else:
                c.equal(seen, [], "a bypassed host goes direct")
    finally:
        set_system_proxy(world, 1)
        if saved is not None:
            world.env["no_proxy"] = saved


def minisign(*args):
    subprocess.run(["minisign", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def new_key_pair(world, folder_name):
    """A fresh minisign key pair in world.work/folder_name: key.pub, key.sec."""
    keys = world.work / folder_name
    if keys.exists():
        shutil.rmtree(keys)
    keys.mkdir()
    minisign("-G", "-W", "-p", str(keys / "key.pub"), "-s", str(keys / "key.sec"))
    return keys


def case_signed(world, c):
    # With the publisher's key beside it, the Windows program checks what it
    # downloaded: a signed installer runs after one INFO line, a swapped one
    # is refused and the client comes back.
    keys = new_key_pair(world, "keys")
    for swapped in (False, True):
        run = Run(world)
        try:
            shutil.copy2(keys / "key.pub", run.app / "upgrade.pub")
            shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
            minisign("-S", "-s", str(keys / "key.sec"), "-t", "Brisvane 1.2.3",
                     "-m", str(world.served / INSTALLER))
            if swapped:
                # Another program under the signed name, the signature kept.
                shutil.copy2(world.standins / "window_message.exe", world.served / INSTALLER)
            upgrade_with_served_installer(world, run, c)
            log = run.log(c)
            verdicts = [line for line in log if "VerifyInstaller" in line]
            if swapped:
                c.true(len(verdicts) == 1 and verdicts[0].startswith("ERROR ") and
                       verdicts[0].endswith("the installer does not match its signature"),
                       f"the swapped installer is refused: {verdicts}")
                c.true(wait_for(lambda: run.record("bvc").get("started"), 15),
                       "the client was started")
                c.equal(run.record("setup_1.2.3"), {}, "the swapped installer never ran")
                c.true(not (run.data / INSTALLER).exists(), "the refused download is removed")
            else:
                lines = whole_road_lines(run)
                c.true(len(verdicts) == 1 and verdicts[0].startswith(
                    "INFO BrisvaneUpgrade::VerifyInstaller signature good") and
                    verdicts[0].endswith("trusted comment:Brisvane 1.2.3"),
                    f"one INFO line for the good signature: {verdicts}")
                c.equal([line for line in log if line not in verdicts], lines,
                        "otherwise the whole road's log")
                c.true(log.index(verdicts[0]) == lines.index(
                    "INFO ThreadStartInstaller[upgrade] start installer result:1"),
                    "the signature is checked right before the installer starts")
                check_whole_road(world, run, c, signed=True)
        finally:
            run.finish()
            (world.served / (INSTALLER + ".minisig")).unlink(missing_ok=True)


def case_escape_before_start(world, c):
    # Escape while the signature is still on its way: the installer already
    # downloaded never starts, and nothing of it stays in the data folder.
    keys = new_key_pair(world, "keys-escape")
    run = Run(world)
    try:
        shutil.copy2(keys / "key.pub", run.app / "upgrade.pub")
        shutil.copy2(world.standins / "standin.exe", world.served / INSTALLER)
        minisign("-S", "-s", str(keys / "key.sec"), "-m", str(world.served / INSTALLER))
        run.start()
        c.require(run.wait_for_window(), "the window appears")
        c.require(world.send_request(
            f"http://127.0.0.1:{world.port}/late-signature/{INSTALLER}") == 0,
            "upgrade-request.exe delivers the request")
        c.require(wait_for(lambda: (run.data / INSTALLER).exists(), 20),
                  "the installer is downloaded, its signature not yet")
        c.equal(world.window_message("escape"), 0, "escape posted to the window")
        c.require(run.wait_exit(20) is not None, "the upgrader ends after escape")
        c.equal(run.log(c)[-1:], ["INFO upgrade end"], "the log's last line")
        c.equal(sorted(p.name for p in run.data.iterdir() if p.is_file()), [],
                "no installer, signature or .part is left")
        time.sleep(0.5)
        c.equal(run.record("setup_1.2.3"), {}, "the installer never ran")
        c.equal(run.record("bvc"), {}, "the client is not started")
    finally:
        run.finish()
        (world.served / (INSTALLER + ".minisig")).unlink(missing_ok=True)


CASES = [
    ("whole_road", case_whole_road),
    ("unelevated_client", case_unelevated_client),
    ("dev_package", case_dev_package),
    ("command_line_busy", case_command_line_busy),
    ("restart_next_upgrade", case_restart_next_upgrade),
    ("withdraw_idle", case_withdraw_idle),
    ("second_instance", case_second_instance),
    ("download_404", case_download_404),
    ("no_command_bat", case_no_script),
    ("sample_command_bat", case_sample_command_bat),
    ("installer_not_started", case_installer_not_started),
    ("escape_mid_download", case_escape_mid_download),
    ("close_mid_download", case_close_mid_download),
    ("window", case_window),
    ("window_scaled", case_window_scaled),
    ("non_ascii_folders", case_non_ascii_folders),
    ("data_outside_profile", case_data_outside_profile),
    ("system_proxy", case_system_proxy),
    ("signed", case_signed),
    ("escape_before_start", case_escape_before_start),
]


def run_demo(world):
    shot = world.work / "demo-window.ppm"
    c = Checks()
    began = time.monotonic()
    try:
        case_window(world, c, demo_shot=shot)
    except CaseFailed:
        pass
    # The same window at 200 %, as a 4K laptop shows it.
    scaled = world.work / "demo-window-200.ppm"
    world.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "192", "REG_DWORD")
    world.restart_session()
    try:
        check_scaled_window(world, c, 2.0, demo_shot=scaled)
    except CaseFailed:
        pass
    finally:
        world.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "96", "REG_DWORD")
        world.restart_session()
    run_log = world.default_local / "Tamberk" / "Brisvane" / "logs" / "upgrade.log"
    # The client starts as the upgrader exits.
    wait_for(lambda: (world.records / "bvc.txt").exists(), 10)
    print(f"\n== log: {run_log}")
    print(run_log.read_text(encoding="utf-8", errors="replace") if run_log.exists() else "(none)")
    for name in ("setup_1.2.3", "script", "bvc"):
        path = world.records / f"{name}.txt"
        print(f"== {name} recorded ({path})")
        print(path.read_text() if path.exists() else "(did not run)")
    for ppm in (shot.with_suffix(".mid.ppm"), shot, scaled):
        if ppm.exists():
            png = ppm.with_suffix(".png")
            if subprocess.run(["convert", str(ppm), str(png)], check=False).returncode == 0:
                ppm.unlink()
                print(f"screenshot: {png}")
    print(f"upgrade took {time.monotonic() - began:.1f}s")
    for failure in c.failures:
        print("FAILED:", failure)
    return 0 if not c.failures else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--standins", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--case", action="append", choices=[name for name, _ in CASES])
    parser.add_argument("--demo", action="store_true")
    args = parser.parse_args()

    world = World(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        world.start()
        if args.demo:
            return run_demo(world)
        selected = [(n, f) for n, f in CASES if not args.case or n in args.case]
        failed = []
        total = time.monotonic()
        for name, function in selected:
            checks = Checks()
            began = time.monotonic()
            try:
                function(world, checks)
            except CaseFailed:
                pass
            except Exception as error:  # a harness fault fails the case, not the run
                checks.failures.append(f"{type(error).__name__}: {error}")
            took = time.monotonic() - began
            print(f"{'PASS' if not checks.failures else 'FAIL'}  {name} ({took:.1f}s)", flush=True)
            for failure in checks.failures:
                print(f"      {failure}", flush=True)
            if checks.failures:
                failed.append(name)
        print(f"== {len(selected) - len(failed)} passed, {len(failed)} failed "
              f"({time.monotonic() - total:.1f}s)" + (f": {' '.join(failed)}" if failed else ""))
        return 1 if failed else 0
    finally:
        world.stop()


if __name__ == "__main__":
    sys.exit(main())
