#!/usr/bin/env python3
"""check_publisher_places.py finds a title naming another publisher, and a
place that no longer quotes the title at all."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_publisher_places import problems  # noqa: E402

PREFIX = "Утилита восстановления windows от "


class PublisherPlaces(unittest.TestCase):
    def test_each_way_a_place_falls_behind(self):
        cases = [
            ("quoted with this publisher", f'the title "{PREFIX}pub.example".\n', []),
            ("in guillemets and in alt text", f"![x]({PREFIX}pub.example) «{PREFIX}pub.example»\n", []),
            ("an old name left on line 2", f'"{PREFIX}pub.example"\n"{PREFIX}old.example"\n',
             ['P:2: the title names "old.example", but publisher/publisher.txt says "pub.example"']),
            ("no title at all", "nothing here\n", [f'P: no quote of the title "{PREFIX}pub.example"']),
        ]
        for what, text, expected in cases:
            with self.subTest(what):
                self.assertEqual(problems("P", text, PREFIX, "pub.example"), expected)


if __name__ == "__main__":
    unittest.main()
