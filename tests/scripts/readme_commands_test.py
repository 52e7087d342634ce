#!/usr/bin/env python3
"""Runs every datatool, calfit and devshell command line that README.md
shows, as it stands there, with the test fixtures under the README's file
names; each must succeed and every XML file it writes must parse. The
devshell lines run in the README's own "by hand" setup (linkhub, usblink
over the virtual bus, one devsim device)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.dom.minidom

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("README_BUILD_DIR", "")
LIMIT = 120

# The README's file names, and the fixture each stands for.
FIXTURES = {
    "device.log": "tools/datatool/tests/fixtures/log_a.bin",
    "capture.bin": "tools/datatool/tests/fixtures/scope.bin",
    "definition.xml": "tools/datatool/tests/fixtures/partable.xml",
    "values.xml": "tools/datatool/tests/fixtures/defaults_1.xml",
    "dictionary.xml": "tools/datatool/tests/fixtures/objdict.xml",
}


def readme_code_lines():
    """The lines of the README's indented code blocks, in order."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        return [line[4:].rstrip("\n") for line in f if line.startswith("    ")]


def without_comment(line):
    return re.sub(r"\s+#.*$", "", line).strip()


def variants(command):
    """A command with an optional [-X] both with and without it."""
    m = re.search(r"\s\[(-\w)\]", command)
    if not m:
        return [command]
    return [command[:m.start()] + command[m.end():], command[:m.start()] + " " + m.group(1) + command[m.end():]]


def outputs(command):
    """Files a command writes: after -O, -K or >."""
    return re.findall(r"(?:-O|-K|>)\s+(\S+)", command)


def check_xml(test, path, command):
    with open(path, "rb") as f:
        data = f.read()
    test.assertTrue(data, f"{command}: {path} is empty")
    try:
        xml.dom.minidom.parseString(data)
    except Exception as e:  # noqa: BLE001 - any parse failure is the finding
        test.fail(f"{command}: {path} is not XML ({e}):\n{data[:300]!r}")


class ReadmeCommands(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="readme-test-", dir="/tmp")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "LINKHUB_RUNTIME_DIR", "LINKHUB_REGISTRY", "USBLINK_VBUS"):
            self.env.pop(name, None)
        tools = [os.path.join(BUILD, d) for d in ("tools/datatool", "tools/calfit", "devshell")]
        self.env["PATH"] = os.pathsep.join(tools + [self.env.get("PATH", "")])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def sh(self, command, **kw):
        return subprocess.run(["bash", "-c", command], cwd=self.dir, env=self.env, capture_output=True,
                              timeout=LIMIT, **kw)

    def test_codec_tool_lines(self):
        for name, fixture in FIXTURES.items():
            shutil.copy(os.path.join(SOURCE, fixture), os.path.join(self.dir, name))
        lines = [without_comment(l) for l in readme_code_lines()
                 if l.startswith("datatool ") or l.startswith("calfit ")]
        self.assertGreaterEqual(len([l for l in lines if l.startswith("datatool")]), 5, lines)
        ran = 0
        for line in lines:
            for command in variants(line):
                ran += 1
                with self.subTest(command=command):
                    r = self.sh(command)
                    text = (r.stdout + r.stderr).decode(errors="replace")
                    if command == "calfit --help":
                        # The usage, and its exit code (1 after the usage).
                        self.assertIn("--definition", text)
                        self.assertEqual(r.returncode, 1, text)
                        continue
                    self.assertEqual(r.returncode, 0, text)
                    plain = " -P" in command
                    for out in outputs(command):
                        path = os.path.join(self.dir, out)
                        self.assertTrue(os.path.exists(path), f"{command}: no {out}")
                        if out.endswith(".xml") and not plain:
                            check_xml(self, path, command)
                        elif plain:
                            with open(path, encoding="latin-1") as f:
                                body = f.read()
                            self.assertTrue(body.strip(), command)
                            self.assertFalse(body.lstrip().startswith("<"), f"{command}: not plain text")
                        else:
                            self.assertGreater(os.path.getsize(path), 0, command)
        # The reverse that the dictionary line mentions.
        r = self.sh("datatool -Q -J dictionary.bin -C -K dictionary_back.xml")
        self.assertEqual(r.returncode, 0, r.stderr)
        check_xml(self, os.path.join(self.dir, "dictionary_back.xml"), "datatool -C")
        self.assertGreaterEqual(ran, 7)

    def test_devshell_lines_in_the_by_hand_setup(self):
        lines = readme_code_lines()
        start = next(i for i, l in enumerate(lines) if l.startswith("export LINKHUB_RUNTIME_DIR="))
        end = next(i for i in range(start, len(lines)) if lines[i].startswith("build/default/devshell/devshell -D"))
        block = lines[start:end + 1]
        piped = [l for l in lines if re.search(r"\|\s*devshell\b", l)]
        self.assertTrue(piped, "no piped devshell line")
        hwid = re.search(r"--hwid\s+([0-9A-Fa-f]{32})", "\n".join(block)).group(1)
        # The README's commands as they stand, run from a source tree whose
        # build/default is this build; the one addition is a wait for the
        # device to come online, which a person at the keyboard does by eye.
        tree = os.path.join(self.dir, "tree")
        os.makedirs(os.path.join(tree, "build"))
        os.symlink(BUILD, os.path.join(tree, "build", "default"))
        script = ["set -e", "cd " + tree, "trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf \"$LINKHUB_RUNTIME_DIR\"' EXIT"]
        for line in block:
            if line.startswith("build/default/devshell/devshell"):
                break
            script.append(line)
        script.append("for i in $(seq 600); do build/default/devshell/devshell -L 2>/dev/null | grep -qi %s && break; sleep 0.1; done" % hwid)
        for n, line in enumerate([l for l in block if l.startswith("build/default/devshell/devshell")] + piped):
            command = line.replace("<HWID>", hwid)
            script.append(f"echo '--- {n}'; {command} </dev/null" if "|" not in command else f"echo '--- {n}'; {command}")
        script.append("echo '--- done'")
        r = self.sh("\n".join(script) + "\n")
        out = r.stdout.decode(errors="replace")
        err = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, 0, out + err)
        self.assertIn("--- done", out)
        sections = re.split(r"^--- \w+$", out, flags=re.M)
        listing, opened, scripted = sections[1], sections[2], sections[3]
        self.assertIn(hwid.lower(), listing.lower(), "devshell -L does not list the device")
        self.assertIn("bench 1", scripted, "the piped script's getname")


if __name__ == "__main__":
    if not BUILD:
        sys.exit("README_BUILD_DIR must name the build tree")
    unittest.main()
