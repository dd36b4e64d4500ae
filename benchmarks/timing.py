"""The one timer every benchmark uses."""

import math
import time


def best_time(fn, budget=0.3, repeat=5):
    """Best mean wall time of one call of fn, in seconds.

    A first call warms up (plans, caches, first allocations) and sizes the
    rounds: `repeat` rounds of about budget / repeat seconds each. A call
    that alone takes longer than the budget is timed once.
    """
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    if once >= budget:
        return once
    number = max(1, int(budget / repeat / max(once, 1e-7)))
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best
