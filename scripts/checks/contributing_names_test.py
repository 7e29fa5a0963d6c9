#!/usr/bin/env python3
"""check_contributing_names.py reads every kind of name a page gives, and
each name that no longer exists fails the check with its line."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from check_contributing_names import Known, names_in, problems  # noqa: E402

KNOWN = Known(
    ctest=["unit_tests_driver", "unit_tests_driver_wine", "e2e_tests_0", "console_tmux_sfc_tool_failed",
           "screenshots_current"],
    programs=["unit_tests_driver", "e2e_tests"],
    gtest=["VerdictTest.ExitCodesAreComparedAsUnsigned", "RepairTest.LaunchFailureShowsTheSystemTextAndCode",
           "Table/Verdicts.ExitCodesChooseTheVerdictAndStatusStaysZero/DismOne"],
    console=["success", "dism_fails", "sfc_tool_failed", "type_ahead"],
    fuzz=["console_output", "fuzz_console_output"],
    phases=["script_check"])

PAGE = """\
# Working on it

The verdicts: `VerdictTest.ExitCodesAreComparedAsUnsigned` and the rows
`Table/Verdicts.ExitCodesChooseTheVerdictAndStatusStaysZero/*` in `e2e_tests`; the console case
`sfc_tool_failed` (sfc exits 3) and the console cases `success`, `dism_fails` (DISM exits
0x80070005, `tests/e2e/` has more) and `type_ahead`. Files such as `tests/unit/driver/repair_test.cpp`,
`README.md`, `System::FatalStop` and `wr_*_product` name no test.

| behaviour | CTest entries | console cases (exit codes) |
|---|---|---|
| verdicts | `unit_tests_driver_wine`, `screenshots_current` | `success` (0, 0), `dism_fails` (DISM 5) |

```sh
ctest --preset windows -R 'unit_tests_driver_wine|console_tmux_sfc_'
/usr/lib/wine/wine64 build/windows/unit_tests_driver.exe --gtest_filter='RepairTest.LaunchFailure*:VerdictTest.*'
python3 tests/screens/console/run_console_tests.py --winrepair build/windows/winrepair.exe \\
  --standin build/windows/standin.exe --keep type_ahead
bash scripts/dev/fuzz.sh 3600   # fuzz_console_output runs too
ctest --preset windows -R <name>   # a placeholder, not a name
```
"""


class Names(unittest.TestCase):
    def test_every_kind_is_read(self):
        found = {(n.kind, n.name) for n in names_in(PAGE)}
        self.assertEqual(found, {
            ("gtest", "VerdictTest.ExitCodesAreComparedAsUnsigned"),
            ("gtest", "Table/Verdicts.ExitCodesChooseTheVerdictAndStatusStaysZero/*"),
            ("gtest", "RepairTest.LaunchFailure*"),
            ("gtest", "VerdictTest.*"),
            ("name", "e2e_tests"),
            ("name", "unit_tests_driver_wine"),
            ("name", "screenshots_current"),
            ("console", "sfc_tool_failed"),
            ("console", "success"),
            ("console", "dism_fails"),
            ("console", "type_ahead"),
            ("ctest-regex", "unit_tests_driver_wine|console_tmux_sfc_"),
        })

    def test_a_page_whose_names_exist_passes(self):
        found, names = problems(PAGE, KNOWN)
        self.assertEqual(found, [])
        self.assertTrue(names)

    def test_each_stale_name_fails_with_its_line(self):
        stale = {
            "a GoogleTest case renamed": ("VerdictTest.ExitCodesAreComparedAsUnsigned",
                                          "VerdictTest.ExitCodesAreCompared", "line 3"),
            "a parameterised row gone": ("Verdicts.ExitCodesChooseTheVerdictAndStatusStaysZero/*",
                                         "Verdicts.ExitCodesChoose/*", "line 4"),
            "a console case renamed": ("`sfc_tool_failed` (sfc exits 3)", "`sfc_fails` (sfc exits 3)", "line 5"),
            "a console case in a table": ("`dism_fails` (DISM 5)", "`dism_failed` (DISM 5)", "line 11"),
            "a short console case": ("cases `success`, `dism_fails`", "cases `succeeds`, `dism_fails`", "line 5"),
            "a test program renamed": ("in `e2e_tests`", "in `e2e_test`", "line 4"),
            "a CTest entry renamed": ("`screenshots_current` |", "`screenshots_fresh` |", "line 11"),
            "a ctest -R that matches nothing": ("-R 'unit_tests_driver_wine|console_tmux_sfc_'",
                                               "-R 'unit_tests_drivers_wine'", "line 14"),
            "a gtest filter that matches nothing": ("LaunchFailure*:", "LaunchFailed*:", "line 15"),
            "a console case of a command": ("--keep type_ahead", "--keep typed_ahead", "line 16"),
        }
        for what, (old, new, line) in stale.items():
            with self.subTest(what):
                self.assertIn(old, PAGE)
                found, _ = problems(PAGE.replace(old, new), KNOWN)
                self.assertEqual(len(found), 1, found)
                self.assertTrue(found[0].startswith(line + ":"), found)

    def test_a_page_that_names_nothing_fails(self):
        found, _ = problems("# Notes\n\nNothing here.\n", KNOWN)
        self.assertEqual(len(found), 1)
        self.assertIn("names no test", found[0])


if __name__ == "__main__":
    unittest.main()
