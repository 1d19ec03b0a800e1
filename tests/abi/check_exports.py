"""Checks the shared library's dynamic symbol table: the defined functions are exactly the
expected exports, and CPython symbols are referenced only weakly (so C hosts without
Python can load the library)."""
import subprocess
import sys


def main(library: str, expected_file: str) -> int:
    with open(expected_file, encoding="utf-8") as f:
        expected = sorted(line.strip() for line in f if line.strip())
    out = subprocess.run(["nm", "-D", library], check=True, capture_output=True, text=True).stdout
    defined, strong_python = [], []
    for line in out.splitlines():
        parts = line.split()
        kind, name = parts[-2], parts[-1].split("@")[0]
        if kind in ("T", "D", "B", "R", "W", "V", "i") and len(parts) == 3:
            defined.append(name)
        if kind == "U" and (name.startswith("Py") or name.startswith("_Py")):
            strong_python.append(name)
    defined.sort()
    ok = True
    if defined != expected:
        print("unexpected:", sorted(set(defined) - set(expected)))
        print("missing:", sorted(set(expected) - set(defined)))
        ok = False
    if strong_python:
        print("CPython symbols referenced strongly:", strong_python)
        ok = False
    print("exports ok" if ok else "exports FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
