# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
qel_benchmark(bench_network ${CMAKE_CURRENT_SOURCE_DIR}/network_bench.cpp)
