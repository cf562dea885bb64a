"""The version and size fields as the dialog shows them for what the driver
reports, and the warnings about version answers of the wrong size."""

import unittest

from harness import WineSession

OPEN_AND_CLOSE = ["wait-dialog", "dump", "click 1", "wait-gone"]


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


def box_texts(r):
    return [(b["caption"], b["text"], b["owner"], b["dialog_visible"]) for b in r.boxes]


class Versions(unittest.TestCase):
    def test_versions_show_major_and_minor_with_an_asterisk_beyond_nine(self):
        cases = [  # (interface version word, implementation version word, shown)
            (0x0101, 0x0102, ("1.1", "1.2")),
            (0x010A, 0xFF05, ("1.*", "*.5")),
        ]
        for spec, impl, shown in cases:
            with self.subTest(spec=hex(spec), impl=hex(impl)):
                r = session.run(scenario=f"info 1 2 word {spec:#x}\ninfo 1 3 word {impl:#x}\n",
                                probe=OPEN_AND_CLOSE)
                self.assertEqual(shown, (r.text(1001), r.text(1002)))
                self.assertEqual([], r.boxes)

    def test_answers_of_the_wrong_size_are_warned_about_before_the_dialog_shows(self):
        r = session.run(scenario="info 1 2 dword 0x0101\ninfo 1 3 word 0x0102\nresult 1 3 3\n",
                        probe=OPEN_AND_CLOSE)
        self.assertEqual([("", "Achtung: SPEC", "dialog", 0), ("", "Achtung: IMPL", "dialog", 0)],
                         box_texts(r))
        self.assertEqual(("1.1", "1.2"), (r.text(1001), r.text(1002)), "the fields are filled all the same")

    def test_a_version_query_that_writes_nothing_shows_zero_or_the_previous_version(self):
        r = session.run(scenario="info 1 2 none\ninfo 1 3 none\n", probe=OPEN_AND_CLOSE)
        self.assertEqual(["Achtung: SPEC", "Achtung: IMPL"], [b["text"] for b in r.boxes])
        self.assertEqual(("0.0", "0.0"), (r.text(1001), r.text(1002)))

        r = session.run(scenario="info 1 2 word 0x0103\ninfo 1 3 none\n", probe=OPEN_AND_CLOSE)
        self.assertEqual(["Achtung: IMPL"], [b["text"] for b in r.boxes])
        self.assertEqual(("1.3", "1.3"), (r.text(1001), r.text(1002)))


class Sizes(unittest.TestCase):
    def test_extents_in_counts_and_sizes_in_millimetres(self):
        cases = [  # (X axis, Y axis, extent X, extent Y, mm X, mm Y)
            ("0 500 1 1000", "0 100 1 1000", "500", "100", "   12.7", "    2.5"),
            ("0 15200 2 1000", "0 9500 2 1000", "15200", "9500", "  152.0", "   95.0"),
            ("100 0 1 1000", "0 20 1 1000", "4294967196", "20", "   -2.5", "     .5"),
            ("0 500 1 1000", "0 500 2 1000", "500", "500", "   12.7", "   12.7"),  # X's unit decides
            ("0 25 2 1000", "0 5 2 1000", "25", "5", "     .3", "     .0"),
            ("-2147483648 2147483647 1 1", "0 -2 1 1", "4294967295", "4294967294", "     .0", "    -.1"),
            ("0 1000000000 2 1", "0 0 2 1", "1000000000", "0", "*******", "     .0"),
        ]
        for x, y, extent_x, extent_y, mm_x, mm_y in cases:
            with self.subTest(x=x, y=y):
                r = session.run(scenario=f"info 100 12 axis {x}\ninfo 100 13 axis {y}\n",
                                probe=OPEN_AND_CLOSE)
                self.assertEqual((extent_x, extent_y, mm_x, mm_y),
                                 (r.text(1007), r.text(1008), r.text(1009), r.text(1010)))

    def test_other_units_leave_the_millimetres_empty(self):
        for unit in (0, 3, 0xFFFFFFFF):
            with self.subTest(unit=unit):
                r = session.run(scenario=f"info 100 12 axis 0 500 {unit} 1\ninfo 100 13 axis 0 300 1 1\n",
                                probe=OPEN_AND_CLOSE)
                self.assertEqual(("500", "300", "", ""),
                                 (r.text(1007), r.text(1008), r.text(1009), r.text(1010)))
                self.assertEqual(1, len(r.calls("WTOpenA")), "the context is opened all the same")

    def test_an_axis_query_that_writes_nothing_shows_a_zero_extent(self):
        r = session.run(scenario="info 100 12 none\n", probe=OPEN_AND_CLOSE)
        self.assertEqual(("0", "9500", "", ""), (r.text(1007), r.text(1008), r.text(1009), r.text(1010)))


if __name__ == "__main__":
    unittest.main()
