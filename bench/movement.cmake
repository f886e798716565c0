# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
# The kernels are reached through the instance table's expansion shared with the tests.
qel_benchmark(bench_move_kernels move_kernels.cpp)
target_include_directories(bench_move_kernels PRIVATE ${CMAKE_SOURCE_DIR}/x86/src ${CMAKE_SOURCE_DIR}/tests/kernels)
