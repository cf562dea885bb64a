"""Live pen tracking: the context the program opens on the driver's default
context, the packets it shows, and how it closes the context and releases the
driver when the dialog ends."""

import time
import unittest

from harness import WineSession

PEN_X, PEN_Y, PEN_BUTTONS, NOT_INSTALLED_TEXT = 1011, 1012, 1013, 1000
OPENED = 0x5301        # the first handle the simulated driver hands out
OTHER = 0x5399         # the driver's other context
WAIT = ["--timeout", "90000"]   # generous: other test runs share the machine
LOG_WAIT_SECONDS = 600

# The simulated driver's default context, as its README lists it.
DEFAULT_CONTEXT = {
    "lcName": "SimTab Default Context", "lcOptions": 0x0201, "lcStatus": 0x1, "lcLocks": 0x3,
    "lcMsgBase": 0x7FF0, "lcDevice": 0, "lcPktRate": 100, "lcPktData": 0x1FFF, "lcPktMode": 0x0400,
    "lcMoveMask": 0x1FFF, "lcBtnDnMask": 0xFFFF, "lcBtnUpMask": 0xFFFF,
    "lcInOrgX": 0, "lcInOrgY": 0, "lcInOrgZ": 0, "lcInExtX": 15201, "lcInExtY": 9501, "lcInExtZ": 1024,
    "lcOutOrgX": 0, "lcOutOrgY": 0, "lcOutOrgZ": 0, "lcOutExtX": 15201, "lcOutExtY": 9501, "lcOutExtZ": 1024,
    "lcSensX": 0x10000, "lcSensY": 0x10000, "lcSensZ": 0x10000,
    "lcSysMode": 0, "lcSysOrgX": 0, "lcSysOrgY": 0, "lcSysExtX": 1024, "lcSysExtY": 768,
    "lcSysSensX": 0x10000, "lcSysSensY": 0x10000,
}

# Default fields changed by the scenario, among the ten the program sets and
# the others, so that neither a fixed record nor a default left untouched
# can pass.
CHANGED_DEFAULTS = {
    "lcName": "Pen Test Context", "lcOptions": 0x0203, "lcStatus": 0x3, "lcLocks": 0x5,
    "lcMsgBase": 0x6000, "lcDevice": 2, "lcPktRate": 250, "lcPktData": 0x07FF, "lcPktMode": 0x0180,
    "lcMoveMask": 0x7, "lcBtnDnMask": 0x3, "lcBtnUpMask": 0x1, "lcInOrgX": 10, "lcInExtY": -9501,
    "lcOutOrgZ": 7, "lcOutExtX": 30000, "lcSensZ": 0x20000, "lcSysMode": 1, "lcSysOrgX": 100,
    "lcSysExtY": 600, "lcSysSensX": 0x18000,
}
CHANGED_SCENARIO = "".join(f"context {field} {value}\n" for field, value in CHANGED_DEFAULTS.items())

# The ten fields the program sets, whatever the default.
PROGRAM_FIELDS = {
    "lcOptions": 0x0004, "lcStatus": 0x0004, "lcMsgBase": 0x7FF0, "lcDevice": 0, "lcPktData": 0x01CA,
    "lcPktMode": 0, "lcMoveMask": 0x0180, "lcBtnDnMask": 0xFFFFFFFF, "lcBtnUpMask": 0xFFFFFFFF,
    "lcSysMode": 0,
}


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


def shows(app, x, y, buttons):
    """Waits until the three pen fields show these values."""
    app.probe(WAIT + [f"wait-text {PEN_X} {x}", f"wait-text {PEN_Y} {y}", f"wait-text {PEN_BUTTONS} {buttons}"])


def wait_for_log(app, found, what):
    """Waits until a line of the driver log satisfies `found`."""
    deadline = time.monotonic() + LOG_WAIT_SECONDS
    while not any(found(line) for line in app.log):
        if time.monotonic() > deadline:
            raise AssertionError(f"the driver log never showed {what}\n" + app.report())
        time.sleep(0.5)


def read_packets(app):
    """(context, serial, result) of every WTPacket call."""
    return [(*call.args, call.result) for call in app.calls("WTPacket")]


def words_after(app, line_start):
    """The first words of the log lines after the first line beginning so."""
    log = app.log
    first = next(i for i, line in enumerate(log) if line.startswith(line_start))
    return [line.split(" ")[0] for line in log[first + 1:]]


class OpeningTheContext(unittest.TestCase):
    def test_record_is_the_default_context_with_the_ten_fields_set(self):
        empty_context = dict.fromkeys(DEFAULT_CONTEXT, 0) | {"lcName": ""}
        cases = [
            ("default context with changed fields", CHANGED_SCENARIO,
             DEFAULT_CONTEXT | CHANGED_DEFAULTS, 172),
            # Axes with non-zero minimums are read into the stack just before;
            # a record not zeroed would show their bytes.
            ("no default context: zeros, not stack contents",
             "context none\ninfo 100 12 axis 11 15200 2 1000\ninfo 100 13 axis 22 9500 2 1000\n",
             empty_context, 0),
        ]
        for name, scenario, default, default_size in cases:
            with self.subTest(name):
                r = session.run(scenario=scenario, probe=WAIT + ["wait-dialog", "click 1", "wait-gone"])
                self.assertEqual(r.calls("context")[0].fields, default | PROGRAM_FIELDS)
                opens = r.calls("WTOpenA")
                self.assertEqual([(c["enable"], c.result) for c in opens], [(1, OPENED)])
                # The default is asked for (its size first, then the record
                # when there is one) right before the open, after the fields
                # of the dialog are filled.
                queries = ["WTInfoA 100 13 buffer -> 16", f"WTInfoA 3 0 null -> {default_size}"]
                if default_size:
                    queries.append(f"WTInfoA 3 0 buffer -> {default_size}")
                at = r.log.index(opens[0].line)
                self.assertEqual(r.log[at - len(queries):at], queries)

    def test_context_is_opened_and_tracks_the_pen_without_driver_identification(self):
        with session.start(scenario="info 1 1 none\npen 700 300\n" + CHANGED_SCENARIO) as app:
            app.probe(WAIT + ["wait-dialog", f"wait-text {NOT_INSTALLED_TEXT} Driver not installed !"])
            shows(app, 700, 300, 0)
            app.probe(WAIT + ["click 1", "wait-gone"])
        self.assertEqual(app.calls("WTOpenA")[0].result, OPENED)
        self.assertEqual(app.calls("context")[0].fields, DEFAULT_CONTEXT | CHANGED_DEFAULTS | PROGRAM_FIELDS)
        self.assertEqual(app.calls("WTClose")[0].args, [OPENED])


class PenTracking(unittest.TestCase):
    def test_stroke_with_press_and_release_shows_each_step(self):
        scenario = ("waitfile step1\npen 1200 800\n"
                    "waitfile step2\npen 4000 2500\nbuttons 1\n"
                    "waitfile step3\npen 6000 3100\n"
                    "waitfile step4\nbuttons 0\n")
        steps = [("step1", 1200, 800, 0),      # pen down somewhere
                 ("step2", 4000, 2500, 1),     # moved, then button 1 pressed
                 ("step3", 6000, 3100, 1),     # moved with the button held
                 ("step4", 6000, 3100, 0)]     # released
        with session.start(scenario=scenario) as app:
            app.probe(WAIT + ["wait-dialog"])
            for step, x, y, buttons in steps:
                app.touch(step)
                shows(app, x, y, buttons)
            app.probe(WAIT + ["click 1", "wait-gone"])
        self.assertEqual(read_packets(app), [(OPENED, serial, 1) for serial in range(1, 6)])

    def test_negative_coordinates_and_high_button_bits_show_as_unsigned_numbers(self):
        with session.start(scenario="pen -1 -15200\nbuttons 0x80000000\n") as app:
            app.probe(WAIT + ["wait-dialog"])
            shows(app, 4294967295, 4294952096, 2147483648)
            app.probe(WAIT + ["click 1", "wait-gone"])

    def test_packet_message_of_another_context_is_read_from_that_context(self):
        # The other context's first serial is 1, like the open context's
        # packet already read: read from the open context, it would fail.
        with session.start(scenario="pen 10 20\nother 300 400 2\n") as app:
            app.probe(WAIT + ["wait-dialog"])
            shows(app, 300, 400, 2)
            app.probe(WAIT + ["click 1", "wait-gone"])
        self.assertEqual(read_packets(app), [(OPENED, 1, 1), (OTHER, 1, 1)])

    def test_packet_that_cannot_be_read_leaves_the_fields_as_they_were(self):
        cases = [
            ("driver answers false", "packet fail\npen 10 20\nbuttons 1\n",
             "WTPacket 0x5301 2 -> 0", ("", "", "")),
            ("serial not queued", "pen 10 20\nbuttons 1\npost 999 open\n",
             "WTPacket 0x5301 999 -> 0", ("10", "20", "1")),
        ]
        for name, scenario, failed_read, shown in cases:
            with self.subTest(name), session.start(scenario=scenario) as app:
                app.probe(WAIT + ["wait-dialog"])
                wait_for_log(app, lambda line: line.startswith(failed_read), failed_read)
                # The posted null message is handled after the failed
                # packet's message, so the dump sees what it left.
                app.probe(WAIT + ["post 0 0 0", "dump"])
                self.assertEqual((app.text(PEN_X), app.text(PEN_Y), app.text(PEN_BUTTONS)), shown)
                app.probe(WAIT + ["click 1", "wait-gone"])


class PacketFlood(unittest.TestCase):
    def test_flood_ends_on_the_last_packet_and_ok_still_closes(self):
        with session.start(scenario="flood 30000\n") as app:
            app.probe(WAIT + ["wait-dialog"])
            wait_for_log(app, lambda line: line.startswith("WTPacket 0x5301 30000 -> 1"), "the last packet read")
            shows(app, 30000, 0, 0)
            app.probe(WAIT + ["click 1", "wait-gone"])
        self.assertEqual(words_after(app, "WTClose 0x5301 -> 1"), ["stats", "stats", "detach"])
        self.assertEqual(app.log[-1], "detach")

    def test_ok_while_packets_keep_coming_closes_at_once(self):
        # After the flood, a stream that would last 100 s: closing stops it.
        with session.start(scenario="flood 30000\nrate 100000 1000\n") as app:
            app.probe(WAIT + ["wait-dialog"])
            wait_for_log(app, lambda line: line.startswith("WTPacket ") and " -> 1 " in line
                         and int(line.split(" ")[2]) > 30000, "a packet of the stream read")
            app.probe(WAIT + ["click 1", "wait-gone"])
        self.assertEqual(words_after(app, "WTClose 0x5301 -> 1"), ["stats", "stats", "detach"])
        self.assertEqual(app.log[-1], "detach")
        self.assertNotIn("script done", app.log)


class Closing(unittest.TestCase):
    def test_every_way_of_closing_closes_the_context_then_releases_the_driver(self):
        for action in ["click 1", "key enter", "key escape", "close-box"]:
            with self.subTest(action):
                r = session.run(probe=WAIT + ["wait-dialog", action, "wait-gone"])
                self.assertTrue(r.gone)
                self.assertEqual(r.boxes, [])
                self.assertEqual([(c.args, c.result) for c in r.calls("WTClose")], [([OPENED], 1)])
                # `detach`, not `detach exit`: released before the program ended.
                self.assertEqual(words_after(r, "WTClose"), ["stats", "stats", "detach"])
                self.assertEqual(r.log[-1], "detach")
                self.assertEqual(r.exit_code, 0)

    def test_failed_close_shows_the_error_over_the_dialog_and_still_releases(self):
        r = session.run(scenario="close fail\n", probe=WAIT + ["wait-dialog", "click 1", "wait-gone"])
        self.assertEqual(r.boxes, [{"caption": "WinTab32", "text": "Fehler beim Schließen!",
                                    "owner": "dialog", "dialog_visible": 1}])
        self.assertEqual([(c.args, c.result) for c in r.calls("WTClose")], [([OPENED], 0)])
        self.assertEqual(words_after(r, "WTClose"), ["stats", "stats", "detach"])
        self.assertEqual(r.log[-1], "detach")
        self.assertTrue(r.gone)
        self.assertEqual(r.exit_code, 0)

    def test_without_an_open_context_nothing_is_closed_or_released(self):
        # Opened once (no retry, no message), or not at all.
        cases = [("open refused", "standard", "open fail\n", [0]),
                 ("driver without WTOpenA", "infoonly", "", [])]
        for name, driver, scenario, opens in cases:
            with self.subTest(name):
                r = session.run(driver=driver, scenario=scenario,
                                probe=WAIT + ["wait-dialog", "click 1", "wait-gone"])
                self.assertTrue(r.gone)
                self.assertEqual(r.boxes, [])
                self.assertEqual([c.result for c in r.calls("WTOpenA")], opens)
                self.assertEqual(r.calls("WTClose"), [])
                # The driver stays loaded until the process ends.
                self.assertEqual(r.log[-1], "detach exit")
                self.assertEqual(r.exit_code, 0)


if __name__ == "__main__":
    unittest.main()
