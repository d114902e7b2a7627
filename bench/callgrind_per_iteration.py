#!/usr/bin/env python3
"""Instructions per iteration of a benchmark loop, from a callgrind profile.

    valgrind --tool=callgrind --callgrind-out-file=compose.out \
      build/bench/bench/core_logger_text_composer_bench --benchmark_filter=Compose_1Line
    python3 bench/callgrind_per_iteration.py compose.out compose_with_core_logger
    python3 bench/callgrind_per_iteration.py compose.out 'log_with_spdlog<'

LOOP names the function that holds the benchmark loop (a substring of its
name). The iterations are the largest call count from it to any callee; an
iteration costs the loop function's own instructions plus everything below the
callees called that often, divided by that count. The clock read
(clock_gettime, a vDSO call outside valgrind) is taken off, as in the figures
of bench/README.md.
"""
import collections
import re
import sys


def main(path, loop):
    names = {}

    def name_of(token):
        match = re.match(r"\((\d+)\)(?:\s+(.*))?", token)
        if not match:
            return token
        if match.group(2):
            names[match.group(1)] = match.group(2)
        return names.get(match.group(1), token)

    calls = collections.defaultdict(lambda: [0, 0])  # (caller, callee) -> [count, inclusive Ir]
    own = collections.defaultdict(int)
    caller = callee = None
    pending = None
    for line in open(path, errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("fn="):
            caller = name_of(line[3:])
        elif line.startswith("cfn="):
            callee = name_of(line[4:])
        elif line.startswith("calls="):
            pending = int(line[6:].split()[0])
        elif line and (line[0].isdigit() or line[0] in "+-*"):
            fields = line.split()
            cost = int(fields[1]) if len(fields) > 1 else 0
            if pending is None:
                own[caller] += cost
            else:
                calls[(caller, callee)][0] += pending
                calls[(caller, callee)][1] += cost
                pending = None
    loops = [f for f in own if loop in f]
    if len(loops) != 1:
        sys.exit(f"{len(loops)} functions match {loop!r}")
    loop_fn = loops[0]
    callees = {g: v for (f, g), v in calls.items() if f == loop_fn}
    iterations = max(count for count, _ in callees.values())
    total = own[loop_fn] + sum(cost for count, cost in callees.values() if count == iterations)
    clock = [v for (f, g), v in calls.items() if "clock_gettime" in g and not f.startswith(("benchmark::", "std::chrono::_V2::steady"))]
    clock_per_call = sum(cost for _, cost in clock) / max(1, sum(count for count, _ in clock))
    print(f"{iterations} iterations: {total / iterations - clock_per_call:.0f} instructions each, "
          f"the clock read ({clock_per_call:.0f}) taken off")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
