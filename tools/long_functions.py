#!/usr/bin/env python3
"""Lists C++ functions (and lambdas given to a builder) longer than a limit.

Usage: tools/long_functions.py [--limit N] [paths...]   (default: engine bindings, 80)
A function is a brace block opened at the end of a line that looks like a
definition; the count runs from that line to its closing brace. Exit status
1 when any function is longer than the limit, so CI can hold the line.
"""
import argparse
import pathlib
import re
import sys

HEAD = re.compile(r"^\s*(?!if\b|for\b|while\b|switch\b|else\b|do\b|namespace\b|struct\b|class\b|enum\b|union\b|extern\b|try\b|catch\b)"
                  r"[^;{}]*\)\s*(const\s*)?(noexcept\s*)?(override\s*)?(->\s*[\w:<>,\s*&]+)?\{\s*$")
LAMBDA = re.compile(r"\[[^\]]*\]\s*\([^)]*\)\s*(mutable\s*)?(->\s*[\w:<>,\s*&]+)?\{\s*$")


def strip(line):
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//")[0]


def functions(path):
    lines = path.read_text().splitlines()
    stack = []  # (start line, name or None, depth)
    depth = 0
    out = []
    for number, raw in enumerate(lines, 1):
        line = strip(raw)
        is_head = bool(HEAD.match(line)) and not LAMBDA.search(line)
        for ch in line:
            if ch == "{":
                depth += 1
                if is_head and not any(s[2] < depth and s[1] for s in stack if s[1] == "fn"):
                    stack.append((number, "fn", depth, raw.strip()))
                    is_head = False
            elif ch == "}":
                if stack and stack[-1][2] == depth:
                    start, _, _, text = stack.pop()
                    out.append((number - start + 1, start, text))
                depth -= 1
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=80)
    parser.add_argument("paths", nargs="*", default=["engine", "bindings"])
    args = parser.parse_args()
    root = pathlib.Path(__file__).resolve().parent.parent
    found = []
    for p in args.paths:
        base = (root / p) if not pathlib.Path(p).is_absolute() else pathlib.Path(p)
        files = [base] if base.is_file() else sorted(base.rglob("*.cpp")) + sorted(base.rglob("*.h"))
        for f in files:
            if "/tests/" in str(f):
                continue
            for length, start, text in functions(f):
                if length > args.limit:
                    found.append((length, f"{f.relative_to(root)}:{start}", text[:90]))
    for length, where, text in sorted(found, reverse=True):
        print(f"{length:5d}  {where}  {text}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
