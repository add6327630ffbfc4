#!/usr/bin/env python3
"""Summary of one interleaved timing series of bench/listing.sh.

    stats.py TARGET "LISTING_US ..." "BARE_US ..."

The two lists hold the wall times in microseconds, pair by pair (run i of the
listing and run i of the bare walk were neighbours).  Prints each run, the
median, quartiles and extremes of each side, and the ratio listing / bare walk
of the medians (the figure the target is about), of the minimums and of the
pairs.
"""
import statistics
import sys

target = float(sys.argv[1])
listing = [int(v) / 1000 for v in sys.argv[2].split()]
walk = [int(v) / 1000 for v in sys.argv[3].split()]


def line(label, xs):
    q = statistics.quantiles(xs, n=4)
    print(f"  {label:<22} median {statistics.median(xs):7.1f} ms   min {min(xs):7.1f}   "
          f"q1 {q[0]:7.1f}   q3 {q[2]:7.1f}   max {max(xs):7.1f}")


print("  runs (ms), in order:")
print("    listing  " + " ".join(f"{v:.0f}" for v in listing))
print("    bare     " + " ".join(f"{v:.0f}" for v in walk))
line("wine vxuninstall.exe", listing)
line("wine bare_walk.exe", walk)
ratio = statistics.median(listing) / statistics.median(walk)
print(f"  ratio of medians, listing / bare walk: {ratio:.3f} "
      f"(target <= {target:.2f}: {'met' if ratio <= target else 'NOT met'})")
print(f"  ratio of minimums: {min(listing) / min(walk):.3f}")
pairs = [l / w for l, w in zip(listing, walk)]
print(f"  median of the per-pair ratios: {statistics.median(pairs):.3f} "
      f"(range {min(pairs):.3f} .. {max(pairs):.3f})")
