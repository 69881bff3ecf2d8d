#!/usr/bin/env python3
"""Front ends reach the site through the view alone.

Every file of a front end folder (and the console front end of the runner)
may include the view, the JSON helpers, its own folder and outside libraries,
but nothing of the host below the view: site/, store/, line/, wire/ or the
plug-in's interface. Their CMake targets link the view, never qmx_site.
Exit 1 with every offending line.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1])
FRONT_ENDS = ["host/src/web", "host/src/mqtt", "host/src/snmp", "host/src/remote_write",
              "host/src/notify", "host/src/modbus"]
# The runner's list of front ends and their settings.
REGISTERED = ["apps/runner/front_ends"]
# Further front ends of the runner (the console) named by file.
EXTRA = ["apps/runner/report.h", "apps/runner/report.cpp"]
BELOW = re.compile(r'#\s*include\s*[<"](site|store|line|wire|qmx|controller|units)/')
LINKS = re.compile(r"target_link_libraries\(([^)]*)\)", re.S)

problems = []
files = []
for d in FRONT_ENDS:
    files += sorted(p for p in (ROOT / d).rglob("*") if p.suffix in (".h", ".cpp", ".inl"))
files += [ROOT / f for f in EXTRA if (ROOT / f).exists()]
for d in REGISTERED:
    files += sorted(p for p in (ROOT / d).rglob("*") if p.suffix in (".h", ".cpp"))
if len(files) < 10:
    problems.append(f"only {len(files)} front-end files found under {ROOT}: wrong root?")
for f in files:
    for n, line in enumerate(f.read_text(errors="replace").splitlines(), 1):
        if BELOW.search(line):
            problems.append(f"{f.relative_to(ROOT)}:{n}: {line.strip()}")
for d in FRONT_ENDS:
    cm = ROOT / d / "CMakeLists.txt"
    for m in LINKS.finditer(cm.read_text()):
        if re.search(r"\bqmx_(site|store|line|wire)\b", m.group(1)):
            problems.append(f"{cm.relative_to(ROOT)}: links below the view: {m.group(0)}")
for p in problems:
    print(p)
sys.exit(1 if problems else 0)
