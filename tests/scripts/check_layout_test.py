#!/usr/bin/env python3
"""scripts/check-layout on small trees: one that follows the rule passes, and
each kind of breach is named with its file."""
import os
import subprocess
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check-layout")

GOOD = {
    "lib/CMakeLists.txt": "add_library(lib src/SessionLayer.cpp src/hex_text.cpp)\n",
    "lib/tests.cmake": "vln_add_test(NAME lib_session_layer_test SOURCES tests/session_layer_test.cpp)\n"
                       "vln_add_fuzz(TARGET frames LIBS lib)\n",
    "lib/src/SessionLayer.cpp": "class SessionLayer {};\n",
    "lib/src/hex_text.cpp": "int hex();\n",
    "lib/src/FloatText.cpp": "// float to text\nint f();\n",
    "lib/tests/session_layer_test.cpp": "int main() {}\n",
    "lib/tests/session_layer_soak_test.cpp": "int main() {}\n",
    "lib/tests/lib_e2e_test.cpp": "int main() {}\n",
    "lib/tests/fuzz/frames_fuzz.cpp": "int f();\n",
    "lib/tests/fuzz/frames/seed1": "x",
}

BREACHES = [
    # (file to add or replace, its text, what the report must name)
    ("lib/extra.cmake", "vln_add_test(NAME x SOURCES x.cpp)\n", "lib/extra.cmake: registers tests"),
    ("lib/tests/engine_test.cpp", "int main() {}\n", "lib/tests/engine_test.cpp: not named after a unit"),
    ("lib/src/session_layer_test.cpp", "int main() {}\n", "lib/src/session_layer_test.cpp: a test outside"),
    ("lib/tests/fuzz/bytes_fuzz.cpp", "int f();\n", "lib/tests/fuzz/bytes_fuzz.cpp: no corpus folder"),
    ("lib/fuzz/frames2_fuzz.cpp", "int f();\n", "lib/fuzz/frames2_fuzz.cpp: a fuzz target outside"),
    ("lib/src/ChannelTable.h", "struct Other {};\n", "lib/src/ChannelTable.h: holds nothing named ChannelTable"),
]


def make_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    subprocess.run(["git", "init", "-q", root], check=True)


def check(root):
    return subprocess.run([CHECK, "--root", root], capture_output=True, text=True)


class CheckLayoutTest(unittest.TestCase):
    def test_a_tree_that_follows_the_rule_passes(self):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, GOOD)
            result = check(root)
            self.assertEqual(0, result.returncode, result.stdout + result.stderr)
            self.assertEqual("", result.stdout)

    def test_each_breach_is_named(self):
        for path, text, expected in BREACHES:
            with self.subTest(path=path), tempfile.TemporaryDirectory() as root:
                make_tree(root, dict(GOOD, **{path: text}))
                result = check(root)
                self.assertEqual(1, result.returncode, result.stdout)
                self.assertIn(expected, result.stdout)
                self.assertEqual(1, len(result.stdout.splitlines()), result.stdout)


if __name__ == "__main__":
    unittest.main()
