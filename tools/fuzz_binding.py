"""A long fuzzing campaign of quiltmap._mvs's binding (make fuzz).

Runs the hypothesis properties of tests/test_fuzz.py with enough examples for
`--calls` calls in all (each example calls its function three ways), split
over `--jobs` processes and the three functions, and prints how the calls
ended.  A property that fails stops its
process with hypothesis's report and makes the campaign fail.

    python tools/fuzz_binding.py --calls 1000000 --jobs 2
"""
import argparse
import collections
import json
import os
import subprocess
import sys
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
FUNCTIONS = ("test_sgm_fuzz", "test_bilateral_fuzz", "test_sample_view_fuzz")


def worker(examples):
    os.environ["QUILTMAP_FUZZ_EXAMPLES"] = str(examples)
    sys.path.insert(0, str(TESTS))
    os.chdir(TESTS)  # so that the checkout's quiltmap/ does not shadow the installed one
    import warnings

    warnings.simplefilter("error")  # as pytest runs the suite
    import test_fuzz

    for name in FUNCTIONS:
        getattr(test_fuzz, name)()
    print(json.dumps(dict(test_fuzz.OUTCOMES)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker is not None:
        return worker(options.worker)

    sys.path.insert(0, str(TESTS))
    from test_fuzz import CALLS_PER_EXAMPLE

    examples = -(-options.calls // (options.jobs * len(FUNCTIONS) * CALLS_PER_EXAMPLE))
    start = time.monotonic()
    children = [subprocess.Popen([sys.executable, __file__, "--worker", str(examples)], stdout=subprocess.PIPE,
                                 text=True) for _ in range(options.jobs)]
    outcomes, failed = collections.Counter(), False
    for child in children:
        out, _ = child.communicate()
        if child.returncode != 0:
            failed = True
            continue
        outcomes.update(json.loads(out.strip().splitlines()[-1]))
    elapsed = time.monotonic() - start
    total = sum(outcomes.values())
    print(f"{total} calls in {elapsed:.0f} s ({options.jobs} processes, {examples} examples per function each)")
    for function in ("sgm", "bilateral", "sample_view"):
        rows = {k.split(": ")[1]: v for k, v in outcomes.items() if k.startswith(function + ":")}
        print(f"  {function:12} " + ", ".join(f"{name} {count}" for name, count in sorted(rows.items())))
    if failed:
        print("a property failed: see the report above", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
