"""The Python host module against the device at $PANELHOST_DEVICE."""
import os
import re
import struct
import unittest

import panelhost
from panelhost import Panel, PanelError

DEVICE = os.environ["PANELHOST_DEVICE"]
DOC = os.path.join(os.environ["PANELD_SOURCE_DIR"], "docs", "protocol.md")


def doc_dump(marker):
    """offset -> byte of the hex dump that follows `marker` in the document."""
    text = open(DOC, encoding="utf-8").read()
    block = text[text.index(marker):].split("```")[1]
    out = {}
    for m in re.finditer(r"^([0-9a-f]{3}):((?: [0-9a-f]{2})+)", block, re.M):
        for i, b in enumerate(m.group(2).split()):
            out[int(m.group(1), 16) + i] = int(b, 16)
    return out


class Packets(unittest.TestCase):
    def test_encode_gives_the_documented_packet(self):
        doc = doc_dump("<!-- example: command 10 -->")
        pkt = panelhost.encode(10, tag=0x01020304)
        self.assertEqual(bytes(doc.get(i, 0) for i in range(512)), pkt)

    def test_decode_undoes_encode_and_rejects_what_the_device_drops(self):
        params = bytes(range(40))
        plain = panelhost.decode(panelhost.encode(51, params, tag=7))
        self.assertEqual(plain[:8], bytes([51, 0, 0x1A, 0x6D, 0, 0, 0, 7]))
        self.assertEqual(plain[8:48], params)
        good = panelhost.encode(10)
        for name, bad in [("trailer", good[:511] + b"\0"),
                          ("short", good[:500]),
                          ("ciphertext", bytes(504) + good[504:])]:
            self.assertIsNone(panelhost.decode(bad), name)


class Device(unittest.TestCase):
    def setUp(self):
        self.p = Panel(DEVICE)

    def tearDown(self):
        self.p.close()

    def test_identity_and_queries(self):
        self.assertEqual(self.p.identity(), "pavrotek5_0001_2026091101")
        self.assertEqual(self.p.exchange(17)[8:12], struct.pack("<I", 4096))
        self.assertEqual(self.p.storage(), (0, 0, 0))

    def test_files(self):
        data = os.urandom(1500000)
        self.p.upload("/usr/data/from_python.bin", data)
        self.assertEqual(self.p.file_size("/usr/data/from_python.bin"), len(data))
        self.assertIn("from_python.bin/", self.p.list("/usr/data"))
        self.p.upload("/tmp/gone.bin", b"x")
        self.p.delete("/tmp/gone.bin")
        self.assertEqual(self.p.file_size("/tmp/gone.bin"), 0)
        with self.assertRaises(PanelError):
            self.p.upload("/no/such/dir/f", b"x")

    def test_take_over_frees_the_panel(self):
        self.p.take_over()
        self.assertEqual(self.p.standby_stop(), (0xFF, 0xFF))
        self.assertFalse(self.p.local_playing())
        self.assertEqual(self.p.queue_status()[:3], (0, 0, 0))

    def test_values_that_cannot_work_are_refused_before_sending(self):
        for call in [lambda: self.p.brightness(101),
                     lambda: self.p.h264_block(2, 2, 1, b""),
                     lambda: self.p.exchange(101, payload=bytes(panelhost.BULK_MAX + 1)),
                     lambda: self.p.file_size("x" * 600),
                     lambda: panelhost.encode(10, bytes(panelhost.PARAMS_MAX + 1))]:
            with self.assertRaises(ValueError):
                call()
        self.assertEqual(self.p.identity(), "pavrotek5_0001_2026091101")


if __name__ == "__main__":
    unittest.main(verbosity=2)
