#!/usr/bin/python3
"""Says hello to a panel: prints its identity and storage, then, given a
JPEG and optionally a PNG (RGBA), takes the panel over and shows them.

    example.py DEVICE [PICTURE.jpg [OVERLAY.png]]
"""
import sys

from panelhost import Panel, PanelError


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with Panel(argv[1]) as panel:
            print("device", panel.identity())
            total, used, free = panel.storage()
            print("storage: %d KiB, %d used, %d free" % (total, used, free))
            if len(argv) > 2:
                panel.take_over()
                with open(argv[2], "rb") as f:
                    panel.show_jpeg(f.read())
                print("showed", argv[2])
            if len(argv) > 3:
                with open(argv[3], "rb") as f:
                    panel.png_frame(f.read(), x=0, y=0, stream=1)
                print("sent", argv[3])
    except (OSError, PanelError) as e:
        print("example.py:", e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
