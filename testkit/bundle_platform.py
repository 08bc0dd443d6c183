"""The platform a bundle's modules need, read from their dynamic symbol versions.

    python testkit/bundle_platform.py TEMPLATE OUT MODULE.so...

Writes TEMPLATE to OUT with @GLIBC@ and @GLIBCXX@ replaced by the newest glibc and
libstdc++ symbol versions any module asks for (``objdump -T``), so the README states
the minimums of the modules it ships with, not of the machine that wrote it.
"""
from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

# libstdc++'s symbol version -> the GCC release that first shipped it (the ones our builds meet).
GLIBCXX_GCC = {"3.4.19": "4.8.3", "3.4.20": "4.9", "3.4.21": "5", "3.4.22": "6", "3.4.23": "7", "3.4.24": "8",
               "3.4.25": "9", "3.4.26": "9.2", "3.4.28": "10", "3.4.29": "11", "3.4.30": "12", "3.4.31": "13",
               "3.4.32": "13.2", "3.4.33": "14"}


def newest(modules: list[str], name: str) -> str:
    found = set()
    for module in modules:
        symbols = subprocess.run(["objdump", "-T", module], capture_output=True, text=True, check=True).stdout
        found.update(re.findall(rf"\b{name}_([0-9][0-9.]*)\b", symbols))
    if not found:
        raise SystemExit(f"no {name} symbol versions in {modules}")
    return max(found, key=lambda v: tuple(int(p) for p in v.split(".")))


def main(template: str, out: str, *modules: str) -> int:
    glibc, glibcxx = newest(list(modules), "GLIBC"), newest(list(modules), "GLIBCXX")
    gcc = GLIBCXX_GCC.get(glibcxx, "?")
    text = Path(template).read_text().replace("@GLIBC@", glibc).replace("@GLIBCXX@", f"from GCC {gcc} (GLIBCXX_{glibcxx})")
    Path(out).write_text(text)
    print(f"bundle platform: glibc {glibc}, libstdc++ GLIBCXX_{glibcxx}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
