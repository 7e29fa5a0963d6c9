#!/usr/bin/env python3
"""The configure stops, naming what is missing, when the tree lacks a part
of its own or a tool its tests run: a test fragment that CMakeLists.txt
includes, the sources of a test program, a checker. A tree therefore never
registers fewer tests than it has and still configures.

One copy of the tree's files (as git lists them: tracked, and new ones not
ignored) is configured as this build tree was, first whole (it must
configure), then with one part taken away at a time. The whole configure
pays for CMake's compiler checks; each case after it reuses them in the
copy's build folder and costs about a second.

Usage: configure_checks_test.py --generator G --make-program M
           --c-compiler CC --cxx-compiler CXX [unittest arguments]
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD_SETTINGS = None  # the -D and -G arguments, from the command line


def rename(path):
    """Takes `path` away as a move would: renamed beside itself."""
    def take(tree):
        os.rename(os.path.join(tree, path), os.path.join(tree, path + ".moved"))

    def restore(tree):
        os.rename(os.path.join(tree, path + ".moved"), os.path.join(tree, path))
    return take, restore, {}


def empty(pattern):
    """Takes every file matching `pattern` away, as a move of a folder would."""
    kept = {}

    def take(tree):
        for path in glob.glob(os.path.join(tree, pattern)):
            with open(path, "rb") as f:
                kept[path] = f.read()
            os.remove(path)

    def restore(tree):
        for path, data in kept.items():
            with open(path, "wb") as f:
                f.write(data)
        kept.clear()
    return take, restore, {}


def hide_program(program, variable):
    """Configures with `program` not cached and every folder that holds it
    ignored by CMake's searches (PATH and CMake's own system folders)."""
    places = os.environ.get("PATH", "").split(os.pathsep) + [
        "/usr/local/bin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/sbin", "/sbin"]
    holding = sorted({place for place in places
                      if place and os.path.exists(os.path.join(place, program))})

    def nothing(tree):
        pass
    return nothing, nothing, {"unset": variable, "ignore": holding}


# What is taken away, and what the configure must then say. The fragments are
# those the host tree includes; a Windows tree includes the others the same
# way.
FRAGMENT_MISSING = ["include could not find requested file:", "    %(tree)s/%(path)s\n"]
CASES = [
    ("test fragment renamed", rename("tests/unit/publisher/publisher.cmake"),
     FRAGMENT_MISSING, "tests/unit/publisher/publisher.cmake"),
    ("fuzz fragment renamed", rename("tests/fuzz/fuzz.cmake"),
     FRAGMENT_MISSING, "tests/fuzz/fuzz.cmake"),
    ("pictures fragment renamed", rename("tests/screens/pictures/screenshots.cmake"),
     FRAGMENT_MISSING, "tests/screens/pictures/screenshots.cmake"),
    ("unit tests without sources", empty("tests/unit/runtime/*.cpp"),
     ["no source matches %(path)s\n"], "tests/unit/runtime/*.cpp"),
    ("fuzz properties without sources", empty("tests/fuzz/*_property.cpp"),
     ["no source matches %(path)s\n"], "tests/fuzz/*_property.cpp"),
    ("a checker missing", hide_program("flake8", "FLAKE8_PROGRAM"),
     ["  %(path)s is missing: apt-get install flake8\n"], "flake8"),
]


def tree_files():
    listing = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    return [path for path in listing.decode().split("\0")
            if path and os.path.isfile(os.path.join(ROOT, path))]


class ConfigureChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="wr-configure-")
        cls.tree = os.path.join(cls.scratch, "tree")
        cls.build = os.path.join(cls.scratch, "build")
        for path in tree_files():
            target = os.path.join(cls.tree, path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, path), target)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def configure(self, unset=None, ignore=None):
        # A case's ignored folders stay in the cache until taken out here.
        command = ["cmake", "-S", self.tree, "-B", self.build, *BUILD_SETTINGS,
                   "-UCMAKE_IGNORE_PATH"]
        if unset:
            command.append("-U" + unset)
        if ignore:
            command.append("-DCMAKE_IGNORE_PATH=" + ";".join(ignore))
        done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout + done.stderr

    def test_each_missing_part_stops_the_configure_naming_it(self):
        status, output = self.configure()
        self.assertEqual(status, 0, "the whole copy must configure:\n" + output)
        for name, (take, restore, options), expected, path in CASES:
            with self.subTest(name):
                take(self.tree)
                try:
                    status, output = self.configure(**options)
                finally:
                    restore(self.tree)
                self.assertNotEqual(status, 0, output)
                for line in expected:
                    self.assertIn(line % {"tree": self.tree, "path": path}, output)
        # And whole again, the copy configures: no case left anything behind.
        status, output = self.configure()
        self.assertEqual(status, 0, output)


def main():
    global BUILD_SETTINGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--generator", required=True)
    parser.add_argument("--make-program", required=True)
    parser.add_argument("--c-compiler", required=True)
    parser.add_argument("--cxx-compiler", required=True)
    args, rest = parser.parse_known_args()
    BUILD_SETTINGS = ["-G", args.generator, "-DCMAKE_MAKE_PROGRAM=" + args.make_program,
                      "-DCMAKE_C_COMPILER=" + args.c_compiler,
                      "-DCMAKE_CXX_COMPILER=" + args.cxx_compiler, "-DCMAKE_BUILD_TYPE=Debug"]
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
