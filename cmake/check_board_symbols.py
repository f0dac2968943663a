#!/usr/bin/python3
"""Checks that the board build needs nothing beyond the vendor operations.

Links the board build's objects into one relocatable object and compares
its undefined symbols with the committed list (platform/board/
undefined_symbols.txt): every one must be a listed vendor operation, a
symbol the linker provides, or a symbol exported by one of the listed
runtime libraries. The object must not carry a device-root lookup either.
Exit status 0 when the check passes, 1 with the offenders listed otherwise.
"""
import argparse
import os
import subprocess
import sys


def read_list(path):
    sections = {}
    current = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1], [])
            elif current is None:
                sys.exit(f"{path}: '{line}' outside a section")
            else:
                current.append(line)
    return sections


def run(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{r.stderr}")
    return r.stdout


def find_library(name, compiler, sysroot):
    found = run([compiler, f"--sysroot={sysroot}", f"-print-file-name={name}"]).strip()
    if os.path.isabs(found) and os.path.exists(found):
        return found
    for d in ("lib/mipsel-linux-gnu", "usr/lib/mipsel-linux-gnu", "lib", "usr/lib"):
        p = os.path.join(sysroot, d, name)
        if os.path.exists(p):
            return p
    return None


def defined_symbols(path, nm):
    dynamic = ".so" in os.path.basename(path)
    out = run([nm, "-P", "--defined-only"] + (["-D"] if dynamic else []) + [path])
    names = set()
    for line in out.splitlines():
        if not line or line.endswith(":"):
            continue
        names.add(line.split()[0].split("@", 1)[0])
    return names


def undefined_symbols(path, nm, demangle=False):
    out = run([nm, "-P", "-u"] + (["-C"] if demangle else []) + [path])
    result = []
    for line in out.splitlines():
        # "name type": for demangled names the type is the last field.
        fields = line.rstrip().rsplit(" ", 1)
        if len(fields) == 2:
            result.append((fields[0], fields[1]))
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--compiler", required=True)
    ap.add_argument("--sysroot", default="/")
    ap.add_argument("--nm", required=True)
    ap.add_argument("--list", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("objects", nargs="+")
    a = ap.parse_args()
    # CMake hands each object list over as one ;-separated argument.
    a.objects = [o for arg in a.objects for o in arg.split(";") if o]

    listed = read_list(a.list)
    vendor = set(listed.get("vendor", []))
    allowed = set(listed.get("linker", []))
    for lib in listed.get("runtime", []):
        path = find_library(lib, a.compiler, a.sysroot or "/")
        if not path:
            print(f"runtime library {lib} not found (compiler {a.compiler}, sysroot {a.sysroot})")
            return 1
        allowed |= defined_symbols(path, a.nm)

    run([a.compiler, "-r", "-nostdlib", "-o", a.out] + a.objects)
    undefined = undefined_symbols(a.out, a.nm)
    readable = undefined_symbols(a.out, a.nm, demangle=True)

    failures = []
    used_vendor = set()
    for (name, kind), (shown, _) in zip(undefined, readable):
        if name in vendor:
            used_vendor.add(name)
        elif name not in allowed:
            failures.append(f"  {shown}  ({name}, {kind})" if shown != name else f"  {name} ({kind})")

    with open(a.out, "rb") as f:
        image = f.read()
    if b"PANELD_ROOT" in image:
        failures.append("  the text PANELD_ROOT: a device-root lookup is left in the board build")

    print(f"{len(a.objects)} objects, {len(undefined)} undefined symbols, "
          f"{len(used_vendor)} of {len(vendor)} listed vendor operations used")
    unused = sorted(vendor - used_vendor)
    if unused:
        print("listed but not used: " + ", ".join(unused))
    if failures:
        print("not a listed vendor operation nor from a listed runtime library:")
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
