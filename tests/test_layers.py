"""Each layer of the product includes only itself and the layers below it:
tools -> formats -> machine -> pnp -> pcibus -> pci -> nt; platform never includes hotpsim's views."""
import re
import sys
from pathlib import Path

ORDER = ["nt", "pci", "pcibus", "pnp", "machine", "formats", "views"]
ROOT = Path(__file__).resolve().parents[1]


def layer(path):
    parts = path.relative_to(ROOT).parts
    return "views" if parts[0] == "tools" else parts[1]


def main():
    wrong = []
    files = [p for d in ("platform", "tools") for p in (ROOT / d).rglob("*")
             if p.suffix in (".cpp", ".hpp", ".h", ".in") and p.parts[-2] != "data"]
    for path in files:
        own = ORDER.index(layer(path))
        for included in re.findall(r'#include [<"]([\w/]+)/[\w.]+[>"]', path.read_text()):
            if included in ORDER and ORDER.index(included) > own:
                wrong.append(f"{path.relative_to(ROOT)} includes {included}/, a layer above it")
    print("\n".join(wrong) or f"{len(files)} files, every include downward")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
