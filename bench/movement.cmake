# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
