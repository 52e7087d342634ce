#!/usr/bin/env python3
"""./run.sh end to end on a built tree (RUN_SH_NO_BUILD=1): a piped script
that ends with quit exits 0, a failing command gives 250, Ctrl-C (SIGINT to
the process group) while devshell waits gives 130; each time the run
directory and both programs are gone afterwards."""
import os
import re
import signal
import subprocess
import sys
import time
import unittest

RUN_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "run.sh")
BUILD_DIR = os.environ.get("RUN_SH_BUILD_DIR", "")
LIMIT = 120  # generous: only a hang may fail on it


def environment():
    env = dict(os.environ)
    env["RUN_SH_NO_BUILD"] = "1"
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "LINKHUB_RUNTIME_DIR", "LINKHUB_REGISTRY", "USBLINK_VBUS"):
        env.pop(name, None)
    return env


def start():
    return subprocess.Popen(["bash", RUN_SH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environment(), start_new_session=True)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text[text.rindex(")") + 2:].split()
        if int(fields[2]) == pgid:
            members.append((int(entry), name))
    return members


class RunShTest(unittest.TestCase):
    def check_cleaned_up(self, out):
        started = re.search(r"linkhub \(pid (\d+)\) and devsim \(pid (\d+)\) running in (\S+)", out)
        self.assertIsNotNone(started, out)
        hub, sim, run_dir = int(started.group(1)), int(started.group(2)), started.group(3)
        self.assertTrue(run_dir.startswith("/tmp/linkhub-run."), run_dir)
        self.assertFalse(os.path.exists(run_dir), "run directory left behind")
        self.assertFalse(alive(hub), "linkhub still running")
        self.assertFalse(alive(sim), "devsim still running")

    def run_script(self, script):
        p = start()
        out, err = p.communicate(script.encode(), timeout=LIMIT)
        return p.returncode, out.decode(), err.decode()

    def test_a_piped_script_ending_with_quit_exits_0(self):
        rc, out, err = self.run_script("getname\nquit\n")
        self.assertEqual(rc, 0, out + err)
        self.assertIn("is online", out)
        self.assertEqual(out.splitlines().count("devsim1"), 1, out)
        self.check_cleaned_up(out)

    def test_a_failing_command_stops_the_script_with_250(self):
        rc, out, err = self.run_script("getname\nbogus\ngetname\n")
        self.assertEqual(rc, 250, out + err)
        self.assertIn("command unknown", out + err)
        self.assertEqual(out.splitlines().count("devsim1"), 1, "the script went on after the failure")
        self.check_cleaned_up(out)

    def test_sigint_while_devshell_waits_exits_130(self):
        p = start()
        try:
            deadline = time.monotonic() + LIMIT
            # devshell waits for input on the open pipe: wait for it to be there.
            while not any(name == "devshell" for _, name in group_members(p.pid)):
                self.assertIsNone(p.poll(), "run.sh ended early")
                self.assertLess(time.monotonic(), deadline, "devshell never started")
                time.sleep(0.05)
            os.killpg(p.pid, signal.SIGINT)
            out, err = p.communicate(timeout=LIMIT)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        out = out.decode()
        self.assertEqual(p.returncode, 130, out + err.decode())
        self.check_cleaned_up(out)
        self.assertEqual(group_members(p.pid), [], "a process of the group is left")


if __name__ == "__main__":
    if not BUILD_DIR:
        sys.exit("RUN_SH_BUILD_DIR must name the build tree")
    unittest.main()
