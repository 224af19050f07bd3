#!/usr/bin/env python3
"""Per-round ratios from a Google Benchmark JSON report of repetitions.

Usage: ratios.py REPORT.json BASELINE:CANDIDATE...

Run the program with --benchmark_repetitions=N --benchmark_enable_random_interleaving=true
--benchmark_format=json: the repetitions of every benchmark are then shuffled through one run, so
that repetition i of two benchmarks shares the run's conditions. For each pair (names as the report
gives them, without the repetition suffix) this prints the median CPU time of each and the median
and range of the ratios baseline / candidate taken repetition by repetition, and the load average
the report recorded at its start.
"""
import json
import statistics
import sys


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        report = json.load(f)
    times = {}
    for run in report["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        times.setdefault(run["run_name"], {})[run["repetition_index"]] = run["cpu_time"]
    load = report["context"].get("load_avg", [])
    print("load average at the start:", " ".join(f"{x:.2f}" for x in load))
    for pair in sys.argv[2:]:
        baseline, candidate = pair.split(":")
        if baseline not in times or candidate not in times:
            sys.exit(f"ratios.py: no repetitions of {baseline if baseline not in times else candidate}")
        rounds = sorted(set(times[baseline]) & set(times[candidate]))
        ratios = [times[baseline][i] / times[candidate][i] for i in rounds]
        print(f"{baseline} {statistics.median(times[baseline].values()):.1f} / "
              f"{candidate} {statistics.median(times[candidate].values()):.1f}: "
              f"ratio {statistics.median(ratios):.2f} "
              f"(range {min(ratios):.2f} to {max(ratios):.2f}, {len(ratios)} rounds)")


if __name__ == "__main__":
    main()
