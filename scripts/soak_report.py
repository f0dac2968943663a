#!/usr/bin/python3
"""Growth check and plot of a soak's samples (scripts/soak.sh).

usage: soak_report.py SAMPLES.csv OUT.png MINUTES [HEAP.log START_EPOCH]
Growth is measured between quiet samples (video stopped, host present): from
the first one after minute 5 to the last one; for runs under 10 minutes from
the quiet sample after two warm-up rounds (the first uses every path once). The daemon's own memory
(anonymous resident memory: heap, stacks) may grow by at most 1 %, or by
256 KiB where that is more (glibc grows the heap in steps of 128 KiB and
more, so a heap of a few MiB cannot be held to 1 %), or 2 MiB in runs under
10 minutes, which cannot tell growth from the allocator's breathing (half a
MiB to nearly 1 MiB either way); descriptors and threads not at all. Total resident memory is reported and
plotted too; on the simulated board it also holds the panel planes and the
reserved memory, shared file mappings whose resident part follows what was
last painted (after a rotation the planes are mapped anew).

With a heap log (address-sanitizer soaks: "epoch_seconds live_KiB" lines
from the daemon's allocator), the memory rule applies to the peak live heap
of the two minutes up to each of the two quiet samples instead: that
allocator's resident memory creeps up with nothing lost (quarantine, memory
kept per size class), so it is only reported."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def attach_heap(rows, path, start):
    """Gives each quiet sample the peak live heap (KiB) of the two minutes
    up to it. The heap at one instant depends on what was open just then
    (a decoder, a player's buffer: 16 MiB either way); the peak over a few
    rounds of the same load is steady unless something is lost."""
    heap = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                heap.append((float(parts[0]) - start, int(parts[1])))
    for r in rows:
        window = [kb for t, kb in heap if r["t"] - 120 <= t <= r["t"]]
        if r["kind"] == "quiet" and window:
            r["heap"] = max(window)


def main():
    path, png, minutes = sys.argv[1], sys.argv[2], float(sys.argv[3])
    rows = []
    with open(path) as f:
        for r in csv.DictReader(f):
            rows.append({"t": float(r["t_s"]), "kind": r["kind"], "rss": int(r["rss_kb"]),
                         "anon": int(r["anon_kb"]),
                         "fds": int(r["fds"]), "threads": int(r["threads"]), "fps": float(r["fps"])})
    if len(sys.argv) > 5:
        attach_heap(rows, sys.argv[4], float(sys.argv[5]))
    quiet = [r for r in rows if r["kind"] == "quiet" and r["rss"] > 0]
    if len(quiet) < 2:
        print("soak: fewer than two quiet samples; no growth check possible")
        return 1
    if minutes >= 10:
        ref = next((r for r in quiet if r["t"] >= 300), quiet[0])
        how = "from the first quiet sample after minute 5"
    else:
        # Two rounds of warm-up: the first uses every path once, the second
        # reaches the working sizes of buffers the first touched only partly.
        ref = quiet[1] if len(quiet) >= 3 else quiet[0]
        how = "from the quiet sample after two warm-up rounds (run shorter than 10 min)"
    end = quiet[-1]
    # The figure the rule holds: the live heap where a sanitizer's allocator
    # logged it, otherwise the daemon's own resident memory.
    mem = "heap" if "heap" in ref and "heap" in end else "anon"
    growth = (end["anon"] - ref["anon"]) / ref["anon"] * 100
    periodic = [r for r in rows if r["kind"] == "periodic" and r["rss"] > 0]
    peak = max(r["rss"] for r in rows if r["rss"] > 0)
    fps = [r["fps"] for r in periodic if r["fps"] > 0]
    print("soak figures (%s):" % how)
    print("  own memory (anonymous) %.1f MiB at %.0f s -> %.1f MiB at %.0f s: %+.2f %% (%+d KiB)"
          % (ref["anon"] / 1024, ref["t"], end["anon"] / 1024, end["t"], growth,
             end["anon"] - ref["anon"]))
    if mem == "heap":
        print("  live heap, 2-min peak  %.1f MiB at %.0f s -> %.1f MiB at %.0f s: %+.2f %% (%+d KiB)"
              % (ref["heap"] / 1024, ref["t"], end["heap"] / 1024, end["t"],
                 (end["heap"] - ref["heap"]) / ref["heap"] * 100, end["heap"] - ref["heap"]))
    print("  resident in all        %.1f MiB -> %.1f MiB (peak %.1f MiB)"
          % (ref["rss"] / 1024, end["rss"] / 1024, peak / 1024))
    print("  fds      %d -> %d" % (ref["fds"], end["fds"]))
    print("  threads  %d -> %d" % (ref["threads"], end["threads"]))
    if fps:
        print("  frame rate while sampled: mean %.1f fps, max %.1f fps" % (sum(fps) / len(fps), max(fps)))

    fig, ax = plt.subplots(3, 1, figsize=(9, 8), sharex=True)
    t = [r["t"] / 60 for r in periodic]
    ax[0].plot(t, [r["rss"] / 1024 for r in periodic], label="resident in all")
    ax[0].plot(t, [r["anon"] / 1024 for r in periodic], label="own (anonymous)")
    ax[0].plot([r["t"] / 60 for r in quiet], [r["anon"] / 1024 for r in quiet], "o", label="quiet samples")
    if mem == "heap":
        ax[0].plot([r["t"] / 60 for r in quiet if "heap" in r],
                   [r["heap"] / 1024 for r in quiet if "heap" in r], "s", label="live heap, 2-min peak")
    ax[0].set_ylabel("MiB")
    ax[0].legend(loc="lower right")
    ax[1].plot(t, [r["fds"] for r in periodic], label="open descriptors")
    ax[1].plot(t, [r["threads"] for r in periodic], label="threads")
    ax[1].legend(loc="lower right")
    ax[2].plot(t, [r["fps"] for r in periodic], label="frames shown per second")
    ax[2].set_ylabel("fps")
    ax[2].set_xlabel("minutes")
    ax[2].legend(loc="lower right")
    fig.suptitle("paneld soak: %.0f min" % minutes)
    fig.tight_layout()
    fig.savefig(png, dpi=90)
    print("  plot: %s" % png)

    # A run of a few minutes cannot tell growth from the allocator's own
    # breathing (up to nearly 1 MiB between quiet samples on a loaded
    # machine): it gets a floor of 2 MiB. Long runs are held to 1 % (256 KiB at least).
    limit_kb = max(ref[mem] * 0.01, 256 if minutes >= 10 else 2048)
    ok = (end[mem] - ref[mem] <= limit_kb and end["fds"] <= ref["fds"]
          and end["threads"] <= ref["threads"])
    print("  limit    %+d KiB of %s, 0 descriptors, 0 threads"
          % (limit_kb, "live heap" if mem == "heap" else "own memory"))
    print("soak: %s" % ("PASS" if ok else "FAIL: growth beyond the limits"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
