"""The tavkin package's codecs and byte records: values from the protocol's worked
examples, checked through the package (and so through ctypes into the library)."""
import pathlib
import re
import struct
import unittest

import tavkin
from tavkin import _native, _records

HEARTBEAT = bytes.fromhex("7f01" "12345678" "18" "018bcfe56800" "00" "5fe7")


class WireTest(unittest.TestCase):
    def test_version_and_checksums(self):
        self.assertEqual(tavkin.version(), "velmarinthos_tavkin/0.1.0")
        self.assertEqual(tavkin.crc16(b"123456789"), 0x29B1)
        self.assertEqual(tavkin.crc16(HEARTBEAT[:-2]), 0x5FE7)
        self.assertEqual(tavkin.crc8(b""), 0x00)

    def test_base62(self):
        for value, text in ((0, "0"), (61, "Z"), (62, "10"), (2**63 - 1, "aZl8N0y58M7"), (-2**63, "-aZl8N0y58M8")):
            with self.subTest(value=value):
                self.assertEqual(tavkin.b62_encode(value), text)
                self.assertEqual(tavkin.b62_decode(text), value)
        with self.assertRaises(ValueError):
            tavkin.b62_decode("1!")

    def test_commands(self):
        self.assertEqual([tavkin.is_data_command(c) for c in (62, 63, 64, 65, 171, 172)],
                         [False, True, True, False, True, False])
        self.assertEqual(tavkin.normalize_command(tavkin.Command.DATA_DIFF_SEC), tavkin.Command.DATA_DIFF)
        self.assertEqual(tavkin.secure_variant(127), 128)
        self.assertEqual(tavkin.secure_variant(5), 5)

    def test_out_of_range_integers_raise_instead_of_wrapping(self):
        cases = [
            (tavkin.is_data_command, (319,)), (tavkin.is_data_command, (-1,)), (tavkin.is_data_command, (True,)),
            (tavkin.normalize_command, (256,)), (tavkin.secure_variant, (63.0,)),
            (tavkin.b62_encode, (2**64 + 5,)), (tavkin.b62_encode, (2**63,)), (tavkin.b62_encode, (-2**63 - 1,)),
            (tavkin.crc16, (b"", 0x11021)), (tavkin.crc16, (b"", 0x1021, -1)),
            (tavkin.crc8, (b"", 0x107)), (tavkin.crc8, (b"", 0x07, 256)),
        ]
        for function, args in cases:
            with self.subTest(function=function.__name__, args=args):
                with self.assertRaises(ValueError):
                    function(*args)
        # The edges of each range still pass.
        self.assertEqual((tavkin.secure_variant(0), tavkin.secure_variant(255)), (0, 255))
        self.assertEqual((tavkin.crc8(b"", 0xFF, 0xFF), tavkin.crc16(b"", 0xFFFF, 0xFFFF)), (0xFF, 0xFFFF))

    def test_packet_bound_is_the_headers(self):
        header = pathlib.Path(__file__).resolve().parents[2] / "include" / "velmarinthos_tavkin.h"
        match = re.search(r"#define VM_PACKET_BOUND\(text_len\) \(\(size_t\)\(text_len\) \+ (\d+)u\)",
                          header.read_text())
        self.assertIsNotNone(match)
        self.assertEqual(_native.packet_bound(100), 100 + int(match.group(1)))

    def test_parse_header(self):
        h = tavkin.parse_header(HEARTBEAT)
        self.assertEqual((h.cmd, h.base_cmd, h.secure, h.route_count, h.tid_offset),
                         (127, 127, False, 1, 6))
        self.assertEqual((h.source_aid, h.tid, h.timestamp_raw, h.crc16_ok), (305419896, 24, 1700000000000, True))
        damaged = bytearray(HEARTBEAT)
        damaged[8] ^= 1
        self.assertFalse(tavkin.parse_header(bytes(damaged)).crc16_ok)
        with self.assertRaises(ValueError):
            tavkin.parse_header(HEARTBEAT[:15])


class RecordTest(unittest.TestCase):
    def test_config_record(self):
        self.assertEqual(_records.config_record(0, False, {}, {}), bytes(13))
        self.assertEqual(_records.config_record(2, True, {"KM": "a"}, {}),
                         b"\0\0\0\x02\x01" b"\0\0\0\x01" b"\0\0\0\x02KM" b"\0\0\0\x01a" b"\0\0\0\0")
        for bad in (19, -1, 2.0, True):
            with self.subTest(precision=bad), self.assertRaises(ValueError):
                _records.config_record(bad, False, {}, {})

    def test_fact_record_field_by_field(self):
        fact = {"id": "n", "s": "ok", "timestamp": 1, "readings": [{"id": "t", "s": "", "v": -2, "u": "C"}],
                "url": "u", "msg": None}
        self.assertEqual(_records.fact_record(fact),
                         b"\0\0\0\x01n" b"\0\0\0\x02ok" + struct.pack(">d", 1.0) + b"\0\0\0\x01"
                         b"\0\0\0\x01t" b"\0\0\0\0" + struct.pack(">d", -2.0) + b"\0\0\0\x01C"
                         b"\xff\xff\xff\xff" b"\0\0\0\x01u" b"\xff\xff\xff\xff")

    def test_bad_facts_are_named(self):
        good = {"id": "n", "s": "ok", "timestamp": 1, "readings": []}
        cases = [
            ({**good, "id": 5}, TypeError, "fact['id'] must be a str"),
            ({**good, "timestamp": "1"}, TypeError, "fact['timestamp'] must be a number"),
            ({**good, "timestamp": True}, TypeError, "must be a number"),
            ({k: v for k, v in good.items() if k != "readings"}, ValueError, "needs 'readings'"),
            ({**good, "readings": [{"id": "t", "s": "", "v": 1}]}, ValueError, "readings'][0] needs exactly"),
            ({**good, "readings": "x"}, TypeError, "list of dicts"),
            ({**good, "geohsah": "x"}, ValueError, "unknown fact keys: geohsah"),
            ({**good, "msg": b"x"}, TypeError, "fact['msg'] must be a str"),
        ]
        for fact, error, message in cases:
            with self.subTest(message=message), self.assertRaisesRegex(error, message.replace("[", r"\[")):
                _records.fact_record(fact)

    def test_batch_answer_and_decision(self):
        answer = b"\0\0\0\x03" b"\0\0\0\x02ab" b"\0\0\0\0"  # third entry missing: input ended early
        self.assertEqual(_records.batch_answer(answer), [b"ab", None, None])
        self.assertEqual(_records.decision(b"\xaa\0\0\0\x18\x02\0\0\0\x03xyz"), (170, 24, 2, b"xyz"))


if __name__ == "__main__":
    unittest.main()
