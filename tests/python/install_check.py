"""Installs the package with `pip install --no-index <source>` into a fresh venv made from
this interpreter, then imports it from a directory outside the source tree with no
sys.path edits and sends and receives a fact. Usage: install_check.py SOURCE BUILD_DIR WORK_DIR
(BUILD_DIR: an already built tree, which the build backend only brings up to date)."""
import os
import shutil
import subprocess
import sys
import venv

CHECK = r"""
import pathlib, sys, tavkin, velmarinthos_tavkin
for module in (tavkin, velmarinthos_tavkin):
    assert pathlib.Path(module.__file__).resolve().is_relative_to(pathlib.Path(sys.prefix).resolve()), module.__file__
assert velmarinthos_tavkin.abi_info_py() == "velmarinthos_tavkin c-api+pyo3"
comp = tavkin.Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"ok": "0"})
fact = {"id": "n1", "s": "ok", "timestamp": 1700000000,
        "readings": [{"id": "t", "s": "ok", "v": 21.5, "u": "Celsius"}]}
packet = tavkin.Sender(comp, ctx_id=10).send(fact, aid=1001)
answer = tavkin.Receiver(ctx_id=20).receive(packet)
assert answer["s1_v"] == 0.215 and answer["__packet_meta__"]["source_aid"] == 1001, answer
assert tavkin.Context(20).decompress(tavkin.Context(10).run(comp.compress(fact), src_aid=1001))["s1_v"] == 0.215
typed = pathlib.Path(tavkin.__file__).with_name("py.typed")
assert typed.exists() and typed.with_name("_native.pyi").exists()
print("installed tavkin works from", pathlib.Path.cwd())
"""


def main(source: str, build_dir: str, work: str) -> int:
    shutil.rmtree(work, ignore_errors=True)
    env_dir = os.path.join(work, "venv")
    venv.create(env_dir, with_pip=True)
    python = os.path.join(env_dir, "bin", "python")
    env = dict(os.environ, TAVKIN_BUILD_DIR=build_dir, PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", source], check=True, env=env)
    outside = os.path.join(work, "elsewhere")
    os.makedirs(outside)
    subprocess.run([python, "-c", CHECK], check=True, env=env, cwd=outside)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
