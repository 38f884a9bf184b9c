#!/usr/bin/env python3
"""Runs the render benchmark with its cases interleaved at random, so that all
see the same state of a busy machine, and prints its figures as ratios of CPU
time medians measured side by side in that one run.
Usage: bench/bench_ratios.py [ONDRILUX_BENCH] [REPETITIONS]"""
import json
import statistics
import subprocess
import sys
import tempfile

bench = sys.argv[1] if len(sys.argv) > 1 else "build/bench/ondrilux_bench"
repetitions = sys.argv[2] if len(sys.argv) > 2 else "7"
FRAMES_PER_BLOCK = 256
ENGINE_RATE = 48000  # frames per second the engine plays in real time

with tempfile.NamedTemporaryFile(suffix=".json") as out:
    subprocess.run([bench, f"--benchmark_repetitions={repetitions}",
                    "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.1",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_out={out.name}",
                    "--benchmark_out_format=json"], check=True, stdout=subprocess.DEVNULL)
    results = json.load(open(out.name))["benchmarks"]

# CPU time per 256-frame block, median of the repetitions, by case name.
cpu = {r["run_name"]: r["cpu_time"] for r in results if r.get("aggregate_name") == "median"}


def mean(prefix):
    values = [v for name, v in cpu.items() if name.startswith(prefix)]
    return statistics.mean(values) if values else None


def show(what, numerator, denominator, unit="times"):
    if numerator and denominator:
        print(f"{what:<66} {numerator / denominator:7.2f} {unit}")


engine = mean("BM_HeldNote/")
operations = {n: cpu[f"BM_HeldNote/operation:{n}"] for n in range(1, 14)}
fastest, slowest = min(operations, key=operations.get), max(operations, key=operations.get)
block_seconds = FRAMES_PER_BLOCK / ENGINE_RATE
print(f"CPU time medians of {repetitions} interleaved repetitions, 256-frame blocks")
show("held note, mean of the 13 operations, against real time", block_seconds * 1e9, engine, "x real time")
show("silence, against real time", block_seconds * 1e9, cpu.get("BM_Silence"), "x real time")
show(f"slowest operation ({slowest}) / fastest ({fastest})", operations[slowest], operations[fastest])
show("held note / silence", engine, cpu.get("BM_Silence"))
show("as ondrilux-jack plays it, unbent / the synth's note (operation 1)",
     cpu.get("BM_HeldNoteBent/bending:0"), operations[1])
show("bent every block / unbent", cpu.get("BM_HeldNoteBent/bending:1"), cpu.get("BM_HeldNoteBent/bending:0"))
show("LV2 plugin / engine, mean of the 13 operations", mean("BM_PluginHeldNote/"), engine)
show("CLAP plugin / engine, mean of the 13 operations", mean("BM_ClapHeldNote/"), engine)
show("LV2 plugin, level port connected / not", cpu.get("BM_PluginLevelPort/connected:1"),
     cpu.get("BM_PluginLevelPort/connected:0"))
show("ACE Reasonable Synth / Ondrilux's LV2 plugin (operation 1)", cpu.get("BM_PeerHeldNote"),
     cpu.get("BM_PluginHeldNote/operation:1"))
