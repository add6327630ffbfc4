#!/usr/bin/env python3
"""Writes the WiX sources of the benchmark's products.

    make_products.py OUT_DIR COUNT

Product i (0-based) of COUNT is made by Velorantix when i is even and by
another maker when i is odd, so half of them match.  The makers and names
vary in the case and the place of the maker's name, to give the match a
little work.  Every product gets its own product, upgrade and component code
(name-based UUIDs, so reruns build the same packages).  Writes
OUT_DIR/pNNN.wxs and one shared OUT_DIR/readme.txt (named relative to
OUT_DIR, so wixl must run there), and prints one line per package: its base
name.
"""
import sys
import uuid
from pathlib import Path
from xml.sax.saxutils import escape

NAMESPACE = uuid.UUID("6d1c8a52-3f0e-4b7c-9a51-2f6f0f8b1e07")

VX_MAKERS = ["Velorantix", "Velorantix GmbH", "VELORANTIX Software", "velorantix labs"]
VX_NAMES = ["Velorantix Agent", "Velorantix Sync Client", "Tools by Velorantix",
            "VeloRantix Updater"]
OTHER_MAKERS = ["Contoso Ltd.", "Fabrikam, Inc.", "Northwind Traders", "Adventure Works"]
OTHER_NAMES = ["Contoso Viewer", "Fabrikam Backup", "Northwind Reports", "Velo Rantix Look-alike"]


def guid(kind: str, i: int) -> str:
    return "{" + str(uuid.uuid5(NAMESPACE, f"{kind}-{i}")).upper() + "}"


def main() -> None:
    out = Path(sys.argv[1])
    count = int(sys.argv[2])
    template = (Path(__file__).resolve().parent / "product.wxs.in").read_text(encoding="utf-8")
    out.mkdir(parents=True, exist_ok=True)
    payload = out / "readme.txt"
    payload.write_text("benchmark payload\n", encoding="utf-8")
    for i in range(count):
        vx = i % 2 == 0
        k = (i // 2) % 4
        maker = VX_MAKERS[k] if vx else OTHER_MAKERS[k]
        name = (VX_NAMES[k] if vx else OTHER_NAMES[k]) + f" {i:03d}"
        fields = {
            "PRODUCT_CODE": guid("product", i),
            "UPGRADE_CODE": guid("upgrade", i),
            "COMPONENT_GUID": guid("component", i),
            "NAME": name,
            "MANUFACTURER": maker,
            "SERIAL": str(i),
            "INSTALL_DIR": f"Bench{i:03d}",
            "PAYLOAD": payload.name,
        }
        text = template
        for key, value in fields.items():
            text = text.replace(f"@{key}@", escape(value, {'"': "&quot;"}))
        (out / f"p{i:03d}.wxs").write_text(text, encoding="utf-8")
        print(f"p{i:03d}")


if __name__ == "__main__":
    main()
