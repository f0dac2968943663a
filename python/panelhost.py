"""Host side of the panel's serial command protocol.

The protocol is described in docs/protocol.md (installed as
share/doc/panelhost/protocol.md). Needs only the standard library and
python3-cryptography.

    with Panel("/dev/ttyACM0") as p:
        print(p.identity())
        p.take_over()
        p.show_jpeg(open("picture.jpg", "rb").read())

Every call waits for the device's reply; a missing or mismatched reply
raises PanelError. One Panel per thread.
"""

import os
import select
import struct
import termios
import time
import tty

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

__all__ = ["Panel", "PanelError", "encode", "decode"]
__version__ = "1.0.0"

KEY = b"qd7mwrka"  # DES key and CBC initialisation vector, fixed and public
PACKET_LEN = 512
CIPHER_LEN = 504
PARAMS_MAX = 495  # parameter bytes, from command byte 8 to byte 502
NAME_MAX = PARAMS_MAX - 8
BULK_MAX = 2097152
BLOCK_MAX = 1048576
STATUS_OK = 200
TRAILER = b"\xa1\x1a"
MAGIC = b"\x1a\x6d"
LISTING_SLICES = 20


class PanelError(Exception):
    """The device did not answer, or answered something unexpected."""


def _des():
    # Single DES: TripleDES with one 8-byte key is DES.
    return Cipher(algorithms.TripleDES(KEY), modes.CBC(KEY))


def encode(code, params=b"", tag=0x01020304):
    """The 512-byte command packet for `code` with parameter bytes `params`
    (command bytes 8 onward) and request tag `tag`."""
    params = bytes(params)
    if len(params) > PARAMS_MAX:
        raise ValueError("at most %d parameter bytes" % PARAMS_MAX)
    plain = bytes([code & 0xFF, 0]) + MAGIC + struct.pack(">I", tag & 0xFFFFFFFF) + params
    plain = plain.ljust(503, b"\0") + b"\x01"  # 503 bytes and one byte of padding
    enc = _des().encryptor()
    body = enc.update(plain) + enc.finalize()
    return body + bytes(6) + TRAILER


def decode(packet):
    """The command inside a packet, padding removed; None when the device
    would drop it (bad trailer, padding or magic bytes)."""
    packet = bytes(packet)
    if len(packet) != PACKET_LEN or packet[510:] != TRAILER:
        return None
    dec = _des().decryptor()
    plain = dec.update(packet[:CIPHER_LEN]) + dec.finalize()
    pad = plain[-1]
    if pad >= 9:
        return None
    plain = plain[:CIPHER_LEN - pad]
    if len(plain) < 4 or plain[2:4] != MAGIC:
        return None
    return plain


def _name(path, extra=0):
    raw = path.encode() if isinstance(path, str) else bytes(path)
    if not 0 < len(raw) <= NAME_MAX:
        raise ValueError("a device path is 1..%d bytes long" % NAME_MAX)
    return struct.pack(">II", len(raw), extra) + raw


class Panel:
    """One serial line to one device: a device path (opened raw, 115200
    8N1), or an open descriptor `fd` (made non-blocking, left open by
    close()). `timeout`: seconds to wait for each reply."""

    def __init__(self, path=None, fd=None, timeout=5.0):
        if (path is None) == (fd is None):
            raise ValueError("give a device path or a descriptor")
        self.timeout = timeout
        self._own = fd is None
        if fd is None:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
            try:
                if os.isatty(fd):
                    tty.setraw(fd)
                    attrs = termios.tcgetattr(fd)
                    attrs[2] |= termios.CLOCAL | termios.CREAD
                    attrs[4] = attrs[5] = termios.B115200
                    termios.tcsetattr(fd, termios.TCSANOW, attrs)
            except BaseException:
                os.close(fd)
                raise
        else:
            os.set_blocking(fd, False)
        self.fd = fd
        self._tag = 0
        self._pending = None  # (code, tag) of the command awaiting its reply

    def close(self):
        if self.fd is not None and self._own:
            os.close(self.fd)
        self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- the three steps of one exchange -----------------------------------

    def command(self, code, params=b""):
        """Sends one command packet with the next request tag."""
        self._tag = (self._tag + 1) & 0xFFFFFFFF
        self._write(encode(code, params, self._tag))
        self._pending = (code, self._tag)

    def bulk(self, data):
        """Sends the raw bulk payload that follows a command."""
        self._write(memoryview(data))

    def reply(self, timeout=None):
        """The 512-byte reply to the last command, its header checked."""
        if self._pending is None:
            raise PanelError("no command waits for a reply")
        code, tag = self._pending
        self._pending = None
        end = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            r = self._read(PACKET_LEN, end - time.monotonic())
            if code == 99:  # the listing reply is raw text
                return r
            got = struct.unpack(">I", r[2:6])[0]
            if r[0] == code and r[1] == STATUS_OK and got == tag:
                return r
            if r[1] != STATUS_OK or got == tag:
                self._drain()
                raise PanelError("reply does not match command %d (got code %d, status %d)"
                                 % (code, r[0], r[1]))
            # A late reply to an earlier command whose wait was given up: skip it.

    def exchange(self, code, params=b"", payload=b""):
        """Command, payload (if any) and reply; returns the reply."""
        if len(payload) > BULK_MAX:
            raise ValueError("a payload holds at most %d bytes" % BULK_MAX)
        self.command(code, params)
        if payload:
            self.bulk(payload)
        return self.reply()

    # -- the common commands ---------------------------------------------

    def identity(self):
        return self.exchange(10)[8:33].decode("ascii", "replace")

    def nop(self):
        self.exchange(254)

    def brightness(self, level):
        if not 0 <= level <= 100:
            raise ValueError("brightness is 0..100")
        self.exchange(14, bytes([level]))

    def rotation(self, code):
        self.exchange(13, bytes([code]))

    def set_clock(self, when, clock_flag=2):
        """when: a datetime (or time.struct_time); clock_flag 0/1 turns the
        standby clock off/on, 2 leaves it."""
        if isinstance(when, time.struct_time):
            y, mo, d, h, mi, s = when[:6]
        else:
            y, mo, d, h, mi, s = when.year, when.month, when.day, when.hour, when.minute, when.second
        self.exchange(51, struct.pack(">HBBBBBB", y, mo, d, h, mi, s, clock_flag))

    def standby_stop(self):
        """Asks both standby screens to stop; (clock, offline) states, 0xFF
        = not running."""
        r = self.exchange(52)
        return r[8], r[9]

    def take_over(self, timeout=10.0):
        """Stops standby screens, local video and slideshow, and returns once
        they have stayed stopped (at least 2.5 s)."""
        start = time.monotonic()
        quiet_since, quiet_needed, last_frame = start, 2.5, None
        while True:
            clock, offline = self.standby_stop()
            self.stop_local()
            self.exchange(114)
            playing = self.local_playing()
            frame = self.frame_counter()
            busy = (clock, offline) != (0xFF, 0xFF) or playing or (
                last_frame is not None and frame != last_frame)
            last_frame = frame
            now = time.monotonic()
            if busy:
                quiet_since, quiet_needed = now, 1.3
            elif now - quiet_since >= quiet_needed:
                return
            if now - start > timeout:
                raise PanelError("the panel is still busy after %.1f s" % timeout)
            time.sleep(0.2)

    def show_jpeg(self, data):
        self.exchange(101, struct.pack(">I", len(data)), data)

    def png_frame(self, data, x=0, y=0, stream=1):
        """One PNG overlay frame (stream 1: small picture at x, y; 0: full
        screen). Returns the frames waiting in the stream's queue: 0 when
        the frame was refused, or already taken by the decoder."""
        return self.exchange(102, struct.pack(">IHHB", len(data), x, y, stream), data)[8]

    def clear_overlay(self):
        self.exchange(103)

    def overlay_plane(self, on):
        self.exchange(105, bytes([1 if on else 0]))

    def h264_block(self, band, bands, stamp, data, last=False):
        """One block of band `band` (0..bands-1) of an H.264 Annex B stream.
        Returns the band's ring fill, 0 when the block was refused."""
        if not 0 <= band < bands <= 3:
            raise ValueError("band must be 0..bands-1 and bands 1..3")
        if len(data) > BLOCK_MAX:
            raise ValueError("a block holds at most %d bytes" % BLOCK_MAX)
        code = (121, 119, 120)[band]
        params = struct.pack(">IBBI", len(data), 1 if last else 0, bands, stamp)
        return self.exchange(code, params, data)[8]

    def h264_start(self, stamp, timeout=5.0):
        """Starts a new stream with identity `stamp`; send the stream with
        the same stamp afterwards. The device drops the block that brings a
        new stamp, with everything queued, and a closed decoder opens for
        that block and closes again at once, dropping what arrived
        meanwhile: two empty blocks, each taken before the next is sent,
        leave it settled."""
        end = time.monotonic() + timeout
        for _ in range(2):
            if not self.h264_block(0, 1, stamp, b""):
                raise PanelError("the device refuses video (is a standby screen running?)")
            while self.queue_status()[0]:
                if time.monotonic() > end:
                    raise PanelError("the device did not take the new stream's first block")
                time.sleep(0.01)

    def queue_status(self):
        """(ring 0, ring 1, ring 2, small PNG queue)."""
        return tuple(self.exchange(122)[8:12])

    def frame_counter(self):
        return struct.unpack(">I", self.exchange(118)[8:12])[0]

    def frame_rate(self, fps):
        if not 1 <= fps <= 255:
            raise ValueError("frame rate is 1..255")
        self.exchange(15, bytes([fps]))

    def stop_video(self):
        self.exchange(123)

    def play_local(self, path):
        if len(path.encode()) > 127:
            raise ValueError("a local video path holds at most 127 bytes")
        self.exchange(110, _name(path))

    def stop_local(self):
        self.exchange(111)

    def local_playing(self):
        return self.exchange(112)[8] == 1

    def upload(self, path, data):
        """Writes a file of any size on the device (38, then 39 chunks)."""
        if self.exchange(38, _name(path))[8] != STATUS_OK:
            raise PanelError("the device cannot create %s" % path)
        data = memoryview(data)
        off = 0
        while True:
            chunk = data[off:off + BLOCK_MAX]
            last = off + len(chunk) == len(data)
            self.exchange(39, struct.pack(">IIB", len(chunk), len(chunk), 1 if last else 0), chunk)
            off += len(chunk)
            if last:
                return

    def file_size(self, path):
        return struct.unpack("<I", self.exchange(98, _name(path))[8:12])[0]

    def delete(self, path):
        self.exchange(42, _name(path))

    def list(self, path):
        """The listing text, e.g. "result:dir:img/file:a.jpg/"."""
        params = _name(path)
        text, first = b"", None
        # A pager left part-way by an earlier host runs to its end first.
        for i in range(2 * LISTING_SLICES):
            r = self.exchange(99, params)
            if first is None and r.startswith(b"result:"):
                first = i
            if first is not None:
                text += r.split(b"\0", 1)[0]
                if i - first == LISTING_SLICES - 1:
                    break
        if first is None:
            raise PanelError("the device sent no listing")
        return text.decode("utf-8", "replace")

    def storage(self):
        """SD card (total, used, available) in KiB."""
        return struct.unpack("<III", self.exchange(100)[8:20])

    # -- the line --------------------------------------------------------

    def _write(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                n = 0
            if n:
                view = view[n:]
            else:
                select.select([], [self.fd], [], 1.0)

    def _read(self, n, timeout):
        buf = bytearray()
        end = time.monotonic() + timeout
        while len(buf) < n:
            left = end - time.monotonic()
            if left <= 0:
                raise PanelError("no reply from the device (got %d of %d bytes)" % (len(buf), n))
            if not select.select([self.fd], [], [], left)[0]:
                continue
            try:
                chunk = os.read(self.fd, n - len(buf))
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:  # a pty reports EIO while its other side reopens
                time.sleep(0.001)
                continue
            if chunk:
                buf += chunk
            else:
                time.sleep(0.001)
        return bytes(buf)

    def _drain(self):
        while select.select([self.fd], [], [], 0)[0]:
            try:
                if not os.read(self.fd, 4096):
                    return
            except OSError:
                return
