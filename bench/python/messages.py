"""The message functions through Python, call included: medians of 15 runs of 10^5 calls. No peer
packs messages in process; a one-element BpskDemod.process call is timed beside them for scale."""

import numpy as np

import kavro_sdr
from timing import median_seconds


def main():
    standard = kavro_sdr.ft8_pack_standard("K1ABC", "W9XYZ", "EN37")
    one = np.ones(1, np.complex64)
    demod = kavro_sdr.BpskDemod(1.0)
    rows = [
        ("ft8_pack_standard", lambda: kavro_sdr.ft8_pack_standard("K1ABC", "W9XYZ", "EN37"), 1.0),
        ("ft8_unpack, standard payload", lambda: kavro_sdr.ft8_unpack(standard), 1.5),
        ("ft8_pack_free_text", lambda: kavro_sdr.ft8_pack_free_text("TNX BOB 73 GL"), None),
        ("BpskDemod.process, 1 element (scale)", lambda: demod.process(one), None),
    ]
    for label, call, goal_us in rows:
        us = median_seconds(call, 100_000) * 1e6
        goal = f"  goal <= {goal_us:.1f} us" if goal_us else ""
        print(f"{label:38s} {us:6.3f} us/call{goal}")


if __name__ == "__main__":
    main()
