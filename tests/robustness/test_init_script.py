"""initHardware.py failing, missing and hanging under quellor_server on the simulated board: the
server serves throughout (a fresh client within 1 s), shows the board as faulty with the script's
words, recovers once the script works, and a server stopped while the script hangs leaves nothing
of the script behind."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import DBR_DOUBLE  # noqa: E402

STATUS = "Devices:PiezoDriver:status"
OUTPUT = "PiezoInitHandler:initScriptOutput"

# A helper in a process group of its own, as timeout(1) makes one, then a script that never ends.
HANGING = """#!/bin/sh
/usr/bin/python3 -c 'import os, time
os.setpgid(0, 0)
open("helper.pid", "w").write(str(os.getpid()))
time.sleep(600)' &
while [ ! -s helper.pid ]; do sleep 0.01; done
echo $$ > script.pid
echo "waiting for a board that does not answer"
exec sleep 600
"""


def script_output(r):
    return r.read_text(OUTPUT) or ""


class InitScript(unittest.TestCase):
    def test_a_failing_or_missing_script_leaves_the_board_faulty_and_the_server_serving(self):
        with rig.Rig(init_script="#!/bin/sh\necho 'no board in slot 3'\nexit 3\n") as r:
            r.start_sim().start_server(wait_ready=False)
            self.assertTrue(rig.wait_until(lambda: "exited with status 3" in script_output(r)))
            self.assertIn("no board in slot 3", script_output(r))
            self.assertEqual(r.read(STATUS, DBR_DOUBLE), 1)
            r.fresh_client_served()

            os.chmod(r.path("initHardware.py"), 0o644)
            self.assertTrue(rig.wait_until(lambda: "cannot be started" in script_output(r)), script_output(r))
            r.fresh_client_served()

            # The real script again: the board comes back without a restart.
            shutil.copy(os.path.join(rig.DEPLOY, "initHardware.py"), r.path("initHardware.py"))
            os.chmod(r.path("initHardware.py"), 0o755)
            self.assertTrue(rig.wait_until(lambda: r.read(STATUS, DBR_DOUBLE) == 0), r.server.stderr_text())
            r.fresh_client_served()
            self.assertEqual(r.server.stop(), 0, r.server.stderr_text())

    def test_a_server_stopped_while_the_script_hangs_leaves_nothing_of_it(self):
        with rig.Rig(init_script=HANGING) as r:
            r.start_sim().start_server(wait_ready=False)
            self.assertTrue(rig.wait_until(lambda: os.path.exists(r.path("script.pid"))), r.server.stderr_text())
            self.assertTrue(rig.wait_until(lambda: "does not answer" in script_output(r) or
                                           r.read(STATUS, DBR_DOUBLE) is not None))
            r.fresh_client_served()
            script = int(r.text("script.pid"))
            helper = int(r.text("helper.pid"))
            self.assertFalse(rig.process_gone(helper))
            self.assertEqual(r.server.stop(), 0, r.server.stderr_text())
            self.assertTrue(rig.wait_until(lambda: rig.process_gone(script) and rig.process_gone(helper), 10),
                            "left running: %s" % [p for p in (script, helper) if not rig.process_gone(p)])


if __name__ == "__main__":
    unittest.main()
