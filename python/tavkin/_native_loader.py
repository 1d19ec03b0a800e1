"""Loads ``tavkin._native``, the package's compiled module, from the library file that
also holds the C exports and the ``velmarinthos_tavkin`` module. The loader maps that file
once, so the native API, the ctypes layer and any other user of the exports in the process
share the library's tables (contexts, compressors, fusion states). A wheel therefore
carries one library file and no links."""
from __future__ import annotations

import importlib.machinery
import sys
import types

import velmarinthos_tavkin as _extension

NAME = __package__ + "._native"


def load():
    if NAME in sys.modules:
        return sys.modules[NAME]
    loader = importlib.machinery.ExtensionFileLoader(NAME, _extension.__file__)
    # The extension loader reads only the module's name and the file it comes from.
    module = loader.create_module(types.SimpleNamespace(name=NAME, origin=_extension.__file__))
    sys.modules[NAME] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[NAME]
        raise
    return module
