# Sourced by the cost measurements: a process's CPU time, from the scheduler's
# per-thread statistics (finer than the stat ticks).
now_ns() { date +%s%N; }
# Time on a CPU in nanoseconds, from one schedstat file.
run_ns() { awk '{ print $1 }' "$1"; }
# The whole process: the sum over its threads.
process_ns() {
    local sum=0 t
    for t in /proc/"$1"/task/*/schedstat; do
        sum=$((sum + $(run_ns "$t" 2>/dev/null || echo 0)))
    done
    echo "$sum"
}
