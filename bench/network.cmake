# Benchmarks of this area; qel_benchmark() comes from bench/CMakeLists.txt.
qel_benchmark(bench_network ${CMAKE_CURRENT_SOURCE_DIR}/network_bench.cpp)

# The same run split by operator kind: every operator call is wrapped (the
# linker's --wrap, one option per operator from bench_operator_wraps).
add_executable(bench_operator_wraps ${CMAKE_CURRENT_SOURCE_DIR}/operator_wraps.cpp)
target_include_directories(bench_operator_wraps PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/x86/src)
set(QEL_WRAPS ${CMAKE_CURRENT_BINARY_DIR}/operator_wraps.txt)
add_custom_command(OUTPUT ${QEL_WRAPS} COMMAND bench_operator_wraps > ${QEL_WRAPS} DEPENDS bench_operator_wraps)
add_custom_target(operator_wraps DEPENDS ${QEL_WRAPS})
qel_benchmark(bench_network_operators ${CMAKE_CURRENT_SOURCE_DIR}/network_operators.cpp)
target_include_directories(bench_network_operators PRIVATE ${CMAKE_SOURCE_DIR}/x86/src)
add_dependencies(bench_network_operators operator_wraps)
target_link_options(bench_network_operators PRIVATE "LINKER:@${QEL_WRAPS}")
set_target_properties(bench_network_operators PROPERTIES LINK_DEPENDS ${QEL_WRAPS})
