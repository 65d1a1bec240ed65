"""The one timing rule of the benchmarks: the best of seven repeats, each
long enough to be measured well."""

import timeit


def best_seconds(stmt, env, budget=0.2):
    """Seconds per run of `stmt` in the namespace `env`."""
    timer = timeit.Timer(stmt, globals=env)
    number = 1
    while True:
        t = timer.timeit(number)
        if t > budget / 10 or number >= 1 << 20:
            break
        number *= 4
    return min(timer.repeat(repeat=7, number=number)) / number
