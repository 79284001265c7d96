#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that the manual pages in man/ agree with the library.

- every page (sections 1, 3 and 7) renders without a groff warning and names
  the version of the project() call in CMakeLists.txt;
- every function of include/chronels.h has a page, its own or a .so link to
  an existing one, and its synopsis line is the header's prototype;
- every function is in the ATTRIBUTES table of the page that describes it,
  and in the list and SEE ALSO of the overview, chronels(7), which every
  function page names in its own SEE ALSO;
- every function that returns a value is in the ERRORS section of its page,
  and every errno value the library sets itself is listed in one;
- every function is in one version node of src/chronels.map, and one added
  after the first node is named with its node in the VERSIONS sections of
  its page and of chronels(7);
- every logged text of src/chronels_ru.cpp is listed in a page, and every
  text a page lists is one the library logs;
- every example program compiles cleanly against the header, as C and as C++.
Run from anywhere: check-man.py [source dir]. Exits 1 on any mismatch.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
man = os.path.join(root, "man")
faults = []


def unroff(text):
    """Plain text of a roff line: font escapes and quoting gone."""
    text = re.sub(r"\\f[BIRP]", "", text)
    return text.replace(r"\-", "-").replace(r"\e", "\\").replace(r"\%", "").replace(r"\(aq", "'")


def macro_args(line):
    """The words of a macro line as printed: .B puts spaces between them,
    the alternating-font macros (.BI, .IR, ...) none."""
    macro, _, body = line.partition(" ")
    words = [w[1:-1] if w.startswith('"') else w for w in re.findall(r'"[^"]*"|\S+', body)]
    return (" " if macro in (".B", ".I") else "").join(words)


def section(text, title):
    """The body of section .SH title, empty when the page has none."""
    return text.split(f".SH {title}\n")[1].split("\n.SH ")[0] if f".SH {title}\n" in text else ""


pages = {os.path.basename(p)[:-2]: open(p).read() for p in sorted(glob.glob(os.path.join(man, "*.3")))}
full = {name: text for name, text in pages.items() if not text.startswith(".so ")}
others = {os.path.basename(p): open(p).read() for p in sorted(glob.glob(os.path.join(man, "*.[17]")))}
overview = others.get("chronels.7")
if overview is None:
    faults.append("chronels.7: no overview page")
# The version is set once, in project(); the pages' footers must say the same.
version = re.search(r"^project\(\s*chronels\s+VERSION\s+([0-9.]+)", open(os.path.join(root, "CMakeLists.txt")).read(), re.M)
if not version:
    faults.append("CMakeLists.txt: no project(chronels VERSION ...) to check the pages against")
for name, text in [(n + ".3", t) for n, t in full.items()] + list(others.items()):
    th = re.search(r'^\.TH \S+ \S+ \S+ "([^"]*)"', text, re.M)
    if version and (not th or th.group(1) != f"libchronels {version.group(1)}"):
        faults.append(f"{name}: .TH names '{th.group(1) if th else ''}', not libchronels {version.group(1)}")
for name, text in others.items():
    run = subprocess.run(["groff", "-man", "-ww", "-z", "-t"], input=text, capture_output=True, text=True)
    if run.returncode != 0 or run.stderr:
        faults.append(f"{name}: groff says: {run.stderr.strip()}")

for name, text in pages.items():
    if text.startswith(".so "):
        target = text.split()[1]
        if not re.fullmatch(r"man3/[a-z_]+\.3", target) or os.path.basename(target)[:-2] not in full:
            faults.append(f"{name}.3: links to {target}, which is not a page here")
        elif name not in full[os.path.basename(target)[:-2]].split(".SH SYNOPSIS")[1].split(".SH")[0]:
            faults.append(f"{name}.3: not in the synopsis of {target}")
        continue
    run = subprocess.run(["groff", "-man", "-ww", "-z", "-t"], input=text, capture_output=True, text=True)
    if run.returncode != 0 or run.stderr:
        faults.append(f"{name}.3: groff says: {run.stderr.strip()}")

# Synopsis lines, joined where a prototype goes on over two lines.
synopsis = {}
for name, text in full.items():
    lines = text.split(".SH SYNOPSIS")[1].split(".SH")[0].splitlines()
    pending = ""
    for line in lines:
        if not line.startswith((".B ", ".BI ")):
            continue
        pending += (" " if pending else "") + macro_args(line).strip()
        if pending.endswith(";") or pending.startswith("#"):
            m = re.search(r"\b(chronel_\w+)\(", pending)
            if m:
                synopsis[m.group(1)] = (name, " ".join(pending.split()))
            pending = ""

header = open(os.path.join(root, "include", "chronels.h")).read()
for proto in re.findall(r"^(?:int|void) chronel_\w+\([^;]*\);", header, re.M):
    fn = re.search(r"(chronel_\w+)\(", proto).group(1)
    if fn not in pages:
        faults.append(f"{fn}: no page (man/{fn}.3)")
    if fn not in synopsis:
        faults.append(f"{fn}: in no synopsis")
    elif synopsis[fn][1] != " ".join(proto.split()):
        faults.append(f"{fn}: {synopsis[fn][0]}.3 has '{synopsis[fn][1]}', the header '{proto}'")

# Attributes and cross references: each function in the ATTRIBUTES table of
# the page whose synopsis has it, and in the overview's list and SEE ALSO.
for fn, (name, _) in synopsis.items():
    if f".BR {fn} ()" not in section(full[name], "ATTRIBUTES"):
        faults.append(f"{fn}: not in the ATTRIBUTES of {name}.3")
    if overview is not None:
        for title in ("DESCRIPTION", "SEE ALSO"):
            if f".BR {fn} (3)" not in section(overview, title):
                faults.append(f"{fn}: not in the {title} of chronels.7")
for name, text in full.items():
    if ".BR chronels (7)" not in section(text, "SEE ALSO"):
        faults.append(f"{name}.3: chronels(7) not in its SEE ALSO")

# errno: each function that returns a value has its failures in ERRORS, and
# each value the library sets itself (fail(E...), errno = E..., the error
# posted back by the timer thread) is explained in some ERRORS section; the
# values of failed system calls are the system's to document.
source = open(os.path.join(root, "src", "chronels_ru.cpp")).read()
for fn, (name, proto) in synopsis.items():
    if proto.startswith("int ") and f".BR {fn} ()" not in section(full[name], "ERRORS"):
        faults.append(f"{fn}: not in the ERRORS of {name}.3")
errors = "".join(section(text, "ERRORS") for text in full.values())
for e in sorted(set(re.findall(r"\b(?:fail\(|errno = |error = )(E[A-Z0-9]+)\b", source))):
    if f".B {e}\n" not in errors:
        faults.append(f"{e}: set by the library, in no ERRORS section")

# Version nodes: NAME { global: ...; } in the order written, the first being
# the library's first release. Functions of a later node must say since when.
nodes = {}
for node, body in re.findall(r"^(CHRONELS_[0-9.]+) \{(.*?)^\}", open(os.path.join(root, "src", "chronels.map")).read(), re.M | re.S):
    for fn in re.findall(r"^\s*(chronel_\w+);", body, re.M):
        nodes.setdefault(fn, []).append(node)
first = min((n[0] for n in nodes.values()), key=lambda v: [int(x) for x in v.split("_")[1].split(".")], default=None)
for fn, (name, _) in synopsis.items():
    if len(nodes.get(fn, [])) != 1:
        faults.append(f"{fn}: in {len(nodes.get(fn, []))} version nodes of src/chronels.map, not one")
    elif nodes[fn][0] != first:
        node = nodes[fn][0]
        if node not in section(full[name], "VERSIONS"):
            faults.append(f"{fn}: {name}.3 has no VERSIONS section naming {node}")
        if overview is not None and (node not in section(overview, "VERSIONS")
                                     or f".BR {fn} (3)" not in section(overview, "VERSIONS")):
            faults.append(f"{fn}: not named with {node} in the VERSIONS of chronels.7")

# Logged texts: the format of each LOG call, without its newline.
logged = {m.replace("\\n", "") for m in re.findall(r'\bLOG\("((?:[^"\\]|\\.)*)"', source)}
listed = set()
for text in full.values():
    diag = text.split(".SH DIAGNOSTICS")[1].split(".SH")[0] if ".SH DIAGNOSTICS" in text else ""
    listed |= {unroff(m) for m in re.findall(r'^\.B "(.*)"$', diag, re.M)}
for body in sorted(logged - listed):
    faults.append(f"logged but in no page: '{body}'")
for body in sorted(listed - logged):
    faults.append(f"in a page but never logged: '{body}'")

# Examples: every .EX block with a main() must compile as C and as C++.
with tempfile.TemporaryDirectory() as tmp:
    for name, text in [(n + ".3", t) for n, t in full.items()] + list(others.items()):
        for i, block in enumerate(re.findall(r"^\.EX\n(.*?)^\.EE", text, re.M | re.S)):
            if "int main" not in block:
                continue
            src = os.path.join(tmp, f"{name.replace('.', '_')}_{i}.c")
            open(src, "w").write(unroff(block))
            for compiler in (["cc", "-std=c11"], ["c++", "-x", "c++", "-std=c++17"]):
                run = subprocess.run(compiler + ["-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                                                 "-I", os.path.join(root, "include"), src], capture_output=True, text=True)
                if run.returncode != 0:
                    faults.append(f"{name}: example {i} does not compile with {compiler[0]}:\n{run.stderr}")

for f in faults:
    print("check-man:", f)
print(f"check-man: {len(pages) + len(others)} pages, {len(synopsis)} prototypes, {len(logged)} log texts: "
      + ("FAILED" if faults else "ok"))
sys.exit(1 if faults else 0)
