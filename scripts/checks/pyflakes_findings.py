#!/usr/bin/python3
"""Runs pyflakes over the given Python files and prints what it finds, one
finding a line with its flake8 code: "path:line:col: message [F401]".

A finding is left out only when its own line carries a `# noqa:` comment
that names its code, as flake8 reads one:

    import readline  # noqa: F401 loaded for its effect on input()

A bare `# noqa`, or one naming only codes pyflakes never reports (E402 is
pycodestyle's), silences nothing: a comment written for one finding must
not hide another on the same line. Syntax errors and files that cannot be
read always count.

Exit status: 0 nothing found, 1 findings, 2 usage.
Runs under the interpreter of Debian's pyflakes3, whose module it imports.
"""

import re
import sys

from pyflakes import api

# flake8's codes for pyflakes' messages (flake8/plugins/pyflakes.py). A
# message not listed here has no code, so no comment can silence it.
CODES = {
    "UnusedImport": "F401",
    "ImportShadowedByLoopVar": "F402",
    "ImportStarUsed": "F403",
    "LateFutureImport": "F404",
    "ImportStarUsage": "F405",
    "ImportStarNotPermitted": "F406",
    "FutureFeatureNotDefined": "F407",
    "PercentFormatInvalidFormat": "F501",
    "PercentFormatExpectedMapping": "F502",
    "PercentFormatExpectedSequence": "F503",
    "PercentFormatExtraNamedArguments": "F504",
    "PercentFormatMissingArgument": "F505",
    "PercentFormatMixedPositionalAndNamed": "F506",
    "PercentFormatPositionalCountMismatch": "F507",
    "PercentFormatStarRequiresSequence": "F508",
    "PercentFormatUnsupportedFormatCharacter": "F509",
    "StringDotFormatInvalidFormat": "F521",
    "StringDotFormatExtraNamedArguments": "F522",
    "StringDotFormatExtraPositionalArguments": "F523",
    "StringDotFormatMissingArgument": "F524",
    "StringDotFormatMixingAutomatic": "F525",
    "FStringMissingPlaceholders": "F541",
    "MultiValueRepeatedKeyLiteral": "F601",
    "MultiValueRepeatedKeyVariable": "F602",
    "TooManyExpressionsInStarredAssignment": "F621",
    "TwoStarredExpressions": "F622",
    "AssertTuple": "F631",
    "IsLiteral": "F632",
    "InvalidPrintSyntax": "F633",
    "IfTuple": "F634",
    "BreakOutsideLoop": "F701",
    "ContinueOutsideLoop": "F702",
    "YieldOutsideFunction": "F704",
    "ReturnOutsideFunction": "F706",
    "DefaultExceptNotLast": "F707",
    "DoctestSyntaxError": "F721",
    "ForwardAnnotationSyntaxError": "F722",
    "RedefinedWhileUnused": "F811",
    "UndefinedName": "F821",
    "UndefinedExport": "F822",
    "UndefinedLocal": "F823",
    "DuplicateArgument": "F831",
    "UnusedVariable": "F841",
    "UnusedAnnotation": "F842",
    "RaiseNotImplemented": "F901",
}

# flake8's form: "# noqa:" then codes separated by commas or spaces; what
# follows the codes is the reason.
NOQA = re.compile(r"#\s*noqa:\s*(?P<codes>[A-Z]+[0-9]+(?:[,\s]+[A-Z]+[0-9]+)*)", re.IGNORECASE)


def named_codes(line):
    """The codes a `# noqa:` comment on `line` names, upper case."""
    found = NOQA.search(line)
    if not found:
        return set()
    return {code.upper() for code in re.split(r"[,\s]+", found.group("codes"))}


class Findings:
    """pyflakes' reporter: keeps what counts, drops what a comment names."""

    def __init__(self):
        self.lines = []
        self.sources = {}

    def source_line(self, path, number):
        if path not in self.sources:
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    self.sources[path] = f.read().splitlines()
            except OSError:
                self.sources[path] = []
        lines = self.sources[path]
        return lines[number - 1] if 0 < number <= len(lines) else ""

    def unexpectedError(self, filename, message):  # noqa: N802 (pyflakes' reporter interface)
        self.lines.append("%s: %s" % (filename, message))

    def syntaxError(self, filename, message, lineno, offset, text):  # noqa: N802 (as above)
        self.lines.append("%s:%s:%s: %s" % (filename, lineno, offset or 0, message))

    def flake(self, message):
        code = CODES.get(type(message).__name__)
        if code and code in named_codes(self.source_line(message.filename, message.lineno)):
            return
        self.lines.append("%s [%s]" % (message, code or "no code"))


def main(paths):
    if not paths:
        print("usage: pyflakes_findings.py FILE...", file=sys.stderr)
        return 2
    findings = Findings()
    for path in paths:
        api.checkPath(path, findings)
    for line in findings.lines:
        print(line)
    return 1 if findings.lines else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
