"""tavkin.Compressor and tavkin.decompose through the package: the worked example of
fact compression, unit codes at precision 2, lifecycle and errors; the package's
docstring examples run as doctests."""
import doctest
import gc
import threading
import unittest

import tavkin
from tavkin import Compressor

EXAMPLE_FACT = {
    "id": "node7", "s": "ONLINE", "timestamp": 1700000000.0,
    "readings": [{"id": "t1", "s": "OK", "v": 21.5, "u": "Celsius"},
                 {"id": "h", "s": "ok", "v": 1000.0, "u": "m/s2"},
                 {"id": "d", "s": "ok", "v": -0.125, "u": "1000m"}],
    "geohash": "hi", "url": "https://s1", "msg": "xyz",
}
EXAMPLE_TEXT = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6"


def example_compressor() -> Compressor:
    return Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"online": "1", "ok": "0"})


class CompressorTest(unittest.TestCase):
    def test_worked_example(self):
        with example_compressor() as c:
            self.assertEqual(c.compress(EXAMPLE_FACT), EXAMPLE_TEXT)

    def test_unit_codes_at_precision_2(self):
        # Unit codes with empty tables, from the protocol description.
        cases = {"1500W": "2q,daW", "2.5kW": "42,kW", "0.5mA": "O,mA", " m / s2 ": "m/s2", "2": "2",
                 "unknown": "Z", "": "Z", "info": "0,o", "2 km": "2, km"}
        with Compressor(precision=2) as c:
            for unit, code in cases.items():
                with self.subTest(unit=unit):
                    fact = {"id": "n", "s": "s", "timestamp": 0, "readings": [{"id": "r", "s": "", "v": 0, "u": unit}]}
                    self.assertEqual(c.compress(fact), f"n.s.AAAAAAAA|r>.{code}:0|")

    def test_optional_texts(self):
        with Compressor() as c:
            base = {"id": "n", "s": "s", "timestamp": 0, "readings": []}
            self.assertEqual(c.compress(base), "n.s.AAAAAAAA|")
            self.assertEqual(c.compress({**base, "geohash": "", "url": "https://", "msg": None}), "n.s.AAAAAAAA|&|#|")
            self.assertEqual(c.compress({**base, "url": "http://a"}), "n.s.AAAAAAAA|#aHR0cDovL2E|")

    def test_long_mapped_codes_fit(self):
        # A unit of many factors, each mapped to a long code: far longer than its record.
        with Compressor(units={"x": "y" * 500}) as c:
            fact = {"id": "n", "s": "s", "timestamp": 0, "readings": [{"id": "r", "s": "", "v": 1, "u": "x/" * 40 + "x"}]}
            self.assertEqual(c.compress(fact), "n.s.AAAAAAAA|r>." + "/".join(["y" * 500] * 41) + ":2Bi|")

    def test_bad_configuration_and_fact(self):
        with self.assertRaises(ValueError):
            Compressor(precision=19)
        with self.assertRaises(TypeError):
            Compressor(units={"x": 1})
        with Compressor() as c, self.assertRaisesRegex(TypeError, r"fact\['readings'\]\[0\]\['v'\] must be a number"):
            c.compress({"id": "n", "s": "s", "timestamp": 0, "readings": [{"id": "r", "s": "", "v": "1", "u": ""}]})

    def test_close_frees_the_handle_once(self):
        c = example_compressor()
        handle = c.handle
        c.close()
        c.close()
        self.assertTrue(c.closed)
        self.assertEqual(tavkin._lib.lib.vm_compressor_free_v1(handle), 0)
        with self.assertRaisesRegex(tavkin.TavkinError, "closed"):
            c.compress(EXAMPLE_FACT)
        c = example_compressor()
        handle = c.handle
        del c
        gc.collect()
        self.assertEqual(tavkin._lib.lib.vm_compressor_free_v1(handle), 0)

    def test_threads_share_one_compressor(self):
        results = []
        with example_compressor() as c:
            def work():
                results.extend(c.compress(EXAMPLE_FACT) for _ in range(200))
            threads = [threading.Thread(target=work) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        self.assertEqual(results, [EXAMPLE_TEXT] * 800)


class DecomposeTest(unittest.TestCase):
    def test_worked_example(self):
        d = tavkin.decompose("305419896;" + EXAMPLE_TEXT)
        self.assertEqual(d.ts, b"AYvP5WgA")
        self.assertEqual(d.sig, b"node7.1.{TS}|t1>\x01:\x01|h>\x01:\x01|d>\x01:\x01|&hi|#czE|@eHl6|")
        self.assertEqual(d.values, [b"0.c1", b"yG", b"0.m/s2", b"q0U", b"0.1,km", b"-c"])

    def test_texts_that_grow_when_decomposed(self):
        text = "a.b.|" + ">:|" * 1000  # each three bytes become a five-byte segment and two empty values
        d = tavkin.decompose(text)
        self.assertEqual(len(d.values), 2000)
        self.assertEqual(d.sig, b"a.b.{TS}|" + b">\x01:\x01|" * 1000)

    def test_refusals(self):
        for text in ("a.b.T", "ab|x", ""):
            with self.subTest(text=text), self.assertRaises(ValueError):
                tavkin.decompose(text)


def load_tests(loader, tests, ignore):
    import tavkin.compressor
    tests.addTests(doctest.DocTestSuite(tavkin))
    tests.addTests(doctest.DocTestSuite(tavkin.compressor))
    return tests


if __name__ == "__main__":
    unittest.main()
