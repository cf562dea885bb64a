"""No driver can crash it: the program run start to close with a driver that
misbehaves in each way the simulated driver can inject, one fault (or a small
combination) per row, and a seeded random mix of several faults per run.

Every run is checked whole against the oracle of faults.py (every field, the
message boxes, the tablet context closed on OK, exit code 0, no crash); each
row also states by hand the texts its fault is about, which keeps the oracle
honest for the random mix."""

import unittest

from faults import (DEVICE_NAME, IDENTIFICATION, IMPL_VERSION, SPEC_VERSION, WAIT_LIMIT, X_AXIS, Y_AXIS,
                    Faults, axis, dword, expected, fill, mixed_run, none, raw, run, text, word)
from harness import WineSession

ID = "SimTab Wintab driver 1.4 (simulated)"
DEVICE = "SimTab SP-608 (simulated)"
SPEC_BOX, IMPL_BOX = "Achtung: SPEC", "Achtung: IMPL"
CLOSE_BOX = "Fehler beim Schließen!"
NO_PEN = {1011: "", 1012: "", 1013: ""}
MIX_SEED = 20240611


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


def pen(x, y, buttons):
    return {1011: x, 1012: y, 1013: buttons}


class Table(unittest.TestCase):
    def check(self, rows):
        """Each row: (what, faults, the texts the fault is about: fields by
        id, "boxes" the message box texts in order)."""
        for what, faults, expect in rows:
            with self.subTest(what):
                want = expected(faults)
                box_texts = [b["text"] for b in want.boxes]
                self.assertEqual(expect, {key: box_texts if key == "boxes" else want.fields[key] for key in expect},
                                 "the oracle disagrees with the table")
                self.assertEqual([], run(session, faults, want), faults.describe())


class TextAnswers(Table):
    def test_answers_around_and_far_beyond_the_buffer(self):
        self.check([  # lengths in bytes, the NUL included
            ("identification of 2047 bytes", Faults(answers={IDENTIFICATION: fill(65, 2046)}),
             {1000: "A" * 2046, 1006: DEVICE}),
            ("identification of 2048 bytes", Faults(answers={IDENTIFICATION: fill(65, 2047)}),
             {1000: "A" * 2047}),
            ("identification of 2049 bytes: not fetched, the driver still present",
             Faults(answers={IDENTIFICATION: fill(65, 2048)}), {1000: "", 1006: DEVICE, 1001: "1.1"}),
            ("identification of 4096 bytes", Faults(answers={IDENTIFICATION: fill(65, 4095)}),
             {1000: "", 1001: "1.1", 1007: "15200"}),
            ("identification of 100000 bytes", Faults(answers={IDENTIFICATION: fill(65, 99999)}),
             {1000: "", 1002: "1.4", 1009: "  152.0"}),
            ("identification of 2048 bytes without NUL: its last byte gives way to the NUL",
             Faults(answers={IDENTIFICATION: raw(b"C" * 2048)}), {1000: "C" * 2047}),
            ("identification of 4096 bytes without NUL", Faults(answers={IDENTIFICATION: raw(b"C" * 4096)}),
             {1000: "", 1001: "1.1"}),
            ("device name of 2048 bytes", Faults(answers={DEVICE_NAME: fill(66, 2047)}),
             {1000: ID, 1006: "B" * 2047}),
            ("device name of 2049 bytes: not fetched, the buffer holds the identification",
             Faults(answers={DEVICE_NAME: fill(66, 2048)}), {1006: ID}),
            ("both of 100000 bytes", Faults(answers={IDENTIFICATION: fill(65, 99999), DEVICE_NAME: fill(66, 99999)}),
             {1000: "", 1006: "", 1001: "1.1", 1008: "9500"}),
        ])

    def test_text_answers_that_report_or_write_the_wrong_amount(self):
        self.check([
            ("identification without NUL", Faults(answers={IDENTIFICATION: raw(b"ABC")}), {1000: "ABC"}),
            ("identification written while reporting 0: no driver",
             Faults(answers={IDENTIFICATION: text("Hello").but(result=0)}),
             {1000: "Driver not installed !", 1006: "", 1001: "", 1007: "", "boxes": []}),
            ("identification reporting 0xFFFFFFFF bytes",
             Faults(answers={IDENTIFICATION: text("Hello").but(result=0xFFFFFFFF)}), {1000: "Hello", 1001: "1.1"}),
            ("identification reporting bytes it does not write",
             Faults(answers={IDENTIFICATION: text("Hello").but(nowrite=True)}),
             {1000: "", 1006: DEVICE, 1001: "1.1"}),
            ("size query answering 0 for a short identification: no answer",
             Faults(answers={IDENTIFICATION: text("Hello").but(sizequery=0)}),
             {1000: "Driver not installed !", 1001: ""}),
            ("size query answering 2049 for a short identification: not fetched",
             Faults(answers={IDENTIFICATION: text("Hello").but(sizequery=2049)}), {1000: "", 1001: "1.1"}),
            ("size query answering 0xFFFFFFFF", Faults(answers={IDENTIFICATION: text("Hello").but(sizequery=0xFFFFFFFF)}),
             {1000: "", 1006: DEVICE}),
            ("device name written while reporting 0: over the identification in the buffer",
             Faults(answers={DEVICE_NAME: raw(b"Pad").but(result=0)}), {1006: "PadTab Wintab driver 1.4 (simulated)"}),
            ("device name reporting 2049 bytes", Faults(answers={DEVICE_NAME: text("Pad").but(result=2049)}),
             {1006: "Pad"}),
            ("no device name: the identification repeated", Faults(answers={DEVICE_NAME: none()}), {1006: ID}),
            ("size query of the device name answering 0xFFFFFFFF",
             Faults(answers={DEVICE_NAME: text("Pad").but(sizequery=0xFFFFFFFF)}), {1006: ID}),
            ("control characters and the code page's letters",
             Faults(answers={IDENTIFICATION: raw(b"A\x01\tZ\x1b\x7f\x80\xe4\xff B\0")}),
             {1000: "A\x01\tZ\x1b\x7f\u20ac\xe4\xff B"}),
            ("no identification, in German", Faults(answers={IDENTIFICATION: none()}, lang="de"),
             {1000: "Treiber nicht installiert !", 1006: "", "boxes": []}),
        ])

    def test_text_answers_overwrite_only_the_bytes_they_write(self):
        # One buffer holds each text in turn; the count reported does not cut it.
        self.check([
            ("device name without NUL after a longer identification",
             Faults(answers={DEVICE_NAME: raw(b"Pad")}), {1006: "PadTab Wintab driver 1.4 (simulated)"}),
            ("identification reporting fewer bytes than it writes",
             Faults(answers={IDENTIFICATION: text("Hello").but(result=3)}), {1000: "Hello"}),
            ("device name reporting bytes it does not write",
             Faults(answers={DEVICE_NAME: text("Pad").but(nowrite=True, result=5)}),
             {1006: "SimTab Wintab driver 1.4 (simulated)"}),
        ])


class Versions(Table):
    def test_version_answers_of_every_wrong_size_and_count(self):
        self.check([
            ("nothing written (0 bytes)", Faults(answers={SPEC_VERSION: none()}),
             {1001: "0.0", 1002: "1.4", "boxes": [SPEC_BOX]}),
            ("1 byte", Faults(answers={SPEC_VERSION: raw(b"\x05")}), {1001: "0.5", "boxes": [SPEC_BOX]}),
            ("3 bytes", Faults(answers={SPEC_VERSION: raw(b"\x07\x03\x09")}), {1001: "3.7", "boxes": [SPEC_BOX]}),
            ("4 bytes", Faults(answers={SPEC_VERSION: dword(0x00020105)}), {1001: "1.5", "boxes": [SPEC_BOX]}),
            ("2 bytes reported as 0xFFFFFFFF", Faults(answers={SPEC_VERSION: word(0x0102).but(result=0xFFFFFFFF)}),
             {1001: "1.2", "boxes": [SPEC_BOX]}),
            ("2 bytes reported as 0", Faults(answers={IMPL_VERSION: word(0x0102).but(result=0)}),
             {1001: "1.1", 1002: "1.2", "boxes": [IMPL_BOX]}),
            ("numbers beyond 9", Faults(answers={SPEC_VERSION: word(0x0A0B), IMPL_VERSION: word(0xFF09)}),
             {1001: "*.*", 1002: "*.9", "boxes": []}),
            ("implementation reporting 2 bytes it does not write: the word as the first query left it",
             Faults(answers={SPEC_VERSION: word(0x0305), IMPL_VERSION: word(0x0102).but(nowrite=True)}),
             {1001: "3.5", 1002: "3.5", "boxes": []}),
            ("3 bytes, then no implementation version",
             Faults(answers={SPEC_VERSION: raw(b"\x09\x08\x07"), IMPL_VERSION: none()}),
             {1001: "8.9", 1002: "8.9", "boxes": [SPEC_BOX, IMPL_BOX]}),
            ("4 bytes, then 1 byte over them",
             Faults(answers={SPEC_VERSION: dword(0xFFFF0203), IMPL_VERSION: raw(b"\x04")}),
             {1001: "2.3", 1002: "2.4", "boxes": [SPEC_BOX, IMPL_BOX]}),
        ])


class Axes(Table):
    def test_extreme_axes_and_unit_codes(self):
        self.check([
            ("INT32_MIN to INT32_MAX in inches", Faults(answers={X_AXIS: axis(-2**31, 2**31 - 1, 1, 1)}),
             {1007: "4294967295", 1008: "9500", 1009: "     .0", 1010: "  241.3"}),
            ("INT32_MAX to INT32_MIN", Faults(answers={X_AXIS: axis(2**31 - 1, -2**31, 2, 1)}),
             {1007: "1", 1009: "     .0"}),
            ("maximum below the minimum", Faults(answers={X_AXIS: axis(100, 0, 2, 1000)}),
             {1007: "4294967196", 1009: "   -1.0"}),
            ("an extent too large for the field", Faults(answers={X_AXIS: axis(0, 2**31 - 1, 2, 1)}),
             {1007: "2147483647", 1009: "*******", 1010: "   95.0"}),
            ("unit code 0", Faults(answers={X_AXIS: axis(0, 500, 0, 1)}), {1007: "500", 1009: "", 1010: ""}),
            ("unit code 3", Faults(answers={X_AXIS: axis(0, 500, 3, 1)}), {1009: "", 1010: ""}),
            ("unit code 0x80000001", Faults(answers={X_AXIS: axis(0, 500, 0x80000001, 1)}), {1009: ""}),
            ("unit code 0xFFFFFFFF", Faults(answers={X_AXIS: axis(0, 500, 0xFFFFFFFF, 1)}), {1009: "", 1010: ""}),
            ("only the Y unit odd: the X unit decides", Faults(answers={Y_AXIS: axis(0, 500, 0xFFFFFFFF, 1)}),
             {1008: "500", 1010: "    5.0"}),
            ("X record of 8 bytes: no unit", Faults(answers={X_AXIS: raw(bytes(4) + (500).to_bytes(4, "little"))}),
             {1007: "500", 1009: ""}),
            ("Y record of 4 bytes", Faults(answers={Y_AXIS: raw((7).to_bytes(4, "little"))}),
             {1008: "4294967289", 1010: "    -.1"}),
            ("no X axis", Faults(answers={X_AXIS: none()}), {1007: "0", 1009: "", 1010: ""}),
        ])


class ContextAndPackets(Table):
    def test_context_and_packet_faults(self):
        stroke = ["pen 10 20", "buttons 3"]
        self.check([
            ("no default context", Faults(flags={"context none"}, steps=stroke), pen("10", "20", "3")),
            ("a default context with odd fields",
             Faults(context=[("lcName", "N" * 60), ("lcPktData", 0xFFFFFFFF), ("lcMsgBase", 5)], steps=stroke),
             pen("10", "20", "3")),
            ("WTOpenA answering 0", Faults(flags={"open fail"}, steps=stroke), {**NO_PEN, "boxes": []}),
            ("WTClose failing", Faults(flags={"close fail"}, steps=stroke), {**pen("10", "20", "3"), "boxes": [CLOSE_BOX]}),
            ("WTPacket failing", Faults(flags={"packet fail"}, steps=stroke), NO_PEN),
            ("messages with serials and contexts never issued",
             Faults(steps=stroke + ["post 0 open", "post 4294967295 open", "post 1 0x1234", "post 2 0",
                                    "post 4294967295 other", "post 5 0xFFFFFFFF"]), pen("10", "20", "3")),
            ("only messages without packets", Faults(steps=["post 7 open", "post 1 0"]), NO_PEN),
            ("a packet of the driver's other context", Faults(steps=stroke + ["other 70 80 90"]),
             pen("70", "80", "90")),
            ("extreme pen values", Faults(steps=["pen -1 -2147483648", "buttons 4294967295"]),
             pen("4294967295", "2147483648", "4294967295")),
            ("a flood of 3000 packets", Faults(steps=["pen 0 9", "flood 3000"]), pen("3000", "9", "0")),
            ("a flood into a queue of 1", Faults(queue=1, steps=["flood 500"]), pen("500", "0", "0")),
            ("a flood into a queue of 0", Faults(queue=0, steps=["flood 500"]), NO_PEN),
            ("WTPacket answering true for an unknown serial: the zeroed record",
             Faults(flags={"packet true"}, steps=["pen 5 6", "post 4294967295 open"]), pen("0", "0", "0")),
            ("WTPacket answering true for packets dropped at once",
             Faults(flags={"packet true"}, queue=0, steps=["flood 3"]), pen("0", "0", "0")),
        ])

    def test_closing_while_the_driver_keeps_sending_packets(self):
        for close_fails in (False, True):
            with self.subTest(close_fails=close_fails):
                # The buttons stay pressed while X moves on: a text to wait for.
                scenario = "buttons 1\nrate 100000 200\n" + ("close fail\n" if close_fails else "")
                with session.start(scenario=scenario) as app:
                    app.probe([WAIT_LIMIT, "wait-dialog", "wait-text 1013 1", "click 1", "wait-gone"])
                self.assertEqual([CLOSE_BOX] if close_fails else [], [b["text"] for b in app.boxes])
                self.assertEqual([0 if close_fails else 1], [c.result for c in app.calls("WTClose")])
                self.assertEqual(0, app.exit_code)
                self.assertNotIn("script done", app.log)


class Libraries(Table):
    def test_missing_incomplete_and_unloadable_libraries(self):
        stroke = ["pen 10 20"]
        not_installed = {1000: "Driver not installed !", 1001: "", 1006: "", 1011: "", "boxes": []}
        self.check([
            ("no library", Faults(driver=None, steps=stroke), not_installed),
            ("a library that refuses to load", Faults(flags={"load fail"}, steps=stroke), not_installed),
            ("no functions at the ordinals", Faults(driver="misnumbered", steps=stroke), not_installed),
            ("only WTInfoA", Faults(driver="infoonly", steps=stroke), {1000: ID, 1001: "1.1", **NO_PEN}),
            ("functions under other names, WTClose failing",
             Faults(driver="renamed", flags={"close fail"}, steps=stroke),
             {1000: ID, 1011: "10", "boxes": [CLOSE_BOX]}),
            ("no common controls and no identification",
             Faults(comctl32=False, answers={IDENTIFICATION: none()}),
             {1000: "Driver not installed !", "boxes": ["COMCTL32.DLL nicht geladen!!!"]}),
        ])


class AnswersLongerThanTheirRecord(Table):
    """A driver whose answer is longer than the record it is asked to fill:
    the interface gives the driver no buffer size, so the program asks for the
    answer's size first and leaves such answers alone."""

    def test_answers_larger_than_their_records_are_not_fetched(self):
        self.check([
            ("size query answering 0 for an identification of 4096 bytes",
             Faults(answers={IDENTIFICATION: fill(65, 4095).but(sizequery=0)}),
             {1000: "Driver not installed !", 1006: ""}),
            ("a default context of 4096 bytes", Faults(answers={(3, 0): fill(65, 4095)}), {}),
            ("a version answer of 41 bytes",
             Faults(answers={SPEC_VERSION: text("0123456789012345678901234567890123456789")}),
             {1001: "0.0", "boxes": [SPEC_BOX]}),
            ("an X axis of 172 bytes", Faults(answers={X_AXIS: fill(65, 171)}),
             {1007: "0", 1009: "", 1010: ""}),
        ])


class RandomMix(unittest.TestCase):
    def test_twenty_runs_of_mixed_faults(self):
        """The first 20 runs of `scripts/faults --seed 20240611`."""
        for number in range(20):
            faults = mixed_run(MIX_SEED, number)
            with self.subTest(run=number, faults=faults.names):
                problems = run(session, faults, expected(faults))
                self.assertEqual([], problems, faults.describe())


if __name__ == "__main__":
    unittest.main()
