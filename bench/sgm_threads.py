"""Two Python threads, each aggregating its own cost volume with
quiltmap._mvs.sgm, against the same two calls made one after the other.

The kernel drops the interpreter lock for its pass, so on two free cores
the threaded pair should take about half as long (a ratio near 0.5).  Each
call also gets two fresh (D, H, W) volumes from np.zeros; above glibc's
largest mmap threshold (32 MiB) those are new pages every call, faulted in
during the pass and unmapped afterwards, and on some virtual machines two
threads faulting in fresh pages at once are slower than one.  The control
line (np.zeros plus a first write, no quiltmap at all) shows how much of
that the machine imposes.

    .venv/bin/python bench/sgm_threads.py [--shape D H W ...] [--runs N]
"""

import argparse
import statistics
import threading
import time

import numpy as np


def serial_and_threaded(calls, runs=5):
    """Times `calls` (argument-less callables, one per thread) made one after
    the other and made from one thread each, started together.  One warm-up
    of each, then `runs` timings of each; returns the two lists of seconds."""

    def sequence():
        for call in calls:
            call()

    def threaded():
        barrier = threading.Barrier(len(calls) + 1)

        def worker(call):
            barrier.wait()
            call()

        threads = [threading.Thread(target=worker, args=(call,)) for call in calls]
        for thread in threads:
            thread.start()
        barrier.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        return time.perf_counter() - start

    sequence()
    threaded()
    serial, parallel = [], []
    for _ in range(runs):
        start = time.perf_counter()
        sequence()
        serial.append(time.perf_counter() - start)
        parallel.append(threaded())
    return serial, parallel


def volumes(shape, count, seed=0):
    rng = np.random.default_rng(seed)
    return [(rng.random(shape, dtype=np.float32) * 100) for _ in range(count)]


def report(label, serial, parallel):
    s, p = statistics.median(serial), statistics.median(parallel)
    print(f"{label}\n  one after the other : {s * 1e3:10.1f} ms\n  two threads         : {p * 1e3:10.1f} ms"
          f"\n  ratio               : {p / s:10.2f}   (0.5 = both cores busy, 1.0 = serialised)")


def main():
    from quiltmap import _mvs

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shape", type=int, nargs=3, action="append", metavar=("D", "H", "W"),
                        help="volume shape; repeat for several (default: 64 256 256 and 64 512 512)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    for shape in map(tuple, args.shape or [(64, 256, 256), (64, 512, 512)]):
        costs = volumes(shape, 2)
        calls = [lambda cost=cost: _mvs.sgm(cost, 8.0, 32.0) for cost in costs]
        report(f"sgm on two independent {shape} float32 volumes, median of {args.runs} runs",
               *serial_and_threaded(calls, args.runs))

        def fresh_pages(shape=shape):
            for _ in range(2):
                volume = np.zeros(shape, np.float32)
                np.add(volume, 1.0, out=volume)

        report(f"control: two fresh np.zeros{shape} volumes written once, no quiltmap",
               *serial_and_threaded([fresh_pages, fresh_pages], args.runs))


if __name__ == "__main__":
    main()
