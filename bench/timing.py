"""Timing helper shared by the benchmarks."""

import time


def best_of(repeat, fn):
    """The shortest of repeat wall-clock timings of fn(), in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)
