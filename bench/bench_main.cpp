// The benchmark program's entry point; the benchmarks live in the other files of this folder.

#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
