# Vectorised kernels: the eight sources into which the instance table is dealt
# and the shared task bodies of the batch-normalisation and data-movement kernels.
target_sources(qel_objs PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/dfp_bn.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/dfp_move.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_0.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_1.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_2.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_3.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_4.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_5.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_6.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_7.cpp)
target_link_libraries(qel_objs PUBLIC qel_sleef)
