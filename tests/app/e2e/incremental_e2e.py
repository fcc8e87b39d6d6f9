#!/usr/bin/python3
"""The incremental update cases of incremental_play.py on the Linux launcher: a real window
under the X display, the real WebKit login page and the development server on loopback.
The crash case runs launcher_apply_crasher (apply_crasher_gtk.cpp), the launcher that ends
right after an update's first change to the client folder.

Usage: incremental_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_e2e import E2ECase, LauncherTest  # noqa: E402
from incremental_play import SETTINGS, IncrementalPlay  # noqa: E402

CRASHER = "launcher_apply_crasher"


class Incremental(IncrementalPlay, LauncherTest):
    def message_box_shown(self):
        return self.screen.dialog() is not None

    def close_message_box(self):
        self.dismiss_dialog()

    def crash_after_first_step(self, server):
        self.lay_out(server, program=CRASHER, **SETTINGS)
        result = self.finish(self.start_launcher(CRASHER))
        self.lay_out(server, **SETTINGS)
        return result


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
