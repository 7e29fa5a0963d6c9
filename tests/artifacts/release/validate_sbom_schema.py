#!/usr/bin/env python3
"""Validates CycloneDX JSON files against the CycloneDX JSON schema of the
version each names, with Debian's python3-jsonschema: a second validator,
independent of the CycloneDX library's own (validate_sbom.cjs), reading the
same schema files the pinned library ships (bom-1.5 and the SPDX licence
list and JSON signature format schemas it refers to).

The schemas refer to each other by http://cyclonedx.org/schema/... names;
every such name is answered from the local files, and any other reference
fails: nothing is fetched.

  validate_sbom_schema.py --schema-dir DIR FILE...

Prints "valid: FILE" or one "invalid: FILE: ..." line per problem; exits
with 1 if any file is invalid."""

import argparse
import glob
import json
import os
import sys

import jsonschema

SCHEMA_BASE = "http://cyclonedx.org/schema/"


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


def problems_of(path, store, schema_dir):
    with open(path, encoding="utf-8") as f:
        bom = json.load(f)
    validator = validator_for(bom.get("specVersion"), store, schema_dir)
    return [f"{error.message} (at /{'/'.join(map(str, error.absolute_path))})"
            for error in sorted(validator.iter_errors(bom), key=lambda e: list(map(str, e.absolute_path)))]


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
