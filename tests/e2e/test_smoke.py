"""Smoke test of the end-to-end setup: the program runs under Wine without a
driver, shows that no driver is installed, and OK closes it."""

import unittest

from harness import WineSession


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


class NoDriver(unittest.TestCase):
    def test_reports_missing_driver_and_closes_with_ok(self):
        r = session.run(driver=None, probe=["wait-dialog", "dump", "click 1", "wait-gone"])
        self.assertEqual(r.dialog["caption"], "WinTab32 Info")
        self.assertEqual(r.text(1000), "Driver not installed !")
        self.assertEqual(r.boxes, [])
        self.assertTrue(r.gone)
        self.assertEqual(r.exit_code, 0)


if __name__ == "__main__":
    unittest.main()
