# Vectorised kernels: the eight sources into which the instance table is dealt,
# the shared task bodies of the batch-normalisation kernels, and any sources of
# the data-movement kernels (dfp_move*.cpp).
target_sources(qel_objs PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/dfp_bn.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_0.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_1.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_2.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_3.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_4.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_5.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_6.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_7.cpp)
# Off only to build a tree in which those sources are unfinished.
option(QEL_DFP_MOVE_SOURCES "Build the data-movement kernel sources dfp_move*.cpp" ON)
if(QEL_DFP_MOVE_SOURCES)
  file(GLOB QEL_DFP_MOVE_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/dfp_move*.cpp)
  target_sources(qel_objs PRIVATE ${QEL_DFP_MOVE_FILES})
endif()
target_link_libraries(qel_objs PUBLIC qel_sleef)
