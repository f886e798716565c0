# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
qel_benchmark(bench_bn_forward_pass bn_forward_pass.cpp)
target_include_directories(bench_bn_forward_pass PRIVATE ${CMAKE_SOURCE_DIR}/x86/src)
