"""What a Windows program started here gets of the Linux environment.

Wine copies the whole Linux environment into the Windows one (TERM, PATH,
the caller's own variables), so every runner starts Wine with `env -i` and
exactly this: HOME (Wine keeps its user settings there), the prefix, and
the settings in tests/wine/wine.env (the one place they are written, a
UTF-8 locale among them)."""

import os

# Runs through Wine's preloader by itself: see cmake/mingw-w64-x86_64.cmake.
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
SETTINGS_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine.env")


def settings():
    """tests/wine/wine.env as a dict."""
    values = {}
    with open(SETTINGS_FILE, encoding="ascii") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                name, _, value = line.partition("=")
                values[name] = value
    return values


def environment(prefix=None, extra=None):
    """The whole environment to start Wine with: the prefix given, or the
    caller's WINEPREFIX (CTest sets it per build tree)."""
    env = {"HOME": os.environ.get("HOME", "/root")}
    prefix = prefix or os.environ.get("WINEPREFIX")
    if prefix:
        env["WINEPREFIX"] = prefix
    env.update(settings())
    env.update(extra or {})
    return env


def wine_command(environment, *words):
    """Wine started with exactly `environment` (env -i: nothing else of the
    Linux one) and given `words`, as a command line to run."""
    return ["env", "-i"] + ["%s=%s" % item for item in sorted(environment.items())] + [WINE, *words]
