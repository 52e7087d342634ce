#!/usr/bin/env python3
"""scripts/check-layout on small trees: one that follows the rule passes, and
each kind of breach is named with its file."""
import os
import subprocess
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check-layout")

# Floors of the small trees: core below lib and aux, which stand side by side.
FLOORS = """# Architecture

## Floors

| floor | directories | what |
|---|---|---|
| 0 | `core` | bytes |
| 1 | `lib`, `aux` | sessions; helpers |
| exempt | `*/tests`, `tools/pictures` | tests; the picture tool |

## Layout
"""

GOOD = {
    "docs/architecture.md": FLOORS,
    "core/include/core/Bytes.h": "struct Bytes {};\n",
    "core/src/Bytes.cpp": "#include \"core/Bytes.h\"\n",
    "lib/include/lib/Session.h": "#include \"core/Bytes.h\"\nstruct Session {};\n",
    # A generated header is no project directory's: not judged.
    "lib/src/Session.cpp": "#include \"lib/Session.h\"\n#include \"gen_jni.h\"\n#include \"hex_text.h\"\n"
                           "Session s;\n",
    "lib/src/hex_text.h": "int hex();\n",
    "lib/tests/Fixture.h": "#include \"lib/Session.h\"\nstruct Fixture {};\n",
    # Exempt folders include from any floor.
    "tools/pictures/Pictures.cpp": "#include \"lib/Session.h\"\n#include \"Fixture.h\"\nint Pictures();\n",
    "lib/CMakeLists.txt": "add_library(lib src/SessionLayer.cpp src/hex_text.cpp)\n",
    "lib/tests.cmake": "vln_add_test(NAME lib_session_layer_test SOURCES tests/session_layer_test.cpp)\n"
                       "vln_add_fuzz(TARGET frames LIBS lib)\n",
    "lib/src/SessionLayer.cpp": "class SessionLayer {};\n",
    "lib/src/hex_text.cpp": "int hex();\n",
    "lib/src/FloatText.cpp": "// float to text\nint f();\n",
    "lib/tests/session_layer_test.cpp": "#include \"Fixture.h\"\n#include \"core/Bytes.h\"\nint main() {}\n",
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
    # Floors: a lower floor reaching up, a floor reaching sideways, a source
    # reaching into a test folder, a file on no floor, no table at all.
    ("core/src/Bytes.cpp", "#include \"core/Bytes.h\"\n#include \"lib/Session.h\"\n",
     'core/src/Bytes.cpp: includes "lib/Session.h" of lib (floor 1) from core (floor 0)'),
    ("aux/src/Helper.cpp", "#include \"lib/Session.h\"\nint Helper();\n",
     'aux/src/Helper.cpp: includes "lib/Session.h" of lib (floor 1) from aux (floor 1)'),
    ("lib/src/Session.cpp", "#include \"Fixture.h\"\nSession s;\n",
     'lib/src/Session.cpp: includes "Fixture.h" of lib/tests (an exempt directory) from lib (floor 1)'),
    ("misc/Thing.cpp", "class Thing {};\n", "misc/Thing.cpp: in no directory of the floors table"),
    ("docs/architecture.md", "# Architecture\n\n## Layout\n", "docs/architecture.md: no floors table"),
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
