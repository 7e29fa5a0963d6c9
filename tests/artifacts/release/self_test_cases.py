"""The self-test of a check: each case is a small input made up for it and
the problem the check must report for it, or none."""


def report(label, results):
    """results: (what, expected, found) for each case, `expected` a text
    one of the problems `found` must contain, or None for no problem. Prints
    each case not as expected and the count; the exit status to end with."""
    results = list(results)
    failures = 0
    for what, expected, found in results:
        ok = not found if expected is None else any(expected in p for p in found)
        if not ok:
            failures += 1
            print(f"self-test {what}: expected {expected or 'no problem'!r}, got {found}")
    print(f"{label} self-test: {len(results) - failures} of {len(results)} cases as expected")
    return 1 if failures else 0
