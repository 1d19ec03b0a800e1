"""The PEP 517 build backend of the repository: builds the shared library with CMake and
writes the wheel with the standard library alone.

The wheel holds the library once, as the ``velmarinthos_tavkin`` extension module (the
tavkin package loads its ``_native`` module from that same file), and the tavkin package
with its stubs. Settings, as ``--config-settings`` or environment variables:

- ``build-dir`` / ``TAVKIN_BUILD_DIR``: the CMake build directory. One already configured
  is only brought up to date (a no-op when it is), so a developer's build can be reused;
  a new one is configured as a Release build of the library alone. Default:
  ``build-wheel`` in the source tree.
- ``TAVKIN_CMAKE_ARGS``: further arguments for configuring a new build directory.
"""
from __future__ import annotations

import base64
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
DIST = "velmarinthos_tavkin"
SUMMARY = "Sensor-telemetry protocol core: compact facts, fused packets, and the tavkin Python API"


def _version() -> str:
    text = (SOURCE / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(velmarinthos_tavkin\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project VERSION in CMakeLists.txt")
    return match.group(1)


def _tag() -> str:
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    return f"{python}-{python}-{platform}"


def _metadata() -> str:
    return (f"Metadata-Version: 2.1\nName: velmarinthos-tavkin\nVersion: {_version()}\nSummary: {SUMMARY}\n"
            "Requires-Python: >=3.13,<3.14\n")


def _wheel_file() -> str:
    return f"Wheel-Version: 1.0\nGenerator: tavkin_build\nRoot-Is-Purelib: false\nTag: {_tag()}\n"


def _setting(config_settings: dict | None, name: str, env: str) -> str | None:
    value = (config_settings or {}).get(name)
    return value if value else os.environ.get(env) or None


def _run(command: list[str]) -> None:
    print("+", shlex.join(command), file=sys.stderr, flush=True)
    subprocess.run(command, check=True, stdout=sys.stderr)


def _build_library(config_settings: dict | None) -> Path:
    build_dir = Path(_setting(config_settings, "build-dir", "TAVKIN_BUILD_DIR") or SOURCE / "build-wheel")
    if not (build_dir / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        _run(["cmake", "-S", str(SOURCE), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
              "-DVM_BUILD_TESTS=OFF", "-DVM_BUILD_TOOLS=OFF", f"-DPython3_EXECUTABLE={sys.executable}",
              *shlex.split(os.environ.get("TAVKIN_CMAKE_ARGS", ""))])
    _run(["cmake", "--build", str(build_dir), "--target", "velmarinthos_tavkin", "-j", str(os.cpu_count() or 1)])
    library = build_dir / "lib" / "libvelmarinthos_tavkin.so"
    if not library.exists():
        raise RuntimeError(f"the build gave no {library}")
    return library


def _package_files() -> list[tuple[str, Path]]:
    package = SOURCE / "python" / "tavkin"
    files = []
    for path in sorted(package.iterdir()):
        if path.suffix in (".py", ".pyi") or path.name == "py.typed":
            files.append((f"tavkin/{path.name}", path))
    return files


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def _write_dist_info(wheel: zipfile.ZipFile, records: list[str]) -> None:
    info = f"{DIST}-{_version()}.dist-info"
    for name, text in (("METADATA", _metadata()), ("WHEEL", _wheel_file()),
                       ("top_level.txt", "tavkin\nvelmarinthos_tavkin\n")):
        data = text.encode("utf-8")
        wheel.writestr(f"{info}/{name}", data)
        records.append(_record_line(f"{info}/{name}", data))
    records.append(f"{info}/RECORD,,")
    wheel.writestr(f"{info}/RECORD", "\n".join(records) + "\n")


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = Path(metadata_directory) / f"{DIST}-{_version()}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (info / "WHEEL").write_text(_wheel_file(), encoding="utf-8")
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    library = _build_library(config_settings)
    module_name = "velmarinthos_tavkin" + sysconfig.get_config_var("EXT_SUFFIX")
    entries = [(module_name, library), *_package_files()]
    name = f"{DIST}-{_version()}-{_tag()}.whl"
    target = Path(wheel_directory) / name
    records: list[str] = []
    with zipfile.ZipFile(target, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for arcname, path in entries:
            data = path.read_bytes()
            info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if arcname == module_name else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            records.append(_record_line(arcname, data))
        _write_dist_info(wheel, records)
    return name


def build_sdist(sdist_directory, config_settings=None):
    import tarfile

    base = f"{DIST}-{_version()}"
    name = f"{base}.tar.gz"
    listed = subprocess.run(["git", "-C", str(SOURCE), "ls-files"], check=True, capture_output=True, text=True)
    with tarfile.open(Path(sdist_directory) / name, "w:gz") as sdist:
        for relative in listed.stdout.splitlines():
            path = SOURCE / relative
            if path.is_file():
                sdist.add(path, arcname=f"{base}/{relative}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        import io
        sdist.addfile(info, io.BytesIO(data))
    return name
