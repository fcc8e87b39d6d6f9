#!/usr/bin/python3
"""The end-to-end scenarios of scenarios.py on the Linux launcher: a real window under the
X display, the real WebKit login page and the development server on loopback. The page
makes its call with the scenario's arguments (its call=JSON parameter).

Usage: launcher_scenarios_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY.
"""

import json
import os
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_e2e import E2ECase, LauncherTest, make_launcher_folder, pixels, wait_until  # noqa: E402
from scenarios import SCENARIOS, ScenarioPlay, plays  # noqa: E402

# The login page's text while it calls, in its "busy" colour; the page shows it right
# before the call, in the same script task, so once it is on the screen the call is made.
BUSY_TEXT = (0x9F, 0xF0, 0xC0)
CARD = (337, 145, 430, 380)  # the page's sign-in card in the client area: x, y, width, height


@plays(SCENARIOS)
class Scenarios(ScenarioPlay, LauncherTest):
    def lay_out_scenario(self, server, row, settings, unset, version_file):
        call = urllib.parse.quote(json.dumps(list(row.args)))
        settings = dict(settings, LoginUrl="{base}/login?call=" + call)
        make_launcher_folder.make_launcher_folder(self.folder, server.port, os.path.join(self.bin_dir, "launcher"),
                                                  settings=settings, unset=unset, version_file=version_file,
                                                  pictures=self.pictures)

    def start_scenario(self, row):
        # The single-instance lock and GTK's files go beside the case's folder, whose
        # content the scenario checks.
        runtime = self.work + "-runtime"
        os.makedirs(runtime, exist_ok=True)
        process = subprocess.Popen(["./launcher"], cwd=self.folder, env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def finish_scenario(self, process):
        return self.finish(process)

    def message_box(self):
        return self.screen.dialog()

    def close_message_box(self):
        self.dismiss_dialog()

    def message_texts(self, output):
        # GTK draws the box's text into no window of its own.
        return None

    def wait_for_page_call(self):
        x, y = self.client_position()

        def busy_text_shown():
            shot = self.screen.screenshot(x + CARD[0], y + CARD[1], CARD[2], CARD[3])
            return sum(1 for pixel in pixels(shot) if all(abs(a - b) < 30 for a, b in zip(pixel, BUSY_TEXT))) > 50

        self.assertTrue(wait_until(busy_text_shown, 60), "the page did not call")

    def close_main_window(self):
        self.screen.close(self.screen.main_window())

    def native_path(self, path):
        return path


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
