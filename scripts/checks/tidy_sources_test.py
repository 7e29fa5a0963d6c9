#!/usr/bin/env python3
"""scripts/checks/tidy_sources.py: clang-tidy gets the product's C++ compiles, all of
them, or the test command fails.

Each case is a small build tree: a compile database shaped like the one
CMake and Ninja write (a resource compile without -o among the C++ compiles,
a C file, test programs compiling the same platform source) and the build's
own list of product sources.
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tidy_sources.py")
SRC = "/src"
BUILD = "/build"


def cxx(target, source, style="command"):
    output = "CMakeFiles/%s.dir%s.obj" % (target, source)
    args = ["clang++", "-I/src", "-Os", "-o", output, "-c", SRC + source]
    entry = {"directory": BUILD, "file": SRC + source}
    if style == "arguments":
        entry["arguments"] = args
    else:
        entry["command"] = " ".join(args)
    return entry


RESOURCE = {"directory": BUILD, "file": SRC + "/resources/app.rc",
            "command": "windres -O coff -I /src /src/resources/app.rc "
                       "CMakeFiles/winrepair.dir/resources/app.rc.res"}
C_FILE = {"directory": BUILD, "file": SRC + "/runtime/helper.c",
          "command": "clang -o CMakeFiles/wr_runtime_product.dir/runtime/helper.c.obj -c "
                     "/src/runtime/helper.c"}

PRODUCT = [("wr_runtime_product", SRC + "/runtime/utf.cpp"),
           ("winrepair", SRC + "/driver/main.cpp"),
           ("winrepair", SRC + "/platform/system-win32.cpp")]

GOOD = [cxx("wr_runtime_product", "/runtime/utf.cpp"),
        cxx("wr_runtime_test", "/runtime/utf.cpp"),
        cxx("winrepair", "/driver/main.cpp", "arguments"),
        RESOURCE,
        C_FILE,
        cxx("winrepair", "/platform/system-win32.cpp"),
        cxx("platform_tests", "/platform/system-win32.cpp"),
        cxx("platform_tests", "/tests/unit/platform/address_wait_test.cpp")]


def listing(pairs):
    return "".join("%s\t%s\n" % pair for pair in pairs)


class TidySources(unittest.TestCase):
    def run_script(self, database, product=listing(PRODUCT)):
        with tempfile.TemporaryDirectory() as build:
            if database is not None:
                with open(os.path.join(build, "compile_commands.json"), "w") as f:
                    f.write(database if isinstance(database, str) else json.dumps(database))
            if product is not None:
                with open(os.path.join(build, "product_sources.txt"), "w") as f:
                    f.write(product)
            out = os.path.join(build, "tidy")
            result = subprocess.run([sys.executable, SCRIPT, build, out],
                                    capture_output=True, text=True)
            kept = None
            if os.path.exists(os.path.join(out, "compile_commands.json")):
                with open(os.path.join(out, "compile_commands.json")) as f:
                    kept = json.load(f)
            return result, kept

    def test_lists_the_product_compiles_past_a_resource_and_a_c_file(self):
        result, kept = self.run_script(GOOD)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), sorted(source for _, source in PRODUCT))
        # Only the product's own compiles, so each source is checked once
        # with the product's flags.
        self.assertEqual(kept, [GOOD[0], GOOD[2], GOOD[5]])

    def test_fails_on_what_it_cannot_trust(self):
        without_output = cxx("winrepair", "/platform/system-win32.cpp")
        without_output["command"] = without_output["command"].replace(
            "-o CMakeFiles/winrepair.dir/platform/system-win32.cpp.obj ", "")
        extra = cxx("winrepair", "/platform/process_end-win32.cpp")
        cases = [
            ("no database", None, listing(PRODUCT), "cannot read"),
            ("truncated database", json.dumps(GOOD)[:-40], listing(PRODUCT), "not valid JSON"),
            ("not a list", {"file": "x"}, listing(PRODUCT), "not a list"),
            ("entry without file", GOOD[:3] + [{"directory": BUILD, "command": "clang++ -c"}],
             listing(PRODUCT), "no \"directory\" or \"file\""),
            ("unsplittable command", GOOD + [dict(RESOURCE, command="windres 'open")],
             listing(PRODUCT), "cannot split"),
            ("C++ compile without output", GOOD[:5] + [without_output], listing(PRODUCT),
             "without an output"),
            ("a product compile missing", GOOD[:4], listing(PRODUCT),
             "not in the database: /src/platform/system-win32.cpp (winrepair)"),
            ("a product compile the build does not list", GOOD + [extra], listing(PRODUCT),
             "not in the build's list: /src/platform/process_end-win32.cpp"),
            ("no product list", GOOD, None, "cannot read"),
            ("empty product list", GOOD, "", "lists no product source"),
            ("damaged product list", GOOD, "winrepair /src/driver/main.cpp\n", "not \"target"),
        ]
        for name, database, product, reason in cases:
            with self.subTest(name):
                result, kept = self.run_script(database, product)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(reason, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertIsNone(kept)


if __name__ == "__main__":
    unittest.main()
