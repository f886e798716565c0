# The network schedule (qel_x86_4602A7A4_00000000_D0.cpp), part of the library.
# It is also built into an object library of its own, qel_network_objs, which
# the schedule's tests link together with recording stand-ins of its operators.
set(QEL_NETWORK_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0.cpp)
target_sources(qel_objs PRIVATE ${QEL_NETWORK_SOURCES})
add_library(qel_network_objs OBJECT ${QEL_NETWORK_SOURCES})
set_target_properties(qel_network_objs PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(qel_network_objs PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/x86/src)
