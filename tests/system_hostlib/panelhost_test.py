"""The Python host module against the device at $PANELHOST_DEVICE."""
import os
import re
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


class PythonModule(unittest.TestCase):
    def test_packets_as_documented_and_what_the_device_drops_refused(self):
        doc = doc_dump("<!-- example: command 10 -->")
        pkt = panelhost.encode(10, tag=0x01020304)
        self.assertEqual(bytes(doc.get(i, 0) for i in range(512)), pkt)
        params = bytes(range(40))
        plain = panelhost.decode(panelhost.encode(51, params, tag=7))
        self.assertEqual(plain[:48], bytes([51, 0, 0x1A, 0x6D, 0, 0, 0, 7]) + params)
        good = panelhost.encode(10)
        for name, bad in [("trailer", good[:511] + b"\0"),
                          ("short", good[:500]),
                          ("ciphertext", bytes(504) + good[504:])]:
            self.assertIsNone(panelhost.decode(bad), name)

    def test_device(self):
        with Panel(DEVICE) as p:
            p._tag = 0x01020303  # the next command carries the documented tag
            doc = doc_dump("<!-- example: reply 10 -->")
            self.assertEqual(p.exchange(10), bytes(doc.get(i, 0) for i in range(512)))
            data = os.urandom(1500000)  # two chunks
            p.upload("/usr/data/from_python.bin", data)
            self.assertEqual(p.file_size("/usr/data/from_python.bin"), len(data))
            self.assertIn("from_python.bin/", p.list("/usr/data"))
            p.upload("/tmp/gone.bin", b"x")
            p.delete("/tmp/gone.bin")
            self.assertEqual(p.file_size("/tmp/gone.bin"), 0)
            with self.assertRaises(PanelError):
                p.upload("/no/such/dir/f", b"x")

            p.take_over()
            self.assertEqual(p.standby_stop(), (0xFF, 0xFF))
            self.assertFalse(p.local_playing())

            # Values that cannot work are refused before sending.
            for call in [lambda: p.brightness(101),
                         lambda: p.h264_block(2, 2, 1, b""),
                         lambda: p.exchange(101, payload=bytes(panelhost.BULK_MAX + 1)),
                         lambda: p.file_size("x" * 600),
                         lambda: panelhost.encode(10, bytes(panelhost.PARAMS_MAX + 1))]:
                with self.assertRaises(ValueError):
                    call()
            self.assertEqual(p.identity(), "pavrotek5_0001_2026091101")


if __name__ == "__main__":
    unittest.main(verbosity=2)
