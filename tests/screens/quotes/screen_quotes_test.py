#!/usr/bin/env python3
"""check_screen_quotes.py tells the guides' quotes of the screen from their
other quotes, and fails on each quote of the screen that the program does
not print: on a page made up for it, and on the real guides with each of
their quotes of the screen spoilt in one letter in turn.

Usage: screen_quotes_test.py --screens-program PATH --page README.ru.md [--page ...]
"""

import argparse
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from check_screen_quotes import closest, problems, quotes_in, screen_lines  # noqa: E402

SCREEN = """\
--- title
Утилита восстановления windows от cubeshot.example
--- DISM 3017, sfc 0

    1й из 2х этапов: `DISM /Online /Cleanup-image /Restorehealth`

    Если кликнул в окно и всё зависло или пишет "Выбор" - нажми ESC!


    Встроенное в windows средство устранения неполадок не сработало!!

    Нужна перезагрузка: Windows ещё не закончила начатые изменения.
    Перезагрузите компьютер и запустите программу снова.
--- DISM 0, sfc 2

    В этом случае поможет только переустановка windows
"""

# Each quote as a page would give it, and whether the check must fail it.
CASES = [
    ("«Встроенное в windows средство устранения неполадок не сработало!!»", False),
    ("«Встроенное в windows средство устранения неполадок не сработало!»", True),
    ("«Встроенное в Windows средство устранения неполадок не сработало!!»", True),
    ("«Нужна перезагрузка: windows ещё не закончила начатые изменения.»", True),
    ("«Нужна перезагрузка: Windows ещё не\n  закончила начатые изменения.»", False),
    ("«Нужна перезагрузка: Windows ещё не закончила начатые изменения»", True),
    ('"Нужна перезагрузка: ..."', False),
    ('"Нужна перезагрузко: ..."', True),
    ("«...запустите программу снова.»", False),
    ("«...запустите программу сново.»", True),
    ("«...средство устранения неполадок не сработало...»", False),
    ("«...средство устранения неполадак не сработало...»", True),
    ("«В этом случае поможет только переустановка windows»", False),
    ("«В этом случае поможет только переустановка windows!»", True),
    ("«1й из 2х этапов»", False),
    # Not the program's words: Windows' own messages and labels.
    ("«Запуск от имени администратора»", False),
    ("«Перезагрузка»", False),
    ("«Выбор»", False),
    ("«...обнаружила поврежденные файлы и успешно их восстановила»", False),
    ("«Служба \"Установщик модулей Windows\" перестала отвечать.»", False),
    # Straight quotes, code spans, code blocks and blockquotes.
    ('in English: "Перезагрузите компьютер и запустите программу снова."', False),
    ('in English: "Перезагрузите компьютер и запустите програму снова."', True),
    ("`Перезагрузите компьютер и запустите программу снова!`", True),
    ("```text\n    Перезагрузите компьютер и запустите программу снова.\n```", False),
    ("```text\n    Перезагрузите компьютер и запустите программу сейчас.\n```", True),
    ("> Нужна перезагрузка: Windows ещё не закончила начатые изменения.", False),
    ("> Нужна перезагрузка: Windows ещё не закончила все изменения.", True),
    # A picture's alt text shows the window: all of its quotes are the screen.
    ("![Окно с заголовком «Утилита восстановления windows от cubeshot.example»](a.svg)", False),
    ("![Окно с заголовком «Утилита восстановления Windows»](a.svg)", True),
    ('![The window with "Готово"](a.svg)', True),
]


class MadeUpPage(unittest.TestCase):
    def test_each_quote(self):
        lines = screen_lines(SCREEN)
        for source, fails in CASES:
            with self.subTest(source=source):
                page = "Текст до.\n\n" + source + "\n\nТекст после.\n"
                quotes = quotes_in("page.md", page)
                self.assertEqual(len(quotes), 1, quotes)
                self.assertEqual(bool(problems(quotes, lines)), fails)

    def test_quotes_are_found_with_their_lines(self):
        page = ("# «Отлично!»\n\nСтрока «один «вложенный» конец» и `код с буквами` и `code`.\n\n"
                'English "Слово" and "word", «с "прямыми" внутри».\n')
        found = [(q.text, q.line) for q in quotes_in("page.md", page)]
        self.assertEqual(found, [("Отлично!", 1), ("один «вложенный» конец", 3), ("код с буквами", 3),
                                 ("Слово", 5), ('с "прямыми" внутри', 5)])


def spoil(page, quote):
    """The page with one Cyrillic letter near the middle of the quote
    changed."""
    start, end = quote.span
    letters = [i for i in range(start, end) if "\u0430" <= page[i].lower() <= "\u044f"]
    i = letters[len(letters) // 2]
    replacement = "ы" if page[i] != "ы" else "а"
    return page[:i] + replacement + page[i + 1:]


class RealGuides(unittest.TestCase):
    screens = None
    pages = []

    def test_every_quote_of_the_screen_spoilt_fails(self):
        lines = screen_lines(self.screens)
        spoilt = 0
        for path in self.pages:
            with open(path, encoding="utf-8") as f:
                page = f.read()
            for quote in quotes_in(path, page):
                if not (quote.in_alt or closest(quote.text, lines)[0]):
                    continue
                with self.subTest(quote=repr(quote)):
                    changed = [q for q in quotes_in(path, spoil(page, quote)) if q.span == quote.span]
                    self.assertEqual(len(changed), 1)
                    self.assertTrue(problems(changed, lines), "a spoilt quote passed")
                    spoilt += 1
        # The guides quote the verdicts, the advice and the stage lines.
        self.assertGreaterEqual(spoilt, 10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--screens-program", required=True)
    parser.add_argument("--page", action="append", required=True)
    args, rest = parser.parse_known_args()
    RealGuides.screens = subprocess.run([args.screens_program], check=True,
                                        stdout=subprocess.PIPE).stdout.decode("utf-8")
    RealGuides.pages = args.page
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
