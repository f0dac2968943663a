#!/usr/bin/python3
"""Prints "KEY FILE" for each C++ source named on the command line: a hash of
everything clang-tidy's verdict on it depends on (its preprocessed text, its
compile command, the clang-tidy version and the .clang-tidy files). Sources
without a compile command get no line.

    scripts/tidy_keys.py BUILD_DIR JOBS FILE...
"""
import hashlib
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor


def preprocess_args(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    out, skip = [], False
    for a in args:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-MD", "-MMD"):
            continue
        out.append(a)
    # Comments stay (NOLINT), and line markers keep line counts.
    return out + ["-E", "-C", "-o", "-"]


def key(entry, common):
    h = hashlib.sha256(common)
    h.update(json.dumps(entry, sort_keys=True).encode())
    r = subprocess.run(preprocess_args(entry), cwd=entry["directory"], capture_output=True)
    if r.returncode != 0:
        return None  # clang-tidy reports what is wrong
    h.update(r.stdout)
    return h.hexdigest()


def main():
    build, jobs, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    root = os.getcwd()
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = {}
        for e in json.load(f):
            path = os.path.relpath(os.path.join(e["directory"], e["file"]), root)
            entries.setdefault(path, e)
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True).stdout
    common = version
    configs = subprocess.run(
        ["git", "ls-files", "-co", "--exclude-standard", ".clang-tidy", "*/.clang-tidy"],
        capture_output=True, text=True).stdout.split()
    for c in sorted(configs):
        with open(c, "rb") as f:
            common += c.encode() + f.read()
    todo = [f for f in files if f in entries]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for f, k in zip(todo, pool.map(lambda f: key(entries[f], common), todo)):
            if k:
                print(k, f)


main()
