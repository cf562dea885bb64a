"""The unit tests built as a 32-bit Windows program, run under Wine: the field
texts computed by the 32-bit build, and the run-time driver binding against
the simulated driver with Wine's real loader."""

import shutil
import subprocess
import unittest

from harness import WIN32_DIR, WineSession, windows_path


def setUpModule():
    global session
    session = unittest.enterModuleContext(WineSession())


class Win32UnitTests(unittest.TestCase):
    def test_pass_in_the_32_bit_build(self):
        folder = session.dir / "win32-units"
        folder.mkdir()
        shutil.copy(WIN32_DIR / "win32_tests.exe", folder)
        env = session.env("en", ";wintab32=n")
        env["SIMTAB_VARIANTS"] = windows_path(WIN32_DIR / "simtab")
        with open(folder / "output.txt", "w+b") as output:
            done = subprocess.run(["wine", str(folder / "win32_tests.exe")], cwd=folder, env=env,
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=600)
            output.seek(0)
            text = output.read().decode("utf-8", "replace")
        print(text[-3000:])
        self.assertEqual(0, done.returncode, text[-3000:])
        self.assertIn("[  PASSED  ]", text)


if __name__ == "__main__":
    unittest.main()
