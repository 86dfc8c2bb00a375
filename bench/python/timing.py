"""Timing shared by the Python benchmarks."""

import statistics
import timeit


def median_seconds(call, number=1, repeat=15):
    """Seconds per call: the median over `repeat` runs, each timing `number` calls."""
    return statistics.median(timeit.repeat(call, number=number, repeat=repeat)) / number
