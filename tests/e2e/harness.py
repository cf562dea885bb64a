"""End-to-end harness: runs the Win32 build of tabtest under Wine on a private
X server, with the simulated tablet driver, and looks at it through probe.exe.

One WineSession per test module: its own temporary folder, Xvfb, copy of the
cached Wine prefix and wineserver. Each program run gets a sub-folder with the
program, the driver variant, the scenario file and the driver's log.

    session = unittest.enterModuleContext(WineSession())   # in setUpModule
    r = session.run(scenario="info 1 1 text Hello",
                    probe=["wait-dialog", "dump", "click 1", "wait-gone"])
    r.text(1000), r.boxes, r.controls, r.log, r.calls("WTInfoA"), r.exit_code

For pen tests the program keeps running between probe steps:

    with session.start(scenario="waitfile go\\npen 10 20") as app:
        app.probe(["wait-dialog"])
        app.touch("go")
        app.probe(["wait-text 1011 10"])
        app.probe(["click 1", "wait-gone"])

Probe commands are strings: "wait-text ID TEXT" takes the rest of the string
as TEXT (spaces included), every other command is split at spaces. Options
of probe.exe ("--keep-boxes", "--timeout MS") go first in the list.
"""

import fcntl
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
WIN32_DIR = Path(os.environ.get("TABTEST_WIN32_DIR", REPO / "build" / "win32"))
PREFIX_CACHE = Path(os.environ.get("TABTEST_WINE_CACHE", REPO / "build" / "native" / "wineprefix-cache"))

DRIVERS = ("standard", "renamed", "misnumbered", "infoonly")
LOCALES = {"en": "en_US.UTF-8", "de": "de_DE.UTF-8"}
NO_MONO_GECKO = "mscoree,mshtml="
SCREEN = "1024x768"
PROBE_TIME_LIMIT = 120   # seconds for one probe.exe call, a safety net only
END_TIME_LIMIT = 15      # seconds for the program to end after the last probe step

_TOKEN = re.compile(r'([\w-]+)=("(?:[^"\\]|\\.)*"|\S+)|("(?:[^"\\]|\\.)*")|(\S+)')
_ESCAPE = re.compile(r'\\(x[0-9A-Fa-f]{2}|.)')


def windows_path(path):
    """The path as a Windows program under Wine sees it (drive Z: is /)."""
    return "Z:" + str(path).replace("/", "\\")


def _unquote(text):
    simple = {"n": "\n", "r": "\r", "t": "\t"}
    return _ESCAPE.sub(lambda m: chr(int(m[1][1:], 16)) if len(m[1]) == 3 and m[1][0] == "x"
                       else simple.get(m[1], m[1]), text[1:-1])


def _value(text):
    if text.startswith('"'):
        return _unquote(text)
    try:
        return int(text, 0)
    except ValueError:
        pass
    if re.fullmatch(r"-?\d+(,-?\d+)+", text):
        return tuple(int(part) for part in text.split(","))
    return text


def parse_line(line):
    """Splits `word key=value ... "text" bare ...` into (word, fields, bare):
    quoted values unescaped, numbers (decimal or 0x) as int, `X,Y` as a tuple;
    keys with `-` get `_`; a quoted string without key is field "text"."""
    word, _, rest = line.partition(" ")
    fields, bare = {}, []
    for key, value, quoted, other in _TOKEN.findall(rest):
        if key:
            fields[key.replace("-", "_")] = _value(value)
        elif quoted:
            fields["text"] = _unquote(quoted)
        else:
            bare.append(_value(other))
    return word, fields, bare


class Call:
    """One line of the driver log: `name args... -> result key=value...`."""

    def __init__(self, line):
        self.line = line
        self.name, self.fields, bare = parse_line(line)
        arrow = bare.index("->") if "->" in bare else len(bare)
        self.args = bare[:arrow]
        self.result = bare[arrow + 1] if arrow + 1 < len(bare) else None

    def __getitem__(self, key):
        return self.fields[key]

    def __repr__(self):
        return f"Call({self.line!r})"


class App:
    """One run of tabtest.exe: started by WineSession.start, looked at and
    operated with probe(), ended when the `with` block ends."""

    def __init__(self, session, folder, env, lang, args):
        self.session = session
        self.dir = folder
        self.lang = lang
        self.lines = []       # every probe output line, in order
        self.boxes = []       # message boxes seen: caption, text, owner, dialog_visible
        self.dialog = None    # last dump: caption, style, exstyle, class, base (X, Y)
        self.controls = []    # last dump: index, id, class, style, x, y, w, h, visible, text
        self.by_id = {}       # last dump's controls by id (the labels share id 65535)
        self.texts = {}       # latest text seen per control id (dump or wait-text)
        self.focus = None     # id of the focused control in the last dump
        self.visible = False  # the probe saw the dialog visible
        self.gone = False     # the probe saw the dialog gone
        self.exit_code = None
        self.process = session.spawn(["wine", "tabtest.exe", *args], env, folder)

    def __enter__(self):
        return self

    def __exit__(self, error_type, error, traceback):
        if error_type is not None:
            self._kill()
            return False
        try:
            self.exit_code = self.process.wait(timeout=END_TIME_LIMIT)
        except subprocess.TimeoutExpired:
            self._kill()
            raise AssertionError(f"tabtest.exe did not end within {END_TIME_LIMIT} s and was killed\n"
                                 + self.report()) from None
        return False

    def _kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def probe(self, commands):
        """Runs probe.exe with these commands; returns its output lines and
        adds what it saw to this object. A probe that times out or fails
        fails the test."""
        status, lines = self.session.probe(commands, self.lang)
        self.lines += lines
        for line in lines:
            self._take(line)
        if status != 0:
            raise AssertionError(f"probe {commands} failed with status {status}\n" + self.report())
        return lines

    def _take(self, line):
        word, fields, bare = parse_line(line)
        if word == "box":
            self.boxes.append(fields)
        elif word == "dialog" and bare == ["visible"]:
            self.visible = True
        elif word == "dialog":
            self.dialog = fields
            self.controls = []
        elif word == "control":
            self.controls.append(fields)
            self.by_id[fields["id"]] = fields
            self.texts[fields["id"]] = fields["text"]
        elif word == "focus":
            self.focus = fields.get("id")
        elif word == "text":
            self.texts[fields["id"]] = fields["text"]
        elif word == "gone":
            self.gone = True

    def text(self, control_id):
        """The latest text seen in the control (from dump or wait-text)."""
        return self.texts[control_id]

    def touch(self, name):
        """Creates an empty file in the run folder, e.g. for a `waitfile` step
        of the pen script (paths in the scenario are relative to this folder)."""
        (self.dir / name).touch()

    @property
    def log(self):
        """The driver log lines so far."""
        path = self.dir / "simtab.log"
        return path.read_text(encoding="utf-8", errors="replace").splitlines() if path.exists() else []

    def calls(self, name):
        """The driver log lines of this call or event, parsed."""
        return [Call(line) for line in self.log if line.split(" ", 1)[0] == name]

    def report(self):
        return ("probe output:\n  " + "\n  ".join(self.lines) +
                "\ndriver log:\n  " + "\n  ".join(self.log))


class WineSession:
    """A private X server and Wine prefix for the runs of one test module."""

    def __init__(self):
        self.dir = None
        self.processes = []
        self.runs = 0

    def __enter__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="tabtest-e2e-"))
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self):
        for program in ("tabtest.exe", "probe.exe"):
            if not (WIN32_DIR / program).exists():
                raise RuntimeError(f"{WIN32_DIR / program} is missing: build the Win32 tree first")
        # Without the glibc locale Wine quietly shows the English dialog.
        available = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
        missing = [name for name in LOCALES.values() if name.lower().replace("utf-8", "utf8") not in available]
        if missing:
            raise RuntimeError(f"locales {missing} are missing: run scripts/setup")
        self.display = self._start_xvfb()
        _ensure_prefix_cache(self.display)
        self.prefix = self.dir / "prefix"
        subprocess.run(["cp", "-a", str(PREFIX_CACHE), str(self.prefix)], check=True)
        # A persistent wineserver and Wine's services, started by a neutral
        # command: every later Wine process of the session finds them running,
        # so no test's environment (say `comctl32=`) reaches explorer.exe.
        subprocess.run(["wineserver", "-p"], env=self.env("en"), check=True)
        status, lines = self.probe(["boxes"], "en")
        if status != 0:
            raise RuntimeError(f"probe.exe does not run under Wine (status {status}): {lines}")

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        xvfb = self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN + "x24",
                           "-nolisten", "tcp"], dict(os.environ), self.dir, pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError(f"Xvfb did not start (exit {xvfb.poll()})")
        return ":" + number

    def __exit__(self, error_type, error, traceback):
        if getattr(self, "prefix", None) and self.prefix.exists():
            # Ends every Wine process of the prefix, then waits for the
            # server itself, which writes the registry into the prefix.
            subprocess.run(["wineserver", "-k"], env=self.env("en"), stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env("en"), stderr=subprocess.DEVNULL)
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def env(self, lang, overrides=""):
        """The environment of a Wine process in this session."""
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("LC_", "WINE", "SIMTAB_")) and key not in ("LANG", "LANGUAGE")}
        env.update(DISPLAY=self.display, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                   WINEDLLOVERRIDES=NO_MONO_GECKO + overrides, LANG=LOCALES[lang])
        return env

    def spawn(self, command, env, folder, **options):
        """Starts a process that the session ends at the latest on exit."""
        log = open(folder / "output.txt", "ab")
        process = subprocess.Popen(command, env=env, cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=subprocess.STDOUT, **options)
        log.close()
        self.processes.append(process)
        return process

    def probe(self, commands, lang):
        """Runs probe.exe with these commands; returns its exit status and
        output lines."""
        args = []
        for command in commands:
            if command.startswith("wait-text "):
                args += command.split(" ", 2)
            else:
                args += command.split()
        # Output to a file, not a pipe: Wine processes that the call may start
        # (services, explorer.exe) keep a pipe open long after probe.exe ends.
        with tempfile.TemporaryFile(dir=self.dir) as output:
            done = subprocess.run(["wine", str(WIN32_DIR / "probe.exe"), *args], env=self.env(lang),
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.DEVNULL,
                                  timeout=PROBE_TIME_LIMIT)
            output.seek(0)
            return done.returncode, output.read().decode("utf-8").splitlines()

    def start(self, scenario="", driver="standard", lang="en", comctl32=True, args=()):
        """Starts tabtest.exe in a new run folder.

        scenario: the driver's scenario text (str is written in the program's
        ANSI code page, cp1252; bytes as they are); driver: one of DRIVERS, or
        None for no driver library at all; lang: "en" or "de"; comctl32=False
        makes loading the common-controls library fail; args: extra program
        arguments."""
        folder, env = self.prepare(scenario, driver, lang, comctl32)
        return App(self, folder, env, lang, args)

    def prepare(self, scenario="", driver="standard", lang="en", comctl32=True):
        """Makes a new run folder as start does, without starting anything;
        returns the folder and the environment for a Wine process run in it
        (for tools that start the program themselves, as the benchmarks do)."""
        self.runs += 1
        folder = self.dir / f"run{self.runs}"
        folder.mkdir()
        shutil.copy(WIN32_DIR / "tabtest.exe", folder)
        if driver is not None:
            if driver not in DRIVERS:
                raise ValueError(f"unknown driver {driver!r}")
            shutil.copy(WIN32_DIR / "simtab" / driver / "Wintab32.dll", folder)
        scenario_file = folder / "scenario.txt"
        scenario_file.write_bytes(scenario if isinstance(scenario, bytes) else scenario.encode("cp1252"))

        overrides = ";wintab32=n" if driver is not None else ";wintab32="
        if not comctl32:
            overrides += ";comctl32="
        env = self.env(lang, overrides)
        env.update(SIMTAB_SCENARIO=windows_path(scenario_file), SIMTAB_LOG=windows_path(folder / "simtab.log"))
        return folder, env

    def run(self, probe, **options):
        """Starts the program (options as for start), runs the probe commands
        and waits for the program to end."""
        with self.start(**options) as app:
            app.probe(probe)
        return app


def _ensure_prefix_cache(display):
    """Creates the cached Wine prefix once per build tree (under a file lock,
    so that parallel test modules wait for one another).

    Its programs run in a virtual desktop as large as the X screen: windows get
    Wine's own frame and caption, as on Windows, and closing a window is quick
    (on a bare X server Wine waits 2 s per closed top-level window for a window
    manager that is not there)."""
    PREFIX_CACHE.parent.mkdir(parents=True, exist_ok=True)
    with open(str(PREFIX_CACHE) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if PREFIX_CACHE.exists():
            return
        building = Path(f"{PREFIX_CACHE}.new")
        shutil.rmtree(building, ignore_errors=True)
        env = dict(os.environ, DISPLAY=display, WINEPREFIX=str(building), WINEDEBUG="-all",
                   WINEDLLOVERRIDES=NO_MONO_GECKO)
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineboot", "-i"], env=env, **quiet)
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop",
                        "/d", "Default", "/f"], env=env, **quiet)
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default",
                        "/d", SCREEN, "/f"], env=env, **quiet)
        subprocess.run(["wineserver", "-w"], env=env, check=True)
        building.rename(PREFIX_CACHE)
