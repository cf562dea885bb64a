"""The dialog as a user meets it: its layout in English and German, the
identification and device name or the not-installed text, the warning about
a missing common-controls library, and the commands that must not close it
(the ways of closing it are in test_pen.py, with the tablet context)."""

import sys
import unittest
from pathlib import Path

from harness import WineSession

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "static"))
from test_executable import CONTROLS  # noqa: E402  (the template table)

FIELDS = (1000, 1001, 1002, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1013)
CLASS_NAMES = {0x80: "Button", 0x81: "Edit", 0x82: "Static"}
WS_BORDER = 0x00800000
NOT_INSTALLED = {"en": "Driver not installed !", "de": "Treiber nicht installiert !"}
DEFAULT_ID = "SimTab Wintab driver 1.4 (simulated)"
OPEN_AND_CLOSE = ["wait-dialog", "dump", "click 1", "wait-gone"]


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


def pixels(units, base, per):
    """Dialog units to pixels, rounded as the dialog manager does."""
    return (units * base + per // 2) // per


class Layout(unittest.TestCase):
    def test_every_control_stands_as_the_template_says_in_both_languages(self):
        for lang, column in (("en", 2), ("de", 3)):
            with self.subTest(lang=lang):
                r = session.run(lang=lang, driver=None, probe=OPEN_AND_CLOSE)
                self.assertEqual("WinTab32 Info", r.dialog["caption"])
                base_x, base_y = r.dialog["base"]
                self.assertEqual(len(CONTROLS), len(r.controls))
                for expected, seen in zip(CONTROLS, r.controls):
                    ident, (cls, style), text = expected[0], expected[1], expected[column]
                    x, y, w, h = expected[4:]
                    # The edit control turns its border into a client edge.
                    self.assertEqual(
                        dict(id=ident, cls=CLASS_NAMES[cls], style=style & ~WS_BORDER,
                             visible=int(bool(style & 0x10000000)),
                             rect=(pixels(x, base_x, 4), pixels(y, base_y, 8),
                                   pixels(w, base_x, 4), pixels(h, base_y, 8))),
                        dict(id=seen["id"], cls=seen["class"], style=seen["style"] & ~WS_BORDER,
                             visible=seen["visible"], rect=(seen["x"], seen["y"], seen["w"], seen["h"])))
                    if ident not in FIELDS and ident != 1014:
                        self.assertEqual(text, seen["text"])
                self.assertEqual(1, r.focus, "the OK button has the focus")

    def test_dialog_is_centred_on_the_screen(self):
        r = session.run(driver=None, probe=OPEN_AND_CLOSE)
        d = r.dialog
        self.assertAlmostEqual(1024 / 2, d["x"] + d["w"] / 2, delta=1)
        self.assertAlmostEqual(768 / 2, d["y"] + d["h"] / 2, delta=1)


class WithoutDriver(unittest.TestCase):
    def test_says_so_in_its_own_language_and_leaves_every_other_field_empty(self):
        for lang in ("en", "de"):
            with self.subTest(lang=lang):
                r = session.run(lang=lang, driver=None, probe=OPEN_AND_CLOSE)
                self.assertEqual(NOT_INSTALLED[lang], r.text(1000))
                self.assertEqual({i: "" for i in FIELDS[1:]}, {i: r.text(i) for i in FIELDS[1:]})
                self.assertEqual([], r.boxes)
                self.assertTrue(r.gone)
                self.assertEqual(0, r.exit_code)

    def test_a_driver_that_reports_no_identification_counts_as_missing(self):
        r = session.run(scenario="info 1 1 none", probe=OPEN_AND_CLOSE)
        self.assertEqual(NOT_INSTALLED["en"], r.text(1000))
        self.assertEqual("", r.text(1006))
        self.assertEqual([], [c for c in r.calls("WTInfoA") if c.args[:2] == [100, 1]],
                         "no device name is asked for")

    def test_a_driver_without_the_identification_function_counts_as_missing(self):
        r = session.run(driver="misnumbered", probe=OPEN_AND_CLOSE)
        self.assertEqual(NOT_INSTALLED["en"], r.text(1000))
        self.assertEqual(["attach"], [line for line in r.log if line == "attach"])


class DriverAnswers(unittest.TestCase):
    def test_identification_and_device_name_are_shown_as_the_driver_answers(self):
        r = session.run(scenario="info 1 1 text Pen Tablet Driver, Version 7.0\n"
                                 "info 100 1 text Gr\xe4fe Pad A5\n", probe=OPEN_AND_CLOSE)
        self.assertEqual("Pen Tablet Driver, Version 7.0", r.text(1000))
        self.assertEqual("Gräfe Pad A5", r.text(1006))
        self.assertEqual([], r.boxes)

    def test_device_field_repeats_the_identification_when_the_device_query_writes_nothing(self):
        for fault in ("info 100 1 none", "nowrite 100 1"):
            with self.subTest(fault=fault):
                r = session.run(scenario=fault, probe=OPEN_AND_CLOSE)
                self.assertEqual(DEFAULT_ID, r.text(1006))

    def test_functions_are_bound_by_ordinal_whatever_their_names(self):
        r = session.run(driver="renamed", probe=OPEN_AND_CLOSE)
        self.assertEqual(DEFAULT_ID, r.text(1000))
        self.assertEqual(1, len(r.calls("WTOpenA")))
        self.assertEqual(1, len(r.calls("WTClose")))

    def test_command_line_is_ignored(self):
        r = session.run(args=["/driver", "--lang=de", "x" * 500], probe=OPEN_AND_CLOSE)
        self.assertEqual(DEFAULT_ID, r.text(1000))
        self.assertEqual(0, r.exit_code)


class LongAnswers(unittest.TestCase):
    """The driver is given the 2048-byte text buffer without a size: an answer
    is fetched only when the driver says it fits, and always ends inside it."""

    def test_answers_up_to_the_buffer_size_are_shown_and_longer_ones_are_not_fetched(self):
        cases = [  # (characters, shown)
            (2046, True),     # 2047 bytes with the NUL
            (2047, True),     # 2048 bytes: exactly the buffer
            (2048, False),    # 2049 bytes
            (100000, False),
        ]
        for characters, shown in cases:
            with self.subTest(characters=characters):
                r = session.run(scenario=f"info 1 1 fill 65 {characters}\ninfo 100 1 fill 66 {characters}\n",
                                probe=OPEN_AND_CLOSE)
                self.assertEqual("A" * characters if shown else "", r.text(1000))
                self.assertEqual("B" * characters if shown else "", r.text(1006))
                self.assertEqual("1.1", r.text(1001), "the driver still counts as present")
                fetched = [c for c in r.calls("WTInfoA") if c.args[:3] == [1, 1, "buffer"]]
                self.assertEqual(1 if shown else 0, len(fetched))

    def test_an_answer_without_its_terminating_nul_runs_on_into_what_the_buffer_held(self):
        # The buffer is shared: the device name overwrites only its own bytes.
        r = session.run(scenario="info 1 1 text Long identification text\n"
                                 "info 100 1 bytes 50 61 64\n", probe=OPEN_AND_CLOSE)
        self.assertEqual("Long identification text", r.text(1000))
        self.assertEqual("Padg identification text", r.text(1006))

    def test_a_2048_byte_answer_without_nul_is_cut_to_fit_its_terminator(self):
        r = session.run(scenario="info 1 1 bytes " + "43 " * 2048 + "\n", probe=OPEN_AND_CLOSE)
        self.assertEqual("C" * 2047, r.text(1000))


class CommonControls(unittest.TestCase):
    def test_missing_library_is_warned_about_before_the_dialog_which_follows(self):
        r = session.run(comctl32=False, probe=OPEN_AND_CLOSE)
        self.assertEqual([dict(caption="KOLDAN - Install", text="COMCTL32.DLL nicht geladen!!!",
                               owner="none", dialog_visible=0)],
                         [{k: b[k] for k in ("caption", "text", "owner", "dialog_visible")} for b in r.boxes])
        self.assertEqual(DEFAULT_ID, r.text(1000))
        self.assertTrue(r.gone)

    def test_no_warning_when_the_library_loads(self):
        r = session.run(probe=OPEN_AND_CLOSE)
        self.assertEqual([], r.boxes)


class OtherCommands(unittest.TestCase):
    def test_other_commands_leave_the_dialog_open(self):
        ignored = [
            0x00010001,  # OK's identifier with a notification code
            0x00050002,  # Cancel's identifier with a notification code
            1000,        # another control
            3,
        ]
        with session.start() as app:
            app.probe(["wait-dialog"] + [f"command {w:#x}" for w in ignored] + ["dump"])
            self.assertEqual(DEFAULT_ID, app.text(1000), "the dialog is still there")
            self.assertEqual([], app.calls("WTClose"))
            app.probe(["click 1", "wait-gone"])
        self.assertEqual(1, len(app.calls("WTClose")))


if __name__ == "__main__":
    unittest.main()
