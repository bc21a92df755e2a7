"""What icount.py runs under callgrind: first ``argv[1]`` blocks of assorted
sizes, kept, so that everything compiled and imported afterwards (the rows,
brelt.tcl and the names they intern) lies elsewhere than in the run before;
then every row named in ``argv[2:]``. Prints the order of the loops."""

import sys

kept = [bytes(i % 240) for i in range(int(sys.argv[1]))]

import json  # noqa: E402 - after the blocks on purpose

import icount  # noqa: E402

print(json.dumps(icount.workload(set(sys.argv[2:]))))
