"""Fault injection: the program run start to close under Wine with a
misbehaving simulated driver, each run checked against an oracle that
computes the dialog's texts from the faults alone.

A fault configuration (`Faults`) says what the driver answers and how it
fails. `expected(faults)` computes, from the dialog's documented rules, every
field text, the message boxes and whether a tablet context is opened.
`run(session, faults, want)` runs the program once and answers the
differences. `random_faults(rng)` combines several faults for one run.

    python3 tests/e2e/faults.py [--runs N] [--seed S]   (or scripts/faults)

runs N random combinations in one Wine session and prints the figures.
"""

import argparse
import random
import struct
import sys
import time
from dataclasses import dataclass, field, replace

from harness import WineSession

TEXT_BUFFER = 2048
NOT_INSTALLED = {"en": "Driver not installed !", "de": "Treiber nicht installiert !"}
FIELDS = (1000, 1001, 1002, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1013)
PEN_FIELDS = (1011, 1012, 1013)
IDENTIFICATION, DEVICE_NAME = (1, 1), (100, 1)
SPEC_VERSION, IMPL_VERSION = (1, 2), (1, 3)
X_AXIS, Y_AXIS = (100, 12), (100, 13)
BOX_KEYS = ("caption", "text", "owner", "dialog_visible")
WAIT_LIMIT = "--timeout 60000"   # probe waits: generous, other tests share the machine
SCRIPT_TIME_LIMIT = 300          # seconds for the program to handle the pen script's messages


# ---------------------------------------------------------------- driver answers

@dataclass
class Answer:
    """What the driver answers to one WTInfoA query: `directive` (after
    `info C I` in the scenario) and the bytes it writes, `data` (None: an
    answer with no data, 0); `result` what the query with a buffer reports
    instead of the size, `nowrite` that it writes nothing, `sizequery` what
    the query with a null buffer reports instead of the size."""
    directive: str
    data: bytes = None
    result: int = None
    nowrite: bool = False
    sizequery: int = None

    def but(self, **changes):
        return replace(self, **changes)

    def size(self):
        """The answer to the query with a null buffer."""
        return self.sizequery if self.sizequery is not None else len(self.data or b"")

    def write(self, buffer):
        """The query with a buffer: writes into it and answers the count."""
        if self.data and not self.nowrite:
            buffer[:len(self.data)] = self.data
        return self.result if self.result is not None else len(self.data or b"")

    def lines(self, key):
        c, i = key
        lines = [f"info {c} {i} {self.directive}"]
        if self.result is not None:
            lines.append(f"result {c} {i} {self.result}")
        if self.nowrite:
            lines.append(f"nowrite {c} {i}")
        if self.sizequery is not None:
            lines.append(f"sizequery {c} {i} {self.sizequery}")
        return lines


def text(characters):
    return Answer("text " + characters, characters.encode("cp1252") + b"\0")


def fill(code, count):
    return Answer(f"fill {code} {count}", bytes([code]) * count + b"\0")


def raw(data):
    return Answer("bytes " + " ".join(f"{b:02X}" for b in data), bytes(data))


def word(value):
    return Answer(f"word {value:#x}", struct.pack("<H", value))


def dword(value):
    return Answer(f"dword {value:#x}", struct.pack("<I", value))


def axis(minimum, maximum, units, resolution):
    return Answer(f"axis {minimum} {maximum} {units} {resolution}",
                  struct.pack("<iiII", minimum, maximum, units, resolution << 16))


def none():
    return Answer("none")


# The simulated driver's built-in tablet (simtab/README.md).
BUILT_IN = {
    IDENTIFICATION: text("SimTab Wintab driver 1.4 (simulated)"),
    DEVICE_NAME: text("SimTab SP-608 (simulated)"),
    SPEC_VERSION: word(0x0101),
    IMPL_VERSION: word(0x0104),
    X_AXIS: axis(0, 15200, 2, 1000),
    Y_AXIS: axis(0, 9500, 2, 1000),
}

# Which driver functions each library variant offers at the program's ordinals.
VARIANT_FUNCTIONS = {
    "standard": {"WTInfoA", "WTOpenA", "WTClose", "WTPacket"},
    "renamed": {"WTInfoA", "WTOpenA", "WTClose", "WTPacket"},
    "misnumbered": set(),
    "infoonly": {"WTInfoA"},
    None: set(),
}


@dataclass
class Faults:
    """One run's driver: the library variant (None: no library), the
    language, whether the common-controls library loads, the answers that
    differ from the built-in tablet, the flags (`open fail`, `close fail`,
    `packet fail`, `packet true`, `load fail`, `context none`), changed
    default-context fields, the packet queue length and the pen script.
    `names`: the faults combined, for reports."""
    names: list = field(default_factory=list)
    driver: str = "standard"
    lang: str = "en"
    comctl32: bool = True
    answers: dict = field(default_factory=dict)
    flags: set = field(default_factory=set)
    context: list = field(default_factory=list)
    queue: int = None
    steps: list = field(default_factory=list)

    def answer(self, key):
        """The answer to this query, put into `answers` to be changed."""
        if key not in self.answers:
            self.answers[key] = BUILT_IN.get(key, none()).but()
        return self.answers[key]

    def scenario(self):
        lines = [line for key, answer in self.answers.items() for line in answer.lines(key)]
        lines += sorted(self.flags)
        lines += [f"context {name} {value}" for name, value in self.context]
        if self.queue is not None:
            lines.append(f"queue {self.queue}")
        return "\n".join(lines + self.steps) + "\n"

    def describe(self):
        return (f"faults {self.names} driver={self.driver} lang={self.lang} comctl32={self.comctl32}\n"
                "scenario:\n  " + "\n  ".join(short(line, 120) for line in self.scenario().splitlines()))


# ---------------------------------------------------------------- oracle

@dataclass
class Expected:
    fields: dict     # control id -> text; only these are compared
    boxes: list      # message boxes in order: caption, text, owner, dialog_visible
    opened: bool     # a tablet context is opened, so closed on OK
    script: bool     # the pen script runs (wait for it before reading the pen fields)


def box(caption, text, owner, dialog_visible):
    return dict(caption=caption, text=text, owner=owner, dialog_visible=dialog_visible)


def expected(faults):
    """The dialog as the documented rules make it for these faults."""
    functions = set() if "load fail" in faults.flags else VARIANT_FUNCTIONS[faults.driver]

    def query(key, buffer=None):
        if "WTInfoA" not in functions:
            return 0
        answer = faults.answers.get(key) or BUILT_IN.get(key) or none()
        return answer.size() if buffer is None else answer.write(buffer)

    fields = dict.fromkeys(FIELDS, "")
    boxes = []
    if not faults.comctl32:
        boxes.append(box("KOLDAN - Install", "COMCTL32.DLL nicht geladen!!!", "none", 0))

    # One text buffer, zeroed at the start, holds each text answer in turn.
    buffer = bytearray(TEXT_BUFFER)
    if fetch_text(query, IDENTIFICATION, buffer) == 0:
        fields[1000] = NOT_INSTALLED[faults.lang]
    else:
        fields[1000] = shown(buffer)
        fetch_text(query, DEVICE_NAME, buffer)
        fields[1006] = shown(buffer)

        # Both versions are received in one 32-bit word, zero at the start.
        version = bytearray(4)
        for key, control, warning in ((SPEC_VERSION, 1001, "Achtung: SPEC"),
                                      (IMPL_VERSION, 1002, "Achtung: IMPL")):
            if fetch(query, key, version) != 2:
                boxes.append(box("", warning, "dialog", 0))
            fields[control] = version_text(version[1], version[0])

        x, y = bytearray(16), bytearray(16)   # axis records, zeroed
        fetch(query, X_AXIS, x)
        fetch(query, Y_AXIS, y)
        x_min, x_max, x_units, _ = struct.unpack("<iiII", x)
        y_min, y_max, _, _ = struct.unpack("<iiII", y)
        extents = ((x_max - x_min) % 2**32, (y_max - y_min) % 2**32)
        fields[1007], fields[1008] = (str(e) for e in extents)
        if x_units in (1, 2):   # the X unit decides for both
            fields[1009], fields[1010] = (millimetre_field(signed(e), x_units) for e in extents)

    opened = "WTOpenA" in functions and "open fail" not in faults.flags
    script = opened and bool(faults.steps)
    if script:
        fields.update(zip(PEN_FIELDS, pen_fields(faults)))
    if opened and "close fail" in faults.flags:
        boxes.append(box("WinTab32", "Fehler beim Schließen!", "dialog", 1))
    return Expected(fields, boxes, opened, script)


def fetch(query, key, buffer):
    """An answer into a buffer: not fetched when the size query reports 0 or
    more than the buffer holds (the size query's answer is returned then);
    otherwise the count the query with the buffer reports."""
    length = query(key)
    if length == 0 or length > len(buffer):
        return length
    return query(key, buffer)


def fetch_text(query, key, buffer):
    """A text answer into the shared text buffer: it overwrites only the bytes
    it writes, and the buffer's last byte is always NUL."""
    count = fetch(query, key, buffer)
    buffer[TEXT_BUFFER - 1] = 0
    return count


def shown(buffer):
    """The buffer's text as a field shows it: up to the NUL, ANSI code page."""
    return bytes(buffer[:buffer.index(0)]).decode("cp1252")


def version_text(major, minor):
    """M.m, each byte as its digit when 0 to 9, otherwise an asterisk."""
    return ".".join(str(n) if n <= 9 else "*" for n in (major, minor))


def signed(value):
    return value - 2**32 if value >= 2**31 else value


def round_to_bits(value, exponent, bits):
    """value * 2^exponent rounded to `bits` significant bits, to nearest, ties to even."""
    while value >> bits:
        excess = value.bit_length() - bits
        dropped = value & ((1 << excess) - 1)
        value >>= excess
        exponent += excess
        if dropped > 1 << (excess - 1) or (dropped == 1 << (excess - 1) and value & 1):
            value += 1   # may carry into a new bit: the loop rounds again
    return value, exponent


def millimetre_field(extent, unit):
    """The millimetre field by exact integer arithmetic (the reference of
    tests/unit/millimetre_reference.h): extent times the single-precision
    factor, rounded to 53 and then to 24 bits, then to tenths, half away
    from zero; seven characters right-aligned, asterisks when too long."""
    factor, exponent = (0xD013A9, -29) if unit == 1 else (0xA3D70A, -30)   # 0.0254f, 0.01f
    value, exponent = round_to_bits(abs(extent) * factor, exponent, 53)
    value, exponent = round_to_bits(value, exponent, 24)
    bits = max(-exponent, 0)
    whole, fraction = (value << exponent, 0) if exponent >= 0 else (value >> bits, value & ((1 << bits) - 1))
    first_digit = (fraction * 10) >> bits
    dropped_digit = (((fraction * 10) & ((1 << bits) - 1)) * 10) >> bits
    tenths = whole * 10 + first_digit + (1 if dropped_digit >= 5 else 0)
    digits = ("-" if extent < 0 and tenths else "") + (str(tenths // 10) if tenths >= 10 else "") + \
        "." + str(tenths % 10)
    return "*******" if len(digits) > 7 else digits.rjust(7)


def pen_fields(faults):
    """The pen fields once the program has handled every packet message of
    the script. Messages are handled in the order they were posted; the last
    packet a step queued is the newest of its queue, so the driver still has
    it when its message comes (unless the queue keeps none), whatever older
    ones it dropped meanwhile. A packet the driver does not have leaves the
    fields as they were, or, from a driver that answers true all the same,
    shows the zeroed packet record."""
    pen = [0, 0, 0]   # x, y, buttons of the script's context
    messages = []     # per message: the packet's values, or None for no packet
    for step in faults.steps:
        kind, *values = step.split()
        if kind == "pen" and [int(v, 0) for v in values] != pen[:2]:
            pen[:2] = [int(v, 0) for v in values]
            messages.append(tuple(pen))
        elif kind == "buttons" and int(values[0], 0) != pen[2]:
            pen[2] = int(values[0], 0)
            messages.append(tuple(pen))
        elif kind == "flood":
            for _ in range(int(values[0])):
                pen[0] = signed((pen[0] + 1) % 2**32)   # the driver's X wraps at 32 bits
                messages.append(tuple(pen))
        elif kind == "other":
            messages.append(tuple(int(v, 0) for v in values))
        elif kind == "post":
            messages.append(None)

    shown_values = None
    if "packet fail" not in faults.flags:
        for values in messages:
            if values is not None and faults.queue != 0:
                shown_values = values
            elif "packet true" in faults.flags:
                shown_values = (0, 0, 0)
    if shown_values is None:
        return ("", "", "")
    return tuple(str(v % 2**32) for v in shown_values)


# ---------------------------------------------------------------- runs

def run(session, faults, want):
    """Runs the program once, start to close, with these faults. Answers the
    differences from `want` as (control id or None, description) pairs;
    none when the run went as expected."""
    try:
        with session.start(scenario=faults.scenario(), driver=faults.driver, lang=faults.lang,
                           comctl32=faults.comctl32) as app:
            if want.script:
                app.probe([WAIT_LIMIT, "wait-dialog"])
                wait_for_packets(app)
                app.probe([WAIT_LIMIT, "dump", "click 1", "wait-gone"])
            else:
                app.probe([WAIT_LIMIT, "wait-dialog", "dump", "click 1", "wait-gone"])
    except AssertionError as error:   # a probe failed, or the program did not end
        return [(None, str(error))]

    problems = [(control, f"field {control} shows {short(app.texts.get(control))}, expected {short(text)}")
                for control, text in want.fields.items() if app.texts.get(control) != text]
    boxes = [{key: b[key] for key in BOX_KEYS} for b in app.boxes]
    if boxes != want.boxes:
        problems.append((None, f"message boxes {boxes}, expected {want.boxes}"))
    closes = [c.result for c in app.calls("WTClose")]
    wanted_closes = [0 if "close fail" in faults.flags else 1] if want.opened else []
    if closes != wanted_closes:
        problems.append((None, f"WTClose answered {closes}, expected {wanted_closes}"))
    if not app.gone or app.exit_code != 0:
        problems.append((None, f"dialog gone: {app.gone}, exit code {app.exit_code}, expected 0"))
    output = (app.dir / "output.txt").read_text(errors="replace")
    if "unhandled" in output.lower():
        problems.append((None, "Wine output: " + output.strip()))
    return problems


def wait_for_packets(app):
    """Waits until the pen script is done and the program has asked the
    driver for the packet of every message posted (one WTPacket each)."""
    deadline = time.monotonic() + SCRIPT_TIME_LIMIT
    while True:
        log = app.log
        posted = sum(line.startswith("post serial=") for line in log)
        asked = sum(line.startswith("WTPacket ") for line in log)
        if "script done" in log and asked >= posted:
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"after {SCRIPT_TIME_LIMIT} s: {posted} messages posted, "
                                 f"{asked} packets asked for\n" + app.report())
        time.sleep(0.05)


def short(value, limit=60):
    if not isinstance(value, str) or len(value) <= limit:
        return repr(value)
    return f"{value[:limit]!r}... ({len(value)} characters)"


# ---------------------------------------------------------------- random faults

PRINTABLE = range(0x20, 0x7F)
# Bytes a text answer may hold: printable ASCII, a few control characters,
# and the code page's letters and signs (no line breaks, which a one-line
# edit field cuts at, and none of the five bytes cp1252 leaves undefined).
TEXT_BYTES = [*PRINTABLE, 0x01, 0x09, 0x1B, 0x7F, 0x80, 0x8A, 0x99, *range(0xA0, 0x100)]
TEXT_LENGTHS = (1, 2, 2047, 2048, 2049, 4096, 100000)   # bytes, the NUL included
INT32_EXTREMES = (-2**31, 2**31 - 1, -1, 0, 1)
UNIT_CODES = (0, 1, 2, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF)
NEVER_ISSUED_SERIALS = (0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF)   # the script issues far fewer
FOREIGN_CONTEXTS = ("0", "0x1234", "0x5300", "0xFFFFFFFF", "open", "other")
TEXT_QUERIES = {"identification": IDENTIFICATION, "device name": DEVICE_NAME}
VERSION_QUERIES = {"interface version": SPEC_VERSION, "implementation version": IMPL_VERSION}
AXIS_QUERIES = {"X axis": X_AXIS, "Y axis": Y_AXIS}


def random_bytes(rng, count, choices=range(256)):
    return bytes(rng.choice(choices) for _ in range(count))


def int32(rng):
    return rng.choice(INT32_EXTREMES + (rng.randrange(-2**31, 2**31),))


def stroke(faults, rng):
    """A few pen moves and button changes."""
    for _ in range(rng.randint(1, 3)):
        faults.steps.append(rng.choice([f"pen {int32(rng)} {int32(rng)}", f"buttons {rng.randrange(2**32)}",
                                        f"pen {rng.randrange(100)} {rng.randrange(100)}"]))


def text_faults(name, key):
    """Faults of a text answer: those that replace it, and those that change
    how it is reported."""
    def length(f, rng):
        f.answers[key] = fill(rng.choice(PRINTABLE), rng.choice(TEXT_LENGTHS) - 1)

    def unterminated(f, rng):
        f.answers[key] = raw(random_bytes(rng, rng.choice((1, 7, 40, 2047, 2048)), TEXT_BYTES))

    def characters(f, rng):
        f.answers[key] = raw(random_bytes(rng, rng.randint(1, 60), TEXT_BYTES) + b"\0")

    def missing(f, rng):
        f.answers[key] = none()

    def count(f, rng):
        answer = f.answer(key)
        length = len(answer.data or b"")
        answer.result = rng.choice((0, 1, 3, max(length - 1, 0), length + 5, 2047, 2048, 2049, 0xFFFFFFFF))

    def writes_nothing(f, rng):
        f.answer(key).nowrite = True

    def size_query(f, rng):
        # An answer longer than the buffer is said to be longer: a driver that
        # says it fits and writes past the buffer is beyond any program.
        answer = f.answer(key)
        fits = len(answer.data or b"") <= TEXT_BUFFER
        answer.sizequery = rng.choice((0, 1, 2048, 2049, 0xFFFFFFFF) if fits else (2049, 0xFFFFFFFF))

    return ({f"{name} length": length, f"{name} unterminated": unterminated,
             f"{name} characters": characters, f"{name} missing": missing},
            {f"{name} count": count, f"{name} writes nothing": writes_nothing,
             f"{name} size query": size_query})


def version_faults(name, key):
    def value(f, rng):
        f.answers[key] = word(rng.choice((0, 0x0909, 0x0A00, 0x000A, 0xFFFF, 0x0100, rng.randrange(0x10000))))

    def size(f, rng):
        f.answers[key] = rng.choice((none(), raw(random_bytes(rng, 1)), raw(random_bytes(rng, 3)),
                                     dword(rng.randrange(2**32))))

    def count(f, rng):
        f.answer(key).result = rng.choice((0, 1, 3, 4, 0xFFFFFFFF))

    def writes_nothing(f, rng):
        f.answer(key).nowrite = True

    return ({f"{name} value": value, f"{name} size": size},
            {f"{name} count": count, f"{name} writes nothing": writes_nothing})


def axis_faults(name, key):
    def extremes(f, rng):
        f.answers[key] = axis(int32(rng), int32(rng), rng.choice(UNIT_CODES), rng.randrange(0x10000))

    def short_record(f, rng):
        f.answers[key] = raw(random_bytes(rng, rng.randint(1, 15)))

    def missing(f, rng):
        f.answers[key] = none()

    return ({f"{name} extremes": extremes, f"{name} short record": short_record, f"{name} missing": missing},
            {})


def unit_code(f, rng):
    f.answers[X_AXIS] = axis(0, rng.randrange(100000), rng.choice(UNIT_CODES + (rng.randrange(2**32),)), 1000)


def flag(name, pen=False):
    def add(f, rng):
        f.flags.add(name)
        if pen:
            stroke(f, rng)
    return add


def packet_true(f, rng):
    """A driver that claims packets it does not have, and a message that asks it for one."""
    f.flags.add("packet true")
    stroke(f, rng)
    f.steps.append(f"post {rng.choice(NEVER_ISSUED_SERIALS)} open")


def queue_length(f, rng):
    f.queue = rng.choice((0, 1, 2))
    stroke(f, rng)


def flood(f, rng):
    f.steps.append(f"flood {rng.choice((50, 500, 3000))}")


def foreign_messages(f, rng):
    stroke(f, rng)
    for _ in range(rng.randint(1, 3)):
        f.steps.append(f"post {rng.choice(NEVER_ISSUED_SERIALS)} {rng.choice(FOREIGN_CONTEXTS)}")


def other_context(f, rng):
    f.steps.append(f"other {int32(rng)} {int32(rng)} {rng.randrange(2**32)}")


def odd_default_context(f, rng):
    f.context.append(("lcName", "N" * rng.choice((39, 40, 60))))
    f.context.append((rng.choice(("lcPktData", "lcMsgBase", "lcInExtX", "lcSysMode", "lcOptions")),
                      rng.randrange(2**32)))


def variant(f, rng):
    f.driver = rng.choice(("renamed", "misnumbered", "infoonly", None))


def german(f, rng):
    f.lang = "de"


def no_common_controls(f, rng):
    f.comctl32 = False


ANSWER_FAULTS = ([text_faults(name, key) for name, key in TEXT_QUERIES.items()] +
                 [version_faults(name, key) for name, key in VERSION_QUERIES.items()] +
                 [axis_faults(name, key) for name, key in AXIS_QUERIES.items()])

# Every fault the generator combines, by name, in the order they are applied:
# answers are replaced first, then reported differently, then the rest.
FAULTS = {
    **{name: fault for replacing, _ in ANSWER_FAULTS for name, fault in replacing.items()},
    "unit code": unit_code,
    **{name: fault for _, changing in ANSWER_FAULTS for name, fault in changing.items()},
    "no default context": flag("context none"),
    "odd default context": odd_default_context,
    "pen strokes": stroke,
    "flood": flood,
    "foreign messages": foreign_messages,
    "other context": other_context,
    "queue length": queue_length,
    "open fails": flag("open fail", pen=True),
    "close fails": flag("close fail"),
    "packet fails": flag("packet fail", pen=True),
    "packet true": packet_true,
    "library variant": variant,
    "load fails": flag("load fail"),
    "German": german,
    "no common controls": no_common_controls,
}


def random_faults(rng):
    """Two to five different faults, applied in the order of FAULTS."""
    names = set(rng.sample(sorted(FAULTS), rng.randint(2, 5)))
    faults = Faults()
    for name, fault in FAULTS.items():
        if name in names:
            faults.names.append(name)
            fault(faults, rng)
    return faults


def mixed_run(seed, number):
    """The faults of run `number` of the mix with this seed."""
    return random_faults(random.Random(f"{seed}/{number}"))


def main():
    parser = argparse.ArgumentParser(description="Runs the program start to close under Wine with "
                                     "random combinations of driver faults, each checked against the oracle.")
    parser.add_argument("--runs", type=int, default=300, help="number of runs (default 300)")
    parser.add_argument("--seed", type=int, default=int(time.time()), help="seed (default: the clock)")
    args = parser.parse_args()

    print(f"{args.runs} runs, seed {args.seed}", flush=True)
    start = time.monotonic()
    failures = 0
    with WineSession() as session:
        for number in range(args.runs):
            faults = mixed_run(args.seed, number)
            problems = run(session, faults, expected(faults))
            if problems:
                failures += 1
                print(f"\nFAILED run {number} (--seed {args.seed}): {faults.describe()}\n  " +
                      "\n  ".join(text for _, text in problems), flush=True)
            if (number + 1) % 50 == 0:
                print(f"{number + 1} runs, {failures} failed, {time.monotonic() - start:.0f} s", flush=True)
    minutes = (time.monotonic() - start) / 60
    print(f"\n{args.runs} runs (seed {args.seed}): {args.runs - failures} as expected, "
          f"{failures} failed; {minutes:.1f} min")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
