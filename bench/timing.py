"""The one timing rule of the benchmarks: the best of seven repeats, each
long enough to be measured well; and the line that says where they ran."""

import argparse
import platform
import sys
import sysconfig
import time
import timeit


# After a call, a thread pool's workers spin for a while before they sleep:
# numpy's BLAS threads for about a tenth of a second after a matrix product.
# On a machine with few cores whatever runs next shares the processors with
# them (a bulk call right after `a @ o` took three times as long), so each
# statement is timed once the previous one's pool has gone quiet.
QUIET_SECONDS = 0.3


def best_seconds(stmt, env, budget=0.2):
    """Seconds per run of `stmt` in the namespace `env`."""
    time.sleep(QUIET_SECONDS)
    timer = timeit.Timer(stmt, globals=env)
    number = 1
    while True:
        t = timer.timeit(number)
        if t > budget / 10 or number >= 1 << 20:
            break
        number *= 4
    return min(timer.repeat(repeat=7, number=number)) / number


def interpreter():
    """The interpreter, its build and whether the GIL is on: per-call costs
    differ between versions (the specialising interpreter, the call protocol)
    and between the free-threaded and the default build."""
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default build"
    gil = "on" if sys._is_gil_enabled() else "off"
    return f"{platform.python_implementation()} {platform.python_version()} {build} (GIL {gil}): {sys.executable}"


def sizes_argument(description, default):
    """The list sizes a benchmark runs at: its --sizes, else `default`."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--sizes", type=int, nargs="*", default=default)
    return parser.parse_args().sizes


def table(*columns):
    """Prints a table's header from (title, width) pairs, the first title
    left-aligned, and the rule under it."""
    (first, width), *rest = columns
    header = f"{first:<{width}}" + "".join(f"{title:>{w}}" for title, w in rest)
    print(header)
    print("-" * len(header))
