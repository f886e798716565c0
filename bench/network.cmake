# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
# The whole-network benchmark needs the complete library: the network function
# and the model interface built into it (x86/src/network.cmake, model.cmake).
if(QEL_NETWORK_IN_LIBRARY AND QEL_MODEL_IN_LIBRARY)
  qel_benchmark(bench_network ${CMAKE_CURRENT_SOURCE_DIR}/network_bench.cpp)
endif()
