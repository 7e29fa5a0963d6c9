#!/usr/bin/env python3
"""Configures and builds the product once more, from scratch, in a fresh
directory whose path differs (in length too) from the build tree's, and
requires each output to be identical byte for byte to the tree's own: no
timestamps, no build paths, no generator randomness may reach the output.
The release is built unsigned: a signature carries its signing time.

The tree's outputs are only read, never rebuilt: other checks read them
while this one runs (the release's bill of materials, the test kit), and
making the release deletes its files before writing them again. So the
tree must have been built with them (its build preset builds the release),
and an output older than the file it is made from fails as stale."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def read_outputs(names, build_dir):
    outputs = {}
    for name in names:
        with open(os.path.join(build_dir, name), "rb") as f:
            outputs[name] = f.read()
    return outputs


def tree_outputs(args, tree):
    """The tree's outputs' bytes by name, or None (with one line said) when
    one is missing or older than the file it is made from."""
    for name in args.output:
        path = os.path.join(tree, name)
        if not os.path.isfile(path):
            print(f"{path} is missing: build the tree's {args.target} target first "
                  f"(cmake --build {tree} --target {args.target})")
            return None
    if args.made_from:
        source = os.path.join(tree, args.made_from)
        for name in args.output:
            path = os.path.join(tree, name)
            if name != args.made_from and os.path.getmtime(path) < os.path.getmtime(source):
                print(f"{path} is older than {source}: build the tree's {args.target} target again")
                return None
    return read_outputs(args.output, tree)


def build(args, build_dir):
    """A fresh tree's outputs' bytes by name, or None when the build fails."""
    configure = ["cmake", "-S", args.source, "-B", build_dir, "-G", args.generator,
                 "-DCMAKE_BUILD_TYPE=Release"]
    if args.toolchain:
        configure.append(f"-DCMAKE_TOOLCHAIN_FILE={args.toolchain}")
    if args.make_program:
        configure.append(f"-DCMAKE_MAKE_PROGRAM={args.make_program}")
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINREPAIR_SIGN_")}
    for command in [configure, ["cmake", "--build", build_dir, "--target", args.target]]:
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=env)
        if result.returncode != 0:
            print(f"failed: {' '.join(command)}\n{result.stdout[-4000:]}")
            return None
    return read_outputs(args.output, build_dir)


def describe_difference(a, b):
    if len(a) != len(b):
        return f"sizes differ: {len(a)} and {len(b)} bytes"
    differing = [i for i in range(len(a)) if a[i] != b[i]]
    return (f"{len(differing)} bytes differ, the first at offset 0x{differing[0]:x} "
            f"(0x{a[differing[0]]:02x} vs 0x{b[differing[0]]:02x})")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--toolchain")
    parser.add_argument("--make-program")
    parser.add_argument("--target", required=True)
    parser.add_argument("--output", required=True, action="append",
                        help="built file, relative to the build directory; repeat for more")
    parser.add_argument("--build-tree", required=True,
                        help="the built tree whose outputs the fresh build must match")
    parser.add_argument("--made-from",
                        help="output the others are made from: one of them older than it is stale")
    parser.add_argument("--keep", action="store_true", help="leave the fresh build directory behind")
    args = parser.parse_args(argv)

    tree = os.path.abspath(args.build_tree)
    scratch = tempfile.mkdtemp(prefix="reproducible-")
    try:
        fresh_dir = os.path.join(scratch, "b")
        if len(fresh_dir) == len(tree):
            fresh_dir += "-longer"
        first = tree_outputs(args, tree)
        if first is None:
            return 1
        second = build(args, fresh_dir)
        if second is None:
            return 1
        differing = [name for name in args.output if first[name] != second[name]]
        for name in differing:
            print(f"{name} is not reproducible: {describe_difference(first[name], second[name])}")
        if differing:
            if args.keep:
                print(f"fresh build kept in {fresh_dir}")
            return 1
        for name in args.output:
            print(f"{name}: the fresh build is identical to the tree's ({len(first[name])} bytes)")
        return 0
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
