"""The part of a machine-readable Debian copyright file (format 1.0, read
with python3-debian's debian.copyright) that covers the files which gave
code to a program: the Files stanzas that find_files_paragraph picks for
them, and the full text of every licence those stanzas name. What covers
only the package's tools, headers or packaging, and the header's own
summary, stays out, and so do their licences.

A licence's text comes from the stanza itself, else from the file's
standalone License paragraph of that name. Debian's texts of the common
licences refer to /usr/share/common-licenses/<name> instead of holding
them; that path does not exist where the notices are read, so the paragraph
that refers to it is replaced by the file's full text, read at build time.
A licence with no text anywhere fails the run: nothing goes out without it.

Each licence also gets its SPDX identifier, or a LicenseRef-<name> where
SPDX has none (the public-domain statement), whose text then travels with
it into the bill of materials."""

import os
import re

from debian import copyright as debian_copyright

COMMON_LICENSES = "/usr/share/common-licenses"
# The name ends before a full stop that ends the sentence: "LGPL-2.1'." is LGPL-2.1.
COMMON_LICENSE_REFERENCE = re.compile(r"/usr/share/common-licenses/([A-Za-z0-9+_-]+(?:\.[A-Za-z0-9+_-]+)*)")
# Debian's short licence names (copyright format 1.0) that have an SPDX id.
SPDX_OF_DEBIAN_NAME = {
    "Apache-2.0": "Apache-2.0", "BSD-2-clause": "BSD-2-Clause", "BSD-3-clause": "BSD-3-Clause",
    "BSD-C3": "BSD-3-Clause", "expat": "MIT", "Expat": "MIT", "MIT": "MIT", "ISC": "ISC",
    "ZPL-2.1": "ZPL-2.1", "Zlib": "Zlib", "zlib": "Zlib", "GPL-2+": "GPL-2.0-or-later",
    "GPL-3+": "GPL-3.0-or-later", "LGPL-2+": "LGPL-2.0-or-later", "LGPL-2.1+": "LGPL-2.1-or-later",
}
SYNOPSIS_WORD = re.compile(r"\s+(and|or)\s+")


class Dep5Error(Exception):
    pass


def read(path):
    """The parsed copyright file; Dep5Error when it is not machine-readable."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if not text.startswith("Format:"):
        raise Dep5Error(f"{path} is not a machine-readable copyright file")
    try:
        return debian_copyright.Copyright(text.splitlines(keepends=True), strict=False)
    except (debian_copyright.Error, ValueError) as e:
        raise Dep5Error(f"{path}: {e}") from e


def named_files(parsed):
    """Every path a Files field names one by one, without a wildcard."""
    return sorted({pattern for paragraph in parsed.all_files_paragraphs() for pattern in paragraph.files
                   if not any(c in pattern for c in "*?")})


def licence_id(name):
    if name in SPDX_OF_DEBIAN_NAME:
        return SPDX_OF_DEBIAN_NAME[name]
    return "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def synopsis_terms(synopsis, where):
    """["GPL-2+", "or", "Artistic"] from a stanza's licence synopsis; only
    names joined by "and" or "or" are understood."""
    terms = SYNOPSIS_WORD.split(synopsis.strip())
    names = terms[::2]
    if any(not name or re.search(r"[\s,()]", name) for name in names):
        raise Dep5Error(f"{where}: the licence {synopsis!r} is not names joined by 'and' or 'or'")
    return terms


def expression(terms):
    text = " ".join(licence_id(t) if i % 2 == 0 else t.upper() for i, t in enumerate(terms))
    return f"({text})" if " OR " in text else text


def full_text(text, where, common_licenses):
    """A licence text with every paragraph that only points at
    /usr/share/common-licenses replaced by the file it points at."""
    paragraphs = re.split(r"\n\s*\n", text.strip())
    kept, referred = [], []
    for paragraph in paragraphs:
        names = COMMON_LICENSE_REFERENCE.findall(paragraph)
        if names:
            referred += [n for n in names if n not in referred]
        else:
            kept.append(paragraph)
    for name in referred:
        path = os.path.join(common_licenses, name)
        if not os.path.isfile(path):
            raise Dep5Error(f"{where} refers to {COMMON_LICENSES}/{name}, which this system lacks")
        with open(path, encoding="utf-8") as f:
            kept.append(f.read().strip("\n"))
    return "\n\n".join(kept)


def field(name, value):
    """A field in the copyright file's own form: continuation lines indented
    to line up under the first, as Debian writes them."""
    lines = [line.strip() for line in value.strip("\n").split("\n")]
    indent = " " * (len(name) + 2)
    return "\n".join([f"{name}: {lines[0]}"] + [indent + line if line else " ." for line in lines[1:]])


def licence_block(name, text):
    return "\n".join([f"License: {name}"] + [" " + line if line.strip() else " ." for line in text.split("\n")])


def notice(path, sources, common_licenses=COMMON_LICENSES):
    """sources: {Source (member_sources): set of input names}. Returns
    {"expression", "refs" (LicenseRef id -> text), "text"}."""
    parsed = read(path)
    stanzas = list(parsed.all_files_paragraphs())
    covering = {}  # stanza index -> {shown source: inputs}
    for source, inputs in sorted(sources.items(), key=lambda item: item[0].shown):
        found = [parsed.find_files_paragraph(p) for p in source.paths]
        what = f"{source.shown} (from {', '.join(sorted(inputs))})"
        if None in found:
            raise Dep5Error(f"{path}: no stanza covers {what}")
        if len({id(stanza) for stanza in found}) != 1:
            raise Dep5Error(f"{path}: {what} may be any of {', '.join(source.paths)}, whose stanzas differ")
        index = next(i for i, s in enumerate(stanzas) if s is found[0])
        covering.setdefault(index, {}).setdefault(source.shown, set()).update(inputs)

    standalone = {p.license.synopsis: p.license.text for p in parsed.all_license_paragraphs()}
    texts, expressions, refs = [], [], {}
    # The header names the work; its own Copyright and License fields sum up
    # the whole package, tools and packaging included, and stay out.
    header = parsed.header
    named = [field(name, value if isinstance(value, str) else "\n".join(value))
             for name, value in (("Upstream-Name", header.upstream_name),
                                 ("Upstream-Contact", header.upstream_contact), ("Source", header.source))
             if value]
    out = ["\n".join(named)] if named else []
    for index in sorted(covering):
        stanza = stanzas[index]
        where = f"{path}, the stanza of {stanza.files[0]}"
        synopsis = stanza.license.synopsis
        terms = synopsis_terms(synopsis, where)
        names = terms[::2]
        expressions.append(expression(terms))
        inputs = sorted(set().union(*covering[index].values()))
        block = [field("Files", "\n".join(sorted(covering[index]))),
                 field("Copyright", stanza.copyright or ""),
                 f"License: {synopsis}"]
        own_text = stanza.license.text.strip()
        if own_text:
            if len(names) != 1:
                raise Dep5Error(f"{where}: one text for the licences {synopsis!r}")
            body = full_text(own_text, where, common_licenses)
            block[-1] = licence_block(synopsis, body)
            if licence_id(names[0]).startswith("LicenseRef-"):
                refs[licence_id(names[0])] = body
        else:
            for name in names:
                if not standalone.get(name, "").strip():
                    raise Dep5Error(f"{where}: the licence {name} has no text in the file")
                if name not in [t[0] for t in texts]:
                    texts.append((name, full_text(standalone[name], f"{path}, License: {name}", common_licenses)))
        block.append(field("Comment", "Linked in from " + ", ".join(inputs) + "."))
        out.append("\n".join(block))
    for name, body in texts:
        out.append(licence_block(name, body))
        if licence_id(name).startswith("LicenseRef-"):
            refs[licence_id(name)] = body
    return {"expression": conjunction(expressions), "refs": refs, "text": "\n\n".join(out)}


def conjunction(expressions):
    """The stanzas' expressions joined by AND, each licence once."""
    terms = []
    for e in expressions:
        for term in ([e] if " OR " in e else e.split(" AND ")):
            if term not in terms:
                terms.append(term)
    return " AND ".join(terms)
