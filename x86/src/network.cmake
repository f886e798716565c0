# The network schedule (qel_x86_4602A7A4_00000000_D0.cpp).
target_sources(qel_objs PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0.cpp)
