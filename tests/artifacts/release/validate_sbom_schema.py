#!/usr/bin/env python3
"""Validates CycloneDX JSON files against the CycloneDX JSON schema of the
version each names, with Debian's python3-jsonschema: a second validator,
independent of the CycloneDX library's own (validate_sbom.cjs), reading the
same schema files the pinned library ships (bom-1.5 and the SPDX licence
list and JSON signature format schemas it refers to).

The schemas refer to each other by http://cyclonedx.org/schema/... names;
every such name is answered from the local files, and any other reference
fails: nothing is fetched.

Beyond the schema, what compliance tools match on: every licence of a
component is an SPDX expression whose licences and exceptions are on the
SPDX list the schemas carry (or LicenseRef-...), not a licence named in
free text; and every package URL is in canonical form, each character of
its name and version other than A-Z a-z 0-9 . - _ ~ percent-encoded (a
Debian version's "+" as %2B), the version decoding to the component's.

  validate_sbom_schema.py --schema-dir DIR FILE...

Prints "valid: FILE" or one "invalid: FILE: ..." line per problem; exits
with 1 if any file is invalid."""

import argparse
import glob
import json
import os
import re
import sys
import urllib.parse

import jsonschema

SCHEMA_BASE = "http://cyclonedx.org/schema/"
SPDX_LIST = "spdx.SNAPSHOT.schema.json"
EXPRESSION_TOKEN = re.compile(r"\s*(\(|\)|[A-Za-z0-9.+:-]+)")
CANONICAL_SEGMENT = re.compile(r"(?:[A-Za-z0-9._~-]|%[0-9A-F]{2})+")
PURL = re.compile(r"pkg:[^/]+/([^?#]*)")


class Fetching(Exception):
    pass


def local_store(schema_dir):
    """Every schema of the folder under both names it is referred to by:
    its $id and its file name beside the others'."""
    store = {}
    for path in sorted(glob.glob(os.path.join(schema_dir, "*.schema.json"))):
        with open(path, encoding="utf-8") as f:
            schema = json.load(f)
        store[SCHEMA_BASE + os.path.basename(path)] = schema
        if "$id" in schema:
            store[schema["$id"]] = schema
    return store


def refuse(uri):
    raise Fetching(f"the schema refers to {uri}, which is not among the local files")


def additional_items(validator, allowed, instance, schema):
    """Draft 7's additionalItems. Debian 12's jsonschema (4.10) sorts the
    extra items to name them in its message, which raises TypeError when
    they are objects, as the licence lists are where the schema tries the
    one-expression form on them; this names them by count instead."""
    if not validator.is_type(instance, "array") or validator.is_type(schema.get("items", {}), "object"):
        return
    count = len(schema.get("items", []))
    if validator.is_type(allowed, "object"):
        for index, item in enumerate(instance[count:], start=count):
            yield from validator.descend(item, allowed, path=index)
    elif not allowed and len(instance) > count:
        yield jsonschema.ValidationError(f"{len(instance) - count} more items than the {count} allowed")


def validator_for(spec_version, store, schema_dir):
    name = f"bom-{spec_version}.SNAPSHOT.schema.json"
    schema = store.get(SCHEMA_BASE + name)
    if schema is None:
        raise ValueError(f"no schema for CycloneDX {spec_version!r} in {schema_dir}")
    resolver = jsonschema.RefResolver(schema.get("$id", SCHEMA_BASE + name), schema, store=store,
                                      handlers={"http": refuse, "https": refuse, "file": refuse})
    base = jsonschema.validators.validator_for(schema)
    cls = jsonschema.validators.extend(base, {"additionalItems": additional_items})
    return cls(schema, resolver=resolver, format_checker=base.FORMAT_CHECKER)


def expression_problem(expression, known):
    """Why a text is no SPDX expression of known identifiers, or None. The
    grammar: terms joined by AND and OR, a term a licence (with "+" for "or
    later", or WITH an exception) or an expression in parentheses."""
    tokens, at = [], 0
    while at < len(expression.rstrip()):
        match = EXPRESSION_TOKEN.match(expression, at)
        if not match:
            return f"unexpected {expression[at:].strip()[:20]!r}"
        tokens.append(match.group(1))
        at = match.end()
    position = 0

    def licence(word, exception=False):
        if exception:
            return None if word in known else f"{word} is no exception on the SPDX list"
        if word.startswith("LicenseRef-") and re.fullmatch(r"LicenseRef-[A-Za-z0-9.-]+", word):
            return None
        return None if word.rstrip("+") in known else f"{word} is no licence on the SPDX list"

    def term():
        nonlocal position
        if position >= len(tokens):
            return "it ends where a licence should be"
        word = tokens[position]
        position += 1
        if word == "(":
            problem = compound()
            if problem:
                return problem
            if position >= len(tokens) or tokens[position] != ")":
                return "a parenthesis is not closed"
            position += 1
            return None
        if word in ("AND", "OR", "WITH", ")"):
            return f"{word} where a licence should be"
        problem = licence(word)
        if problem is None and position < len(tokens) and tokens[position] == "WITH":
            if position + 1 >= len(tokens):
                return "WITH names no exception"
            problem = licence(tokens[position + 1], exception=True)
            position += 2
        return problem

    def compound():
        nonlocal position
        problem = term()
        while problem is None and position < len(tokens) and tokens[position] in ("AND", "OR"):
            position += 1
            problem = term()
        return problem

    problem = compound() if tokens else "it is empty"
    if problem is None and position < len(tokens):
        problem = f"{tokens[position]!r} where AND, OR or the end should be"
    return problem


def purl_problem(component):
    match = PURL.match(component["purl"])
    if not match:
        return "not pkg:TYPE/..."
    path, _, version = match.group(1).partition("@")
    for segment in path.split("/") + ([version] if version else []):
        if not CANONICAL_SEGMENT.fullmatch(segment):
            return f"{segment!r} is not percent-encoded as the canonical form has it"
    if "version" in component and urllib.parse.unquote(version) != component["version"]:
        return f"its version {urllib.parse.unquote(version)} is not the component's {component['version']}"
    return None


def compliance_problems(bom, known):
    """What the schema allows and compliance tools cannot use."""
    problems = []
    metadata = bom.get("metadata") if isinstance(bom.get("metadata"), dict) else {}
    components = [metadata.get("component")] + list(bom.get("components") or [])
    for component in (c for c in components if isinstance(c, dict)):
        name = component.get("name")
        for licence in component.get("licenses") or []:
            if not isinstance(licence, dict) or "expression" not in licence:
                problems.append(f"{name}: licence {json.dumps(licence)} is not an SPDX expression")
                continue
            problem = expression_problem(licence["expression"], known)
            if problem:
                problems.append(f"{name}: licence expression {licence['expression']!r}: {problem}")
        if isinstance(component.get("purl"), str):
            problem = purl_problem(component)
            if problem:
                problems.append(f"{name}: package URL {component['purl']}: {problem}")
    return problems


def problems_of(path, store, schema_dir):
    with open(path, encoding="utf-8") as f:
        bom = json.load(f)
    validator = validator_for(bom.get("specVersion"), store, schema_dir)
    problems = [f"{error.message} (at /{'/'.join(map(str, error.absolute_path))})"
                for error in sorted(validator.iter_errors(bom), key=lambda e: list(map(str, e.absolute_path)))]
    spdx = store.get(SCHEMA_BASE + SPDX_LIST)
    if spdx is None:
        raise ValueError(f"no SPDX list ({SPDX_LIST}) in {schema_dir}")
    return problems + compliance_problems(bom, set(spdx.get("enum", [])))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--schema-dir", required=True, help="the CycloneDX library's res/schema folder")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    store = local_store(args.schema_dir)
    failed = False
    for path in args.files:
        try:
            problems = problems_of(path, store, args.schema_dir)
        except (OSError, ValueError, Fetching, jsonschema.exceptions.RefResolutionError) as e:
            problems = [str(e)]
        failed = failed or bool(problems)
        for problem in problems:
            print(f"invalid: {path}: {problem}")
        if not problems:
            print(f"valid: {path}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
