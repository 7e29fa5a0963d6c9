#!/usr/bin/env python3
"""The pictures' renderer and the check of the committed pictures, without
Wine: what a picture carries reads back as the screen it was drawn from,
screens the console could not show are refused, and each way the pictures
and the README can fall apart is reported with the picture's name."""

import os
import shutil
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import check_pictures  # noqa: E402
import console_svg  # noqa: E402
from console_svg import Screen  # noqa: E402
from take_screenshots import ICON, MOMENTS  # noqa: E402
from run_console_tests import TITLE  # noqa: E402

with open(ICON, encoding="utf-8") as icon_file:
    ICON_SVG = icon_file.read()

BANNER_ROWS = (
    "",
    "    ." + "-" * 58 + ".",
    "    |    " + TITLE + "    |",
    "    '" + "-" * 58 + "'",
)


class RoundTrip(unittest.TestCase):
    SCREENS = {
        "Cyrillic, quotes and backquotes": Screen(
            TITLE,
            BANNER_ROWS + ("", "    1й из 2х этапов: `sfc /scannow`", "",
                           "    пишет \"Выбор\" - нажми ESC!", "stand-in DISM ran", ""),
            (9, 0)),
        "markup characters": Screen("a <b> & 'c'", ("x < y && z > w", "]]> <!-- -->", "&amp;"), (2, 5)),
        "spaces inside and around": Screen("t", ("    ", "  a    b  ", " "), (1, 3)),
        "a full row": Screen("t", ("x" * console_svg.COLUMNS,), (0, console_svg.COLUMNS)),
        "nothing but an empty row": Screen("t", ("",), (0, 0)),
    }

    def test_a_picture_reads_back_as_the_screen_it_shows(self):
        for what, screen in self.SCREENS.items():
            with self.subTest(what):
                self.assertEqual(console_svg.read(console_svg.render(screen, ICON_SVG)), screen)

    def test_cyrillic_takes_one_cell_a_letter(self):
        # The banner's box closes only if its Cyrillic row is drawn exactly
        # as wide as its rows of hyphens.
        svg = console_svg.render(Screen("t", BANNER_ROWS, (3, 0)), ICON_SVG)
        lengths = [line.split('textLength="')[1].split('"')[0]
                   for line in svg.splitlines() if "textLength" in line]
        self.assertEqual(len(lengths), 3)
        self.assertEqual(len(set(lengths)), 1, lengths)

    def test_each_row_keeps_its_own_spaces(self):
        # Chromium keeps a row's spaces only for xml:space on the <text>
        # element itself; inherited from a group they collapse, and the
        # banner and the indented lines lose their places.
        svg = console_svg.render(Screen("t", BANNER_ROWS, (3, 0)), ICON_SVG)
        group = ElementTree.fromstring(svg).find(".//{%s}g[@id='screen']" % console_svg.SVG)
        spaced = [row for row in group.findall("{%s}text" % console_svg.SVG) if (row.text or "").startswith(" ")]
        self.assertEqual(len(spaced), 3)
        for row in spaced:
            self.assertEqual(row.get("{http://www.w3.org/XML/1998/namespace}space"), "preserve", row.text)


class Refused(unittest.TestCase):
    CASES = {
        "wider than the console": (("x" * (console_svg.COLUMNS + 1),), (0, 0), "81 characters"),
        "a character two cells wide": (("ok", "中"), (0, 0), "row 2 holds U+4E2D"),
        "an escape sequence": (("\x1b[31mred",), (0, 0), "U+001B"),
        "a combining accent": (("e\u0301",), (0, 0), "U+0301"),
        "the cursor below the rows": (("a",), (1, 0), "cursor"),
        "the cursor right of the console": (("a",), (0, console_svg.COLUMNS + 1), "cursor"),
    }

    def test_screens_the_console_cannot_show(self):
        for what, (rows, cursor, reason) in self.CASES.items():
            with self.subTest(what):
                with self.assertRaises(ValueError) as raised:
                    console_svg.render(Screen("t", rows, cursor), ICON_SVG)
                self.assertIn(reason, str(raised.exception))


def remove(path):
    os.remove(path)


def recolour(path):
    with open(path, encoding="utf-8") as f:
        svg = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(svg.replace(console_svg.FOREGROUND, "#FF0000"))


def add_stray(path):
    shutil.copy(path, os.path.join(os.path.dirname(path), "old-start.svg"))


README = "".join("text\n\n![The window: %s](pics/%s.svg)\n\n" % (m.name, m.name) for m in MOMENTS)


class CommittedPictures(unittest.TestCase):
    """A folder of whole pictures, one per moment, and a README showing
    them as pics/<moment>.svg; each case spoils one thing."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pictures-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        for moment in MOMENTS:
            screen = Screen("title", ("", "row", moment.name, ""), (3, 0))
            with open(os.path.join(self.dir, moment.name + ".svg"), "w", encoding="utf-8") as f:
                f.write(console_svg.render(screen, ICON_SVG))

    def problems(self, readme=README, guide=None):
        pages = [("README.md", readme, "pics")]
        if guide is not None:
            pages.append(("README.ru.md", guide, "pics"))
        return check_pictures.problems(self.dir, pages, ICON_SVG)

    def test_whole_pictures_pass(self):
        self.assertEqual(self.problems(), [])

    def test_a_spoilt_picture_is_named(self):
        faults = {
            "removed": (remove, "success.svg: missing"),
            "drawn otherwise than its text": (recolour, "success.svg: is not drawn as the renderer draws"),
            "a stray picture beside it": (add_stray, "old-start.svg: not a picture"),
        }
        for what, (spoil, expected) in faults.items():
            with self.subTest(what):
                self.setUp()
                spoil(os.path.join(self.dir, "success.svg"))
                found = self.problems()
                self.assertEqual(len(found), 1, found)
                self.assertIn(expected, found[0])

    def test_a_picture_drawn_otherwise_shows_the_differing_lines(self):
        recolour(os.path.join(self.dir, "success.svg"))
        found = self.problems()
        self.assertEqual(len(found), 1, found)
        lines = found[0].split("\n")
        self.assertIn("--- expected (console_svg.py's drawing of its text)", lines)
        self.assertIn("+++ actual (%s)" % os.path.join(self.dir, "success.svg"), lines)
        changed = [line for line in lines if line.startswith("+") and not line.startswith("+++")]
        self.assertTrue(changed, found[0])
        self.assertTrue(all("#FF0000" in line for line in changed), changed)
        self.assertLessEqual(len(lines), 1 + check_pictures.DIFF_LINES + 1)

    def test_a_readme_fault_is_named(self):
        faults = {
            "no alt text": (README.replace("[The window: reinstall]", "[ ]"),
                            "README.md: the picture pics/reinstall.svg has no alt text"),
            "a picture left out": (README.replace("![The window: start](pics/start.svg)", ""),
                                   "README.md: does not show start.svg"),
            "a picture that is not there": (README + "![x](pics/finish.svg)\n",
                                            "README.md: pics/finish.svg is not one of the pictures"),
            "the pictures by another path": (README.replace("(pics/tool-failed.svg)", "(tool-failed.svg)"),
                                             "README.md: tool-failed.svg is not one of the pictures"),
        }
        for what, (readme, expected) in faults.items():
            with self.subTest(what):
                found = self.problems(readme)
                self.assertTrue(any(expected in problem for problem in found), found)

    def test_the_pages_together_show_every_picture(self):
        # The English page shows one picture, the Russian guide the rest.
        first = "![The window: %s](pics/%s.svg)\n" % (MOMENTS[0].name, MOMENTS[0].name)
        rest = README.replace(first, "")
        self.assertNotEqual(rest, README)
        self.assertEqual(self.problems(first, rest), [])
        # Left out of both, it is missing; the fault of the second page is
        # named by that page.
        found = self.problems(first, rest.replace("(pics/success.svg)", "(pics/succes.svg)"))
        self.assertEqual(sorted(found), ["README.md or README.ru.md: does not show success.svg",
                                         "README.ru.md: pics/succes.svg is not one of the pictures in pics"])
        found = self.problems(first, rest.replace("[The window: success]", "[]"))
        self.assertEqual(found, ["README.ru.md: the picture pics/success.svg has no alt text"])


if __name__ == "__main__":
    unittest.main()
