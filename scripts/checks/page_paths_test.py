#!/usr/bin/env python3
"""check_page_paths.py holds every repository path a page names to the tree,
in prose and in commands, with globs and lists in braces, and leaves build
outputs and placeholders alone."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from check_page_paths import missing_paths  # noqa: E402

FILES = {"tests/unit/fake/fake_system.h", "tests/unit/fake/fake_system.cpp", "platform/system-win32.cpp",
         "platform/system.h", "scripts/test.sh", "README.md"}
FOLDERS = {"tests", "tests/unit", "tests/unit/fake", "platform", "scripts"}


def missing(text):
    return [line.split("`")[1] for line in missing_paths("PAGE.md", text, FILES, FOLDERS)]


class PagePaths(unittest.TestCase):
    def test_paths_that_exist_pass(self):
        page = ("The fake, `tests/unit/fake/fake_system.{h,cpp}`, beside `platform/*-win32.cpp` and\n"
                "`platform/system.h:`; the folder `tests/unit/`.\n"
                "```sh\nbash scripts/test.sh\n```\n")
        self.assertEqual(missing(page), [])

    def test_each_missing_path_is_named_with_its_line(self):
        cases = [
            ("a moved test file", "see `tests/driver/repair_test.cpp`", ["tests/driver/repair_test.cpp"]),
            ("one alternative of a list", "`tests/unit/fake/fake_system.{h,cpp,inc}`", ["tests/unit/fake/fake_system.inc"]),
            ("a glob that matches nothing", "`platform/*-posix.cpp`", ["platform/*-posix.cpp"]),
            ("a command's script", "```\nbash scripts/tidy.sh --no-build\n```", ["scripts/tidy.sh"]),
            ("an option's value", "`--page=scripts/page.md`", ["scripts/page.md"]),
            ("a folder", "`tests/docs/`", ["tests/docs/"]),
        ]
        for what, page, expected in cases:
            with self.subTest(what):
                self.assertEqual(missing(page), expected)
        line = missing_paths("PAGE.md", "first\n\nthen `tests/gone.py`\n", FILES, FOLDERS)
        self.assertEqual(line, ["PAGE.md:3: `tests/gone.py` is named but the repository has no such file or folder"])

    def test_outputs_placeholders_and_other_words_are_not_held(self):
        page = ("`build/windows/winrepair.exe`, `dist/SHA256SUMS`, `tests/<tier>/x.py`, `a/b`, "
                "`https://example.com/tests/x`\n")
        self.assertEqual(missing(page), [])

    def test_the_command_reads_the_tree_git_tracks(self):
        with tempfile.TemporaryDirectory() as root:
            def git(*words):
                subprocess.run(["git", "-C", root, *words], check=True, capture_output=True)
            git("init", "-q")
            os.makedirs(os.path.join(root, "tests"))
            for name, text in (("tests/a.py", ""), ("PAGE.md", "`tests/a.py` and `tests/b.py`\n")):
                with open(os.path.join(root, name), "w") as f:
                    f.write(text)
            git("add", ".")
            done = subprocess.run([sys.executable, os.path.join(HERE, "check_page_paths.py"), "--root", root],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
            self.assertIn("PAGE.md:1: `tests/b.py`", done.stdout)
            self.assertNotIn("tests/a.py", done.stdout)


if __name__ == "__main__":
    unittest.main()
