#!/usr/bin/env python3
"""Every include of src/ runs downwards: a folder may include its own files and the floors below it."""
import pathlib
import re
import sys

# Each folder with the folders it may include from.
BELOW = {
    "platform": set(),
    "base": {"platform"},
    "net": {"base", "platform"},
    "game": {"base", "platform"},
    "update": {"net", "base", "platform"},
    "addon": {"net", "base", "platform"},
    "bridge": {"net", "base", "platform"},
    # What both windows decide alike, without a window.
    "shell": {"bridge", "game", "update", "addon", "net", "base", "platform"},
    # The two windows: Qt's and the Windows one on WebView2.
    "app": {"shell", "bridge", "game", "update", "addon", "net", "base", "platform"},
    "win": {"shell", "bridge", "game", "update", "addon", "net", "base", "platform"},
}

src = pathlib.Path(sys.argv[1])
wrong = []
for path in sorted(src.rglob("*")):
    if path.suffix not in {".h", ".cpp"}:
        continue
    floor = path.relative_to(src).parts[0]
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        m = re.match(r'\s*#\s*include\s+"([a-z]+)/', line)
        if m and m.group(1) != floor and m.group(1) not in BELOW.get(floor, set()):
            wrong.append(f"{path.relative_to(src)}:{number}: {line.strip()}")
print("\n".join(wrong) or "every include runs downwards")
sys.exit(1 if wrong else 0)
