"""The extension module: its one function, its public names, and the C exports reached
through ctypes from the same loaded file."""
import ctypes
import unittest

import velmarinthos_tavkin as vt


class ModuleTest(unittest.TestCase):
    def test_public_names(self):
        public = sorted(n for n in dir(vt) if not n.startswith("_"))
        self.assertEqual(public, ["abi_info_py"])
        self.assertEqual(vt.__all__, ["abi_info_py"])
        self.assertIsInstance(vt.__all__, list)
        self.assertEqual(vt.abi_info_py.__module__, "velmarinthos_tavkin")
        self.assertIsNone(vt.__doc__)
        self.assertEqual(vt.abi_info_py.__text_signature__, "()")

    def test_abi_info(self):
        text = vt.abi_info_py()
        self.assertIs(type(text), str)
        self.assertEqual(text, "velmarinthos_tavkin c-api+pyo3")
        self.assertEqual(len(text), 30)
        self.assertEqual(vt.abi_info_py(), text)

    def test_takes_no_arguments(self):
        with self.assertRaises(TypeError):
            vt.abi_info_py(1)
        with self.assertRaises(TypeError):
            vt.abi_info_py(x=1)

    def test_c_exports_in_the_same_file(self):
        lib = ctypes.CDLL(vt.__file__)
        buf = ctypes.create_string_buffer(32)
        self.assertEqual(lib.vm_tavkin_version(buf, ctypes.c_size_t(32)), 1)
        self.assertEqual(buf.value, b"velmarinthos_tavkin/0.1.0")
        lib.vm_crc16_ccitt_pub.restype = ctypes.c_uint16
        lib.vm_crc16_ccitt_pub.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint16, ctypes.c_uint16]
        self.assertEqual(lib.vm_crc16_ccitt_pub(b"123456789", 9, 0x1021, 0xFFFF), 0x29B1)


class SubinterpreterTest(unittest.TestCase):
    def test_import_in_a_subinterpreter_fails(self):
        try:
            import _interpreters
        except ImportError:
            self.skipTest("no _interpreters module")
        for config in ("legacy", "isolated"):
            with self.subTest(config=config):
                interp = _interpreters.create(config)
                try:
                    err = _interpreters.exec(interp, "import velmarinthos_tavkin")
                finally:
                    _interpreters.destroy(interp)
                self.assertIsNotNone(err, "import succeeded in a subinterpreter")
                self.assertEqual(err.type.__name__, "ImportError")


if __name__ == "__main__":
    unittest.main()
