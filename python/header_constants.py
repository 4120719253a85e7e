"""Writes the package's copy of the library header's constants (session states, start codes, limits, error
texts), so the header stays the one place they are written: python3 header_constants.py HEADER OUT"""
import re
import sys

header, out = sys.argv[1], sys.argv[2]
text = re.sub(r"\\\n", " ", open(header, encoding="utf-8").read())  # join continued lines
lines = ['"""The library header\'s constants, made from it when the package is built. Do not edit."""', ""]
for name, value in re.findall(r"^#define AE_([A-Z0-9_]+)[ \t]+(.+?)[ \t]*(?:/\*.*)?$", text, re.M):
    if name in ("API", "CALL") or name.startswith("BUILDING"):
        continue
    if name == "INPUT_TEXTS":
        value = "(" + ", ".join(v.strip().removeprefix("AE_") for v in value.split(",")) + ",)"
    elif not re.fullmatch(r'\(?-?\d+\)?|"[^"\\]*"', value):
        sys.exit(f"header_constants: cannot read #define AE_{name} {value}")
    lines.append(f"{name} = {value}")
open(out, "w", encoding="utf-8").write("\n".join(lines) + "\n")
