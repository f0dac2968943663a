#!/usr/bin/python3
"""Makes the seed corpora in fuzz/corpus/<target>/ from real traffic: the
media the host streams (H.264 from libx264, JPEG and PNG frames from the
ffmpeg tool and the test fixtures), the host tool's file commands,
microcontroller frames as the cooler sends them, kernel log lines as the
kernel prints them, and the bytes panelctl sends for each command (give
its path as the argument; default build/panelctl). Run from anywhere;
needs ffmpeg with libx264.
Existing seeds (regression inputs among them) are left alone."""
import os
import select
import struct
import subprocess
import time
import tty
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def put(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def ffmpeg(args, suffix):
    with tempfile.TemporaryDirectory() as t:
        out = os.path.join(t, "out" + suffix)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"] + args + [out],
                       check=True)
        with open(out, "rb") as f:
            return f.read()


def h264(source, frames):
    return ffmpeg(["-f", "lavfi", "-i", source, "-frames:v", str(frames), "-c:v", "libx264",
                   "-profile:v", "baseline", "-preset", "veryfast", "-crf", "40", "-g", "30",
                   "-x264-params", "slices=1", "-pix_fmt", "yuv420p", "-f", "h264"], ".h264")


# --- NAL-unit splitter and block rings --------------------------------------
def nalu_seeds():
    def block_cmd(part, mode, last, payload):
        payload = payload[: 255 * 4]
        payload += b"\0" * (-len(payload) % 4)
        return bytes([0x00, part, mode, last, len(payload) // 4]) + payload

    def take(p):
        return bytes([0x06 | p << 4])

    def unit(p, room=8000):
        return bytes([0x08 | p << 4]) + struct.pack(">H", room + 2)

    def tail(p, room=8000):
        return bytes([0x0B | p << 4]) + struct.pack(">H", room + 2)

    one = h264("testsrc=size=64x48:rate=5", 3)
    cap = struct.pack(">H", 4096)
    s = cap
    for i in range(0, min(len(one), 2040), 1020):
        s += block_cmd(0, 1, 0, one[i:i + 1020])
    s += take(0) + unit(0) * 4 + take(0) + unit(0) * 4 + tail(0)
    put("nalu_rings", "one_part_stream", s)
    # Three parts, as a picture split in bands: each its own stream.
    bands = [h264("testsrc2=size=64x32:rate=5", 2), h264("rgbtestsrc=size=64x16:rate=5", 2),
             h264("smptebars=size=64x16:rate=5", 2)]
    s = cap
    for p, b in enumerate(bands):
        s += block_cmd(p, 3, 1, b[:1020])
    s += bytes([0x0D, 3])  # the wake-up rule with three parts
    for p in range(3):
        s += take(p) + unit(p) * 3 + tail(p)
    put("nalu_rings", "three_parts", s)
    s = struct.pack(">H", 300)
    for p in range(2):
        s += block_cmd(p, 2, 0, bands[p][:600])
    s += take(0) + take(1) + unit(0) + unit(1) + bytes([0x05, 0x11]) + bytes([0x0E])
    put("nalu_rings", "two_parts_small_splitter", s)
    s = cap + b"".join(bytes([0x03, 16]) + one[:128] + b"\0" for _ in range(6))  # the sixth is refused
    s += take(0) * 6 + unit(0, 20) * 3 + bytes([0x0C])
    put("nalu_rings", "full_ring_and_tiny_room", s)


# --- microcontroller frames ---------------------------------------------------
def frame(temp, pump, suspend):
    return bytes([0xAA, 0x55, temp, pump >> 8, pump & 0xFF, suspend]) + b"\0" * 10


def mcu_seeds():
    put("mcu_frames", "readings", b"\x03\x00" + frame(30, 1500, 0) + frame(31, 1480, 0) + frame(45, 2600, 0))
    put("mcu_frames", "suspend_run_configured", b"\x03\x00" + frame(30, 1500, 1) * 23 + frame(30, 1500, 0))
    put("mcu_frames", "suspend_run_not_configured", b"\x02\x00" + frame(28, 900, 1) * 12)
    put("mcu_frames", "stray_byte_then_frames", b"\x03\x00" + b"\x13" + frame(30, 1500, 0) * 3)
    put("mcu_frames", "lost_byte", b"\x03\x00" + frame(30, 1500, 0)[1:] + frame(30, 1500, 0) * 2)
    put("mcu_frames", "swapped_header", b"\x01\x00" + bytes([0x55, 0xAA]) + b"\0" * 14 + frame(30, 1500, 0))
    put("mcu_frames", "noise_and_pauses", b"\x03\x06" + bytes(range(0xA0, 0xC0)) + frame(30, 1500, 1) * 2 +
        b"\xAA" * 5 + frame(20, 0, 0))


# --- kernel log lines ----------------------------------------------------------
def kmsg_seeds():
    lines = []
    try:
        out = subprocess.run(["dmesg", "-r"], capture_output=True, check=True).stdout
        for l in out.splitlines():
            # Generic lines only: nothing that names this machine's set-up.
            if any(w in l for w in (b"Command line", b"vsock", b"firecracker", b"Linux version")):
                continue
            lines.append(l)
            if len(lines) >= 12:
                break
    except (OSError, subprocess.CalledProcessError):
        pass
    lines += [b"<6>[ 3725.123456] ingenic-fb 13050000.dpu: tft underrun recover done",
              b"<4>[90000.500000] ingenic-fb 13050000.dpu: tft underrun recover done",
              b"<6>[    1.001000] ingenic-fb: tft underrun recover done",
              b"tft underrun recover done without prefix",
              b"<3>[  100.000000] dma: aFailed to alloc 8 pages",
              b"<6>[  100.100000] waiting line"]
    put("kmsg_lines", "boot_log", b"\n".join(lines[:12]) + b"\n")
    put("kmsg_lines", "underruns", b"\n".join(lines[-6:-2]) + b"\n")
    put("kmsg_lines", "failed_alloc_then_drain", b"\n".join(lines[-4:]) + b"\n")
    put("kmsg_lines", "both_in_one_line",
        b"<6>[   12.000000] tft underrun recover done aFailed to alloc\n")
    put("kmsg_lines", "long_line", b"<6>[    5.000000] " + b"x" * 1100 + b" tft underrun recover done\n")


# --- JPEG frames ---------------------------------------------------------------
def jpeg_seeds():
    for name, fmt, size in (("420", "yuvj420p", "120x184"), ("422", "yuvj422p", "64x48"),
                            ("444", "yuvj444p", "40x40"), ("gray", "gray", "33x17"),
                            ("420_large", "yuvj420p", "300x400")):
        pic = ffmpeg(["-f", "lavfi", "-i", "testsrc=size=%s" % size, "-frames:v", "1", "-pix_fmt", fmt,
                      "-q:v", "8", "-f", "mjpeg"], ".jpg")
        put("jpeg_display", "panel_" + name, b"\x00\x00" + pic)
        put("jpeg_display", "other_area_" + name, b"\x9f\x40" + pic)
    pic = ffmpeg(["-f", "lavfi", "-i", "testsrc=size=120x184", "-frames:v", "1", "-pix_fmt", "yuvj420p",
                  "-q:v", "8", "-f", "mjpeg"], ".jpg")
    put("jpeg_display", "truncated", b"\x00\x00" + pic[: len(pic) // 2])


# --- full-screen PNG frames ------------------------------------------------------
def png_seeds():
    fixtures = os.path.join(HERE, "..", "tests", "fixtures", "png")
    for n in sorted(os.listdir(fixtures)):
        with open(os.path.join(fixtures, n), "rb") as f:
            put("png_fullscreen", n[:-4], bytes([len(n) * 7 % 256]) + f.read())
    for name, fmt, size in (("rgba_fullscreen", "rgba", "96x160"), ("rgb_band", "rgb24", "96x9"),
                            ("rgba_tall", "rgba", "40x200")):
        pic = ffmpeg(["-f", "lavfi", "-i", "testsrc=size=%s" % size, "-frames:v", "1", "-pix_fmt", fmt,
                      "-f", "image2", "-c:v", "png"], ".png")
        put("png_fullscreen", name, b"\x00" + pic)


# --- configuration records ---------------------------------------------------------
def config_seeds():
    video = b"/media/offline_video.h264"
    app = bytes([60, 0, 0, 0, 0, 0, 1, 1]) + video + b"\0" * (128 - len(video))
    fb = bytes([16, 84]) + b"\0" * 14
    put("config_records", "as_built", b"\x04" + struct.pack(">H", len(app)) + app + fb)
    used = bytes([80, 2, 0, 2, 0, 1, 0, 1]) + b"/usr/data/boot.h264" + b"\0" * 109
    put("config_records", "after_use", b"\x04" + struct.pack(">H", len(used)) + used + bytes([20, 90]) + b"\0" * 14)
    put("config_records", "short_files", b"\x00" + struct.pack(">H", 5) + app[:5] + b"\x10")
    put("config_records", "longer_file", b"\x04" + struct.pack(">H", 200) + app + b"tail" * 16 + fb + b"more")
    put("config_records", "missing_files", b"\x07" + struct.pack(">H", 0))
    put("config_records", "path_without_end", b"\x04" + struct.pack(">H", 136) + app[:8] + b"/" * 128 + fb)


# --- file commands ---------------------------------------------------------------------
def file_seeds():
    codes = {38: 0, 39: 1, 40: 2, 42: 3, 98: 4, 99: 5, 110: 6, 113: 7}

    def cmd(code, name=b"", size_sel=8, lie=0, extra=b""):
        return bytes([codes[code], size_sel, len(name)]) + name + bytes([lie]) + extra

    def chunk(data, last):
        return cmd(39, extra=bytes([len(data), len(data), 1 if last else 0]) + data)

    s = cmd(38, b"/tmp/up.bin") + chunk(b"first chunk ", False) + chunk(b"second chunk", True)
    s += cmd(98, b"/tmp/up.bin") + cmd(99, b"/tmp") + cmd(99, b"/tmp")
    put("file_commands", "upload_size_list", s)
    s = cmd(40, b"/usr/data/img/new.jpg", extra=bytes([9]) + b"jpeg data") + cmd(42, b"/usr/data/img/a.jpg")
    s += cmd(99, b"/usr/data/img") + cmd(42, b"/usr/data/img")
    put("file_commands", "small_file_delete", s)
    s = cmd(98, b"/media/logo.jpg") + cmd(113, b"/media/logo.jpg") + cmd(110, b"/media/offline_video.h264")
    s += cmd(98, b"/usr/data/img/media/warn.jpg") + cmd(42, b"/usr/data/img/media")
    put("file_commands", "show_play_links", s)
    s = cmd(38, b"") + cmd(98, b"/../../etc/passwd") + cmd(42, b"/usr/data/img/../../../media/")
    s += cmd(38, b"/usr/data/empty/") + cmd(99, b"/usr/data/nodir/") + cmd(42, b"/tmp", lie=0xF3)
    put("file_commands", "odd_names", s)
    s = cmd(38, b"/tmp/a") + chunk(b"x" * 40, False) + cmd(38, b"/tmp/b") + chunk(b"y" * 10, True)
    s += chunk(b"z" * 5, True) + cmd(40, b"/tmp/a", lie=0xEF, extra=bytes([4]) + b"abcd")
    put("file_commands", "two_creates_no_file_open", s)


# --- command link end to end ------------------------------------------------
# Real traffic: the bytes panelctl sends for a command (packet and bulk
# payload), caught on a pty that answers each command like the device.
# A seed is the state byte and raw-byte operations carrying those bytes.
def capture(panelctl, args, codes):
    master, slave = os.openpty()
    tty.setraw(slave)
    proc = subprocess.Popen([panelctl, "--device", os.ttyname(slave), "--timeout", "3000"] + args,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    got = bytearray()
    codes = list(codes)
    deadline = time.time() + 20
    while time.time() < deadline:
        buf = bytearray()
        while time.time() < deadline:
            r, _, _ = select.select([master], [], [], 0.3)
            if r:
                buf += os.read(master, 65536)
            elif buf or proc.poll() is not None:
                break
        if not buf:
            break
        got += buf
        code = codes.pop(0) if codes else 0
        os.write(master, bytes([code, 200]) + bytes(6) + bytes([200]) + bytes(503))
    proc.wait(timeout=10)
    os.close(master)
    os.close(slave)
    return bytes(got)


def raw_ops(data):
    out = b""
    for i in range(0, len(data), 8191):
        part = data[i:i + 8191]
        out += bytes([(len(part) >> 8) << 3, len(part) & 0xFF]) + part
    return out


def packet_op(code, params=b"", faults=0, flip=0):
    op = 2 | faults << 3 if faults else 1
    out = bytes([op, 0, code, 0, len(params)]) + params
    return out + (bytes([flip]) if faults else b"")


def command_link_seeds(panelctl):
    if not os.access(panelctl, os.X_OK):
        print("make_seeds: no %s, command link seeds skipped" % panelctl, file=sys.stderr)
        return
    jpeg = ffmpeg(["-f", "lavfi", "-i", "testsrc2=size=48x64", "-frames:v", "1", "-q:v", "6"], ".jpg")
    with tempfile.TemporaryDirectory() as t:
        pic = os.path.join(t, "p.jpg")
        with open(pic, "wb") as f:
            f.write(jpeg)
        png = os.path.join(t, "p.png")
        with open(png, "wb") as f:
            f.write(ffmpeg(["-f", "lavfi", "-i", "testsrc=size=24x12", "-frames:v", "1",
                            "-pix_fmt", "rgba"], ".png"))
        small = os.path.join(t, "s.bin")
        with open(small, "wb") as f:
            f.write(b"soak file contents " * 20)
        vid = os.path.join(t, "v.h264")
        with open(vid, "wb") as f:
            f.write(h264("testsrc=size=48x64:rate=5", 2))
        runs = {
            "identity": (["identity"], [10]),
            "brightness": (["brightness", "50"], [14]),
            "rotation": (["rotation", "2"], [13]),
            "calibrate": (["calibrate", "3", "4"], [202]),
            "clock_set": (["clock-set", "2026-01-02 03:04:05"], [51]),
            "jpeg_frame": (["jpeg", pic], [101]),
            "png_overlay": (["png", png, "4", "8"], [102]),
            "png_full": (["png-full", png], [102]),
            "overlay_clear": (["overlay-clear"], [103]),
            "overlay_on": (["overlay", "on"], [105]),
            "put_file": (["put", small, "/usr/data/a.bin"], [40]),
            "upload": (["upload", "--chunk", "100", small, "/usr/data/b.bin"], [38, 39, 39, 39, 39]),
            "list": (["ls", "/usr/data"], [99]),
            "size": (["size", "/usr/data/a.bin"], [98]),
            "remove": (["rm", "/usr/data/a.bin"], [42]),
            "storage": (["storage"], [100]),
            "picture": (["picture", "/media/logo.jpg"], [113]),
            "logo": (["logo"], [45]),
            "nop": (["nop"], [254]),
            "frame": (["frame"], [118]),
            "constant": (["constant"], [17]),
            "group": (["group"], [201]),
            "stream_block": (["raw", "119", "0", "0", "0x03", "0xE8", "0", "0", "0", "0", "0", "1",
                              "--payload", vid], [119]),
        }
        for name, (args, codes) in runs.items():
            data = capture(panelctl, args, codes)
            if len(data) < 512:
                print("make_seeds: %s sent nothing" % name, file=sys.stderr)
                continue
            put("command_link", "panelctl_" + name, b"\0" + raw_ops(data))
    # Faults a host line shows: a packet cut short, a stray byte, a stalled
    # payload, broken trailers, magic bytes and padding, EINTR, tiny reads.
    put("command_link", "cut_packet_then_identity", b"\0" + packet_op(10)[:3] + bytes([5]) + packet_op(10))
    put("command_link", "stray_byte", b"\0" + bytes([0, 1, 0x5A]) + packet_op(10) + bytes([6]) + packet_op(10))
    put("command_link", "stalled_jpeg", b"\0" + packet_op(101, struct.pack(">I", 200000)) +
        bytes([3 | 2 << 3, 0x30, 0xD4]) + bytes([5]) + packet_op(10))
    put("command_link", "broken_packets", b"\0" + b"".join(packet_op(10, b"", f, 77) for f in (1, 2, 4, 8, 15)))
    put("command_link", "eintr_tiny_reads", bytes([1 << 1]) + bytes([4]) + packet_op(17) + bytes([4, 7 | 2 << 3])
        + packet_op(99, struct.pack(">I", 9) + b"\0" * 4 + b"/usr/data") + bytes([7]) + packet_op(201))
    put("command_link", "refused_big_payload", b"\0" + packet_op(40, struct.pack(">II", 4, 3000000) + b"/a.b")
        + bytes([3 | 6 << 3, 0xFF, 0xFF]) + packet_op(10))
    put("command_link", "destructive", b"\0" + packet_op(11) + packet_op(12) + packet_op(43) + packet_op(253)
        + packet_op(44) + packet_op(10))


def main():
    command_link_seeds(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "panelctl"))
    nalu_seeds()
    mcu_seeds()
    kmsg_seeds()
    jpeg_seeds()
    png_seeds()
    config_seeds()
    file_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
