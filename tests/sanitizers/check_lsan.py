"""Fails when LeakSanitizer's reports name the plug-in module in a leak's
allocation stack. The interpreter and the libraries it loads keep some memory
until exit by design; leaks are only ours when our code allocated them."""
import pathlib
import re
import sys

MODULE = re.compile(r"Tavelin\.cpython|/plugin/Tavelin/")


def main(log_dir):
    ours = []
    logs = sorted(pathlib.Path(log_dir).glob("log*"))
    for log in logs:
        for block in log.read_text(errors="replace").split("\n\n"):
            if ("Direct leak" in block or "Indirect leak" in block) and MODULE.search(block):
                ours.append(f"{log.name}:\n{block}")
    print(f"LeakSanitizer: {len(logs)} report(s) read, {len(ours)} leak(s) allocated by the plug-in")
    for b in ours[:20]:
        print(b)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
