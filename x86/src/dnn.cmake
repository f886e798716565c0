# Sources of this area join the library's object library (qel_objs).
# The convolution and weight reorder layers, dealt to eight source units.
foreach(unit RANGE 7)
  target_sources(qel_objs PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0_dnn_dnnl_part_${unit}.cpp)
endforeach()
