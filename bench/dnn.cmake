# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
qel_benchmark(bench_dnn_forward ${CMAKE_CURRENT_SOURCE_DIR}/dnn_forward.cpp)
qel_benchmark(bench_dnn_peak ${CMAKE_CURRENT_SOURCE_DIR}/dnn_peak.cpp)
