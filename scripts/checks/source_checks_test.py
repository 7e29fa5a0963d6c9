#!/usr/bin/env python3
"""scripts/checks/format.sh --check and scripts/checks/check_scripts.sh: every C++ file,
shell script and Python file of the tree is checked, found by name or by its
first line, and each one that fails is named.

Each case is a small git checkout holding the three scripts, the root's
.clang-format and a few files; some files are tracked, some new, some ignored.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRIPTS = ["scripts/checks/source_files.sh", "scripts/checks/format.sh", "scripts/checks/check_scripts.sh",
           "scripts/checks/noqa_comments.py"]

FORMATTED_CPP = "#include <cstdint>\n\nint Twice(int x) { return 2 * x; }\n"
# Google style puts the body on the same line and one space before `{`.
UNFORMATTED_CPP = "int Twice(int x)\n{\n    return 2*x;\n}\n"
CLEAN_SHELL = '#!/bin/bash\nset -eu\necho "$1"\n'
# SC2086: the unquoted $1 is split and globbed.
SHELL_FINDING = "#!/bin/bash\necho $1\n"
CLEAN_PYTHON = "#!/usr/bin/env python3\nimport sys\nprint(sys.argv)\n"
PYTHON_FINDING = "#!/usr/bin/env python3\nimport os\nprint(1)\n"
# flake8 reads a noqa comment anywhere on a line, in a string too: those the
# cases plant are built from two parts, or they would silence this file's own.
NOQA = "# no" + "qa"


def silenced(comment):
    """PYTHON_FINDING with `comment` on the line of its finding (F401)."""
    return PYTHON_FINDING.replace("import os", "import os  " + comment)


class SourceChecks(unittest.TestCase):
    def make_tree(self, tracked, new=None, ignored=None):
        """A git checkout with the checks and the given {path: text} files."""
        tree = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tree)
        for script in SCRIPTS + [".clang-format"]:
            os.makedirs(os.path.join(tree, os.path.dirname(script)), exist_ok=True)
            shutil.copy(os.path.join(ROOT, script), os.path.join(tree, script))
        files = dict(tracked, **{".gitignore": "build/\n"})
        for group in (files, new or {}, ignored or {}):
            for path, text in group.items():
                full = os.path.join(tree, path)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w") as f:
                    f.write(text)
        subprocess.run(["git", "init", "-q", tree], check=True)
        subprocess.run(["git", "-C", tree, "add", "--", *SCRIPTS, ".clang-format", *files],
                       check=True)
        return tree

    def run_check(self, tree, command):
        return subprocess.run(["bash", *command], cwd=tree, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)

    def test_each_unformatted_cpp_file_is_named(self):
        tree = self.make_tree({"src/good.cpp": FORMATTED_CPP, "src/bad.h": UNFORMATTED_CPP,
                               "include/other.inc": UNFORMATTED_CPP},
                              new={"src/new_test.cpp": UNFORMATTED_CPP},
                              ignored={"build/generated.cpp": UNFORMATTED_CPP})
        result = self.run_check(tree, ["scripts/checks/format.sh", "--check"])
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        named = [line.strip() for line in result.stderr.splitlines() if line.startswith("  ")]
        # clang-format reports five places in each.
        self.assertEqual(sorted(named), ["include/other.inc (5)", "src/bad.h (5)",
                                         "src/new_test.cpp (5)"])
        self.assertIn("3 of 4 C++ files are not formatted", result.stderr)

        # Laid out by the same script, the check passes and the ignored file is untouched.
        self.assertEqual(self.run_check(tree, ["scripts/checks/format.sh"]).returncode, 0)
        result = self.run_check(tree, ["scripts/checks/format.sh", "--check"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("all 4 C++ files are formatted", result.stdout)
        with open(os.path.join(tree, "src/bad.h")) as f:
            self.assertEqual(f.read(), "int Twice(int x) { return 2 * x; }\n")
        with open(os.path.join(tree, "build/generated.cpp")) as f:
            self.assertEqual(f.read(), UNFORMATTED_CPP)

    def test_a_broken_style_fails_without_naming_files(self):
        tree = self.make_tree({"src/good.cpp": FORMATTED_CPP})
        with open(os.path.join(tree, ".clang-format"), "a") as f:
            f.write("NoSuchOption: true\n")
        result = self.run_check(tree, ["scripts/checks/format.sh", "--check"])
        self.assertEqual(result.returncode, 1)
        self.assertIn("clang-format-14 failed", result.stderr)

    def test_each_script_with_a_finding_is_named(self):
        clean = {
            "tools/ok.sh": CLEAN_SHELL,
            "tools/ok.py": CLEAN_PYTHON,
            "notes.txt": "echo $1\nimport os\n",
            "tools/kept.py": silenced(NOQA + ": F401 loaded for its effect"),
            "tools/kept_among.py": silenced(NOQA + ":E402,F401 both, for the reason here"),
        }
        ignored = {"build/out.sh": SHELL_FINDING, "build/out.py": PYTHON_FINDING}
        # Each kind alone must fail the check: tracked files by name or first
        # line, and a new file not yet added.
        cases = {
            "shell": ({"tools/bad.sh": SHELL_FINDING, ".ci/run": SHELL_FINDING,
                       "tools/env-bash": SHELL_FINDING.replace("/bin/bash", "/usr/bin/env bash"),
                       "tools/posix": SHELL_FINDING.replace("bash", "sh")},
                      {"tools/new.sh": SHELL_FINDING}),
            # A noqa comment silences only the codes it names: none, another
            # checker's, another F code or part of one hides nothing, and
            # one that flake8 would read as naming none is itself a finding,
            # even on a clean line.
            "python": ({"tools/bad.py": PYTHON_FINDING, "tools/check": PYTHON_FINDING,
                        "tools/broken.py": "def f(:\n",
                        "tools/bare.py": silenced(NOQA),
                        "tools/bare_upper.py": silenced(NOQA.upper()),
                        "tools/spaced.py": silenced(NOQA + ":  F401 two spaces: flake8 reads no codes"),
                        "tools/prefix.py": silenced(NOQA + ": F4"),
                        "tools/whole_file.py": "# flake8: " + NOQA[2:] + "\n" + PYTHON_FINDING,
                        "tools/bare_clean.py": CLEAN_PYTHON.replace("import sys", "import sys  " + NOQA),
                        "tools/other.py": silenced(NOQA + ": E402"),
                        "tools/wrong.py": silenced(NOQA + ": F811")},
                       {"tools/new.py": PYTHON_FINDING}),
        }
        every_path = list(clean) + list(ignored) + [path for tracked, new in cases.values()
                                                    for path in list(tracked) + list(new)]
        for kind, (tracked, new) in cases.items():
            with self.subTest(kind):
                tree = self.make_tree(dict(clean, **tracked), new=new, ignored=ignored)
                result = self.run_check(tree, ["scripts/checks/check_scripts.sh"])
                output = result.stdout + result.stderr
                self.assertEqual(result.returncode, 1, output)
                named = {path for path in every_path
                         if re.search(r"(^|\s)%s[:\s]" % re.escape(path), output, re.MULTILINE)}
                self.assertEqual(named, set(tracked) | set(new))

        tree = self.make_tree(clean, ignored=ignored)
        result = self.run_check(tree, ["scripts/checks/check_scripts.sh"])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("no findings in 4 shell scripts and 4 Python files", result.stdout)

    def test_the_tree_lists_match_the_names(self):
        tree = self.make_tree({"a.sh": CLEAN_SHELL, ".ci/run": CLEAN_SHELL, "b.py": CLEAN_PYTHON,
                               "tool": CLEAN_PYTHON, "c.cpp": FORMATTED_CPP, "d.h": FORMATTED_CPP,
                               "data.bin": "\0#!/bin/bash\n", "readme.md": "#!/bin/bash\n"})
        expected = {"cxx": ["c.cpp", "d.h"],
                    "shell": [".ci/run", "a.sh", "readme.md", "scripts/checks/check_scripts.sh",
                              "scripts/checks/format.sh", "scripts/checks/source_files.sh"],
                    "python": ["b.py", "scripts/checks/noqa_comments.py", "tool"],
                    "markdown": ["readme.md"]}
        for kind, paths in expected.items():
            with self.subTest(kind):
                result = self.run_check(tree, ["scripts/checks/source_files.sh", kind])
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.splitlines(), paths)


if __name__ == "__main__":
    unittest.main()
