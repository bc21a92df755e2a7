"""Runs every benchmark (benchmarks/bench_*.py) and prints its ratios."""

import importlib.util
import pathlib
import sys


def main(names):
    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    files = sorted(here.glob("bench_*.py"))
    if names:
        files = [f for f in files if any(n in f.stem for n in names)]
    all_met = True
    for path in files:
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        all_met &= bool(module.main())
    print("all goals met" if all_met else "some goals MISSED")


if __name__ == "__main__":
    main(sys.argv[1:])
