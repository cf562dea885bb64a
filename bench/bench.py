"""Benchmarks of tabtest beside its floor, the baseline program
(bench/baseline.cpp), under Wine with the simulated tablet driver. Prints one
table of figures and the target lines; see README.md, "Benchmarks".

Every figure comes from this one run: the two programs take turns (in the
order AB, then BA, ...) in each round, so that the load of the machine falls
on both alike, and each figure is set beside the other program's.

    python3 bench/bench.py     (scripts/bench builds first, then runs this)

The Win32 build tree is the harness's (TABTEST_WIN32_DIR, default
build/win32); it must hold tabtest.exe, baseline.exe, benchrun.exe, probe.exe
and the simulated driver.
"""

import collections
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from harness import WIN32_DIR, Call, WineSession, parse_line, windows_path  # noqa: E402

PROGRAM, BASELINE = "tabtest.exe", "baseline.exe"
PROGRAMS = (PROGRAM, BASELINE)
ROUNDS = 8             # interleaved rounds of every timed kind of run
STARTUPS = 5           # start-ups of each program per round (the noisiest figure)
FLOODS = 2             # throughput runs of each program per round
FLOOD = 2000           # packets of a throughput run; the queue keeps them all
RATES = (200, 1000)    # packets per second of the latency runs, 2 s each
QUEUE = 8              # the driver's queue in the latency runs (see README)
CALL_PACKETS = 20      # packets of the traced run that counts calls
PEN_X_FIELD = 1011     # IDC_PEN_X (tabtest/resource.h): shows the last packet's X
EXE_LIMIT = 24576      # bytes
THROUGHPUT_TARGET = 0.95
STARTUP_TARGET = 1.10
SETUP_LIMIT = 300      # seconds for the X server, the Wine prefix and wineserver
RUN_LIMIT = 180        # seconds for one run of a program

FLOOR = collections.Counter({"wintab32.WTPacket": 1, "user32.SetDlgItemInt": 3})
PACKET_MESSAGE = "WM_USER+31728"   # WT_PACKET (0x7FF0) as Wine's relay trace names it

_CALL = re.compile(r"^(\w{4}):(?:Call|CALL) (\w+)\.(\w+)\(.*\) ret=([0-9a-f]{8})$")
_DIALOG = re.compile(r"^(\w{4}):(Call|Ret ) dialog proc \w+ \(hwnd=\w+,msg=([^,]+),")
_LOADED = re.compile(r'^(\w{4}):trace:loaddll:build_module Loaded L"[^"]*\\\\([^"\\]+)" at ([0-9A-F]{8}): native')


class BenchError(Exception):
    """The benchmark could not measure: the message says why."""


def _alarm(signum, frame):
    raise BenchError(f"Wine or the X server did not start within {SETUP_LIMIT} s")


def _terminate(signum, frame):
    raise SystemExit(f"bench: ended by signal {signum}")


def progress(text):
    print(text, file=sys.stderr, flush=True)


# ------------------------------------------------------------------ runs

def start_run(session, program, scenario):
    """A run folder with both programs, the driver and the scenario."""
    folder, env = session.prepare(scenario=scenario)
    shutil.copy(WIN32_DIR / BASELINE, folder)
    return folder, env


def driver_log(folder):
    path = folder / "simtab.log"
    return path.read_text(encoding="utf-8", errors="replace").splitlines() if path.exists() else []


def failure(program, folder, what):
    output = (folder / "output.txt").read_text(errors="replace").strip()
    return BenchError(f"{program}: {what}\n  output: {output}\n  driver log (end): "
                      + " | ".join(driver_log(folder)[-6:]))


def bench_run(session, program, scenario, last_x=None):
    """Runs the program under benchrun.exe; answers benchrun's figures
    (visible_us, peak_bytes) and the driver log."""
    folder, env = start_run(session, program, scenario)
    command = ["wine", str(WIN32_DIR / "benchrun.exe"), windows_path(folder / program)]
    if last_x is not None:
        command.append(str(last_x))
    process = session.spawn(command, env, folder)
    try:
        status = process.wait(timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise failure(program, folder, f"benchrun.exe did not end within {RUN_LIMIT} s") from None
    figures = {}
    for line in (folder / "output.txt").read_text(errors="replace").splitlines():
        word, fields, _ = parse_line(line)
        for key, value in fields.items():
            figures[f"{word}_{key}"] = value
    if status != 0 or figures.get("exit_code") != 0:
        raise failure(program, folder, f"benchrun.exe ended with status {status}")
    return figures, driver_log(folder)


def first_stats(log):
    """The stats line written at WTClose."""
    for line in log:
        if line.startswith("stats "):
            return Call(line)
    raise BenchError("the driver log has no stats line")


def startup_run(session, program):
    figures, _ = bench_run(session, program, "log off\n")
    return figures["visible_us"] / 1000


def throughput_run(session, program):
    scenario = f"log off\nqueue {FLOOD}\nwaitfile go\nflood {FLOOD}\n"
    figures, log = bench_run(session, program, scenario, FLOOD)
    stats = first_stats(log)
    if stats["read"] != FLOOD or stats["dropped"] != 0:
        raise BenchError(f"{program}: the flood was not read whole: {stats.line}")
    seconds = (stats["last_read"] - stats["first_post"]) / 1e6
    return FLOOD / seconds, figures["peak_bytes"]


def latency_run(session, program, rate):
    """Post-to-read times (ms) of the packets read, and the packets dropped."""
    count = 2 * rate
    scenario = f"queue {QUEUE}\nwaitfile go\nrate {count} {rate}\n"
    _, log = bench_run(session, program, scenario, count)
    # A post line may follow the read of its packet: the driver logs the
    # post once PostMessage has returned, with the time taken before it.
    calls = [Call(line) for line in log]
    posted = {call["serial"]: call["t"] for call in calls if call.name == "post" and not call.args}
    latencies = [(call["t"] - posted[call.args[1]]) / 1000
                 for call in calls if call.name == "WTPacket" and call.result == 1]
    stats = first_stats(log)
    if stats["posted"] != count:
        raise BenchError(f"{program}: {stats['posted']} of {count} packets posted at {rate}/s")
    return latencies, stats["dropped"]


# ------------------------------------------------------------------ calls

def image_size(path):
    """SizeOfImage from the PE optional header."""
    data = path.read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, header + 24 + 56)[0]


def calls_run(session, program):
    """Runs the program under Wine's relay trace with a flood of
    CALL_PACKETS packets; answers the calls its own code made up to the end
    of WM_INITDIALOG and the calls made in each packet message."""
    folder, env = start_run(session, program, f"queue {CALL_PACKETS}\nwaitfile go\nflood {CALL_PACKETS}\n")
    env["WINEDEBUG"] = "+relay,+snoop,+loaddll"
    process = session.spawn(["wine", program], env, folder)
    try:
        probe(session, program, folder, ["wait-dialog"])
        (folder / "go").touch()
        probe(session, program, folder, [f"wait-text {PEN_X_FIELD} {CALL_PACKETS}", "click 1", "wait-gone"])
        process.wait(timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        raise failure(program, folder, f"the traced program did not end within {RUN_LIMIT} s") from None
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return count_calls((folder / "output.txt").read_text(errors="replace").splitlines(),
                       program, image_size(WIN32_DIR / program))


def probe(session, program, folder, commands):
    try:
        status, lines = session.probe(commands, "en")
    except subprocess.TimeoutExpired:
        raise failure(program, folder, f"probe {commands} did not end") from None
    if status != 0:
        raise failure(program, folder, f"probe {commands} failed: {lines}")


def count_calls(lines, program, size):
    thread, base = None, None
    startup = collections.Counter()
    packets = []
    messages = []          # the dialog procedure's messages being handled
    in_startup = True
    for line in lines:
        loaded = _LOADED.match(line)
        if loaded and loaded[2].lower() == program.lower():
            thread, base = loaded[1], int(loaded[3], 16)
            continue
        if thread is None or not line.startswith(thread + ":"):
            continue
        dialog = _DIALOG.match(line)
        if dialog:
            message = dialog[3]
            if dialog[2] == "Call":
                if message == PACKET_MESSAGE and PACKET_MESSAGE not in messages:
                    packets.append(collections.Counter())
                messages.append(message)
            else:
                messages.pop()
                if message == "WM_INITDIALOG":
                    in_startup = False
            continue
        call = _CALL.match(line)
        if call and base <= int(call[4], 16) < base + size:
            name = f"{call[2].lower()}.{call[3]}"
            if in_startup:
                startup[name] += 1
            elif PACKET_MESSAGE in messages:
                packets[-1][name] += 1
    if base is None or len(packets) != CALL_PACKETS:
        raise BenchError(f"{program}: the relay trace shows {len(packets)} of {CALL_PACKETS} packets")
    return startup, packets


# ------------------------------------------------------------------ figures

def spread(values, digits=0):
    return (f"{statistics.median(values):.{digits}f} "
            f"[{min(values):.{digits}f}-{max(values):.{digits}f}]")


def paired_ratio(values):
    """The program's figure over the baseline's, run by run: each pair of
    runs came one after the other, under about the same load. Answers the
    median ratio and the text with its spread."""
    ratios = [mine / floor for mine, floor in zip(values[PROGRAM], values[BASELINE])]
    return statistics.median(ratios), spread(ratios, 3)


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def by_library(counter):
    libraries = collections.Counter()
    for name, count in counter.items():
        libraries[name.split(".")[0]] += count
    return ", ".join(f"{library} {count}" for library, count in sorted(libraries.items()))


def describe(counter):
    return ", ".join(f"{name} {count}" for name, count in sorted(counter.items()))


def packet_calls(packets):
    """The calls of every packet, or the packets that differ from the
    others."""
    common = collections.Counter(max(packets, key=packets.count))
    text = f"{sum(common.values())} ({describe(common)})"
    for number, counter in enumerate(packets, 1):
        if counter != common:
            text += f"; packet {number}: {sum(counter.values())} (+{describe(counter - common)})"
    return text


def row(label, program, baseline, note=""):
    print(f"{label:<38} {program:<24} {baseline:<24} {note}")


def wine_version():
    done = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30)
    return done.stdout.strip()


def target(passed, text):
    print(f"{'PASS' if passed else 'FAIL'}  {text}")


def measure(session):
    calls = {}
    for program in PROGRAMS:
        progress(f"bench: counting calls of {program} (relay trace)")
        calls[program] = calls_run(session, program)

    for program in PROGRAMS:
        startup_run(session, program)   # warm-up, not counted

    startup = collections.defaultdict(list)
    throughput = collections.defaultdict(list)
    peak = collections.defaultdict(list)
    latency = collections.defaultdict(list)
    dropped = collections.defaultdict(list)
    for number in range(ROUNDS):
        progress(f"bench: round {number + 1} of {ROUNDS}")
        order = PROGRAMS if number % 2 == 0 else PROGRAMS[::-1]
        for pair in range(STARTUPS):
            for program in order if pair % 2 == 0 else order[::-1]:
                startup[program].append(startup_run(session, program))
        for pair in range(FLOODS):
            for program in order if pair % 2 == 0 else order[::-1]:
                rate, bytes_ = throughput_run(session, program)
                throughput[program].append(rate)
                peak[program].append(bytes_ / 1024)
        for rate in RATES:
            for program in order:
                times, drops = latency_run(session, program, rate)
                latency[program, rate] += times
                dropped[program, rate].append(drops)
    return calls, startup, throughput, peak, latency, dropped


def report(calls, startup, throughput, peak, latency, dropped):
    program, baseline = PROGRAMS
    print(f"tabtest benchmarks: {program} beside {baseline} (the floor), {wine_version()}, "
          f"{ROUNDS} interleaved rounds; median [min-max]")
    row("", program, baseline, "program/baseline, run by run")
    startup_calls = {name: calls[name][0] for name in PROGRAMS}
    packets = {name: calls[name][1] for name in PROGRAMS}
    row("calls at start-up (own code)", str(sum(startup_calls[program].values())),
        str(sum(startup_calls[baseline].values())))
    for name in PROGRAMS:
        print(f"  {name}: {by_library(startup_calls[name])}")
    print(f"calls per packet (floor {sum(FLOOR.values())}: {describe(FLOOR)}):")
    for name in PROGRAMS:
        print(f"  {name}: {packet_calls(packets[name])}")

    ratio_throughput, ratios = paired_ratio(throughput)
    row(f"throughput, flood of {FLOOD} (packets/s)", spread(throughput[program]),
        spread(throughput[baseline]), ratios)
    for rate in RATES:
        cells = [f"{statistics.median(latency[name, rate]):.2f} / {p99(latency[name, rate]):.2f}"
                 for name in PROGRAMS]
        row(f"latency at {rate}/s, median / p99 (ms)", *cells)
        row(f"dropped at {rate}/s (queue {QUEUE}), total", *[str(sum(dropped[name, rate])) for name in PROGRAMS],
            f"of {ROUNDS * 2 * rate} each")
        row("  per run", *[spread(dropped[name, rate]) for name in PROGRAMS])
    ratio_startup, ratios = paired_ratio(startup)
    row("start-up to visible dialog (ms)", spread(startup[program], 1), spread(startup[baseline], 1),
        ratios)
    sizes = {name: (WIN32_DIR / name).stat().st_size for name in PROGRAMS}
    row(".exe size (bytes)", str(sizes[program]), str(sizes[baseline]))
    row("peak working set (KiB)", spread(peak[program]), spread(peak[baseline]), paired_ratio(peak)[1])

    print()
    # The program binds WTPacket, like every driver function, on its first
    # use: the first packet's one GetProcAddress is that binding, made once
    # per process, not work per packet.
    first, *rest = packets[program]
    binding = collections.Counter({"kernel32.GetProcAddress": 1})
    target(first in (FLOOR, FLOOR + binding) and all(counter == FLOOR for counter in rest),
           f"calls per packet equal the floor, but for the binding of WTPacket on its first use "
           f"({program}: {packet_calls(packets[program])})")
    target(ratio_throughput >= THROUGHPUT_TARGET, f"throughput ratio {ratio_throughput:.3f} >= {THROUGHPUT_TARGET}")
    low, high = RATES
    drops = {key: sum(values) for key, values in dropped.items()}
    target(drops[program, low] == 0, f"no drops at {low}/s ({drops[program, low]})")
    target(drops[program, high] <= drops[baseline, high],
           f"drops at {high}/s no more than the baseline's ({drops[program, high]} vs {drops[baseline, high]})")
    target(ratio_startup <= STARTUP_TARGET, f"start-up ratio {ratio_startup:.3f} <= {STARTUP_TARGET}")
    target(sizes[program] <= EXE_LIMIT, f"{program} {sizes[program]} bytes <= {EXE_LIMIT}")


def main():
    signal.signal(signal.SIGTERM, _terminate)
    for tool in ("wine", "wineserver", "Xvfb"):
        if shutil.which(tool) is None:
            raise BenchError(f"{tool} is not installed: run scripts/setup")
    for name in (PROGRAM, BASELINE, "benchrun.exe", "probe.exe", "simtab/standard/Wintab32.dll"):
        if not (WIN32_DIR / name).exists():
            raise BenchError(f"{WIN32_DIR / name} is missing: build the Win32 tree (scripts/build)")
    started = time.monotonic()
    session = WineSession()
    signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(SETUP_LIMIT)
    try:
        session.__enter__()
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        raise BenchError(f"Wine or the X server could not be started: {error}") from None
    finally:
        signal.alarm(0)
    try:
        # Every call of the program's own code in the relay trace: Wine
        # leaves out a few (SetLastError, TlsGetValue, ...) unless told not to.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayExclude",
                        "/d", "", "/f"], env=session.env("en"), capture_output=True, check=True,
                       timeout=60)
        figures = measure(session)
    finally:
        session.__exit__(None, None, None)
    progress(f"bench: measured in {time.monotonic() - started:.0f} s")
    report(*figures)


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
        sys.exit(2)
