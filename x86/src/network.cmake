# The network schedule (qel_x86_4602A7A4_00000000_D0.cpp) calls all 736
# operators, so it can join the library only once every operator exists. It
# always builds into an object library of its own, qel_network_objs, which the
# schedule's tests link together with recording stand-ins of the operators.
# The integrator's one switch: QEL_NETWORK_IN_LIBRARY=ON builds it into qel_objs
# too (the shared and static libraries), and with it the main job (x86/app) and
# the network benchmark.
option(QEL_NETWORK_IN_LIBRARY "Build the network function into the library (needs every operator)" OFF)

set(QEL_NETWORK_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qel_x86_4602A7A4_00000000_D0.cpp)
add_library(qel_network_objs OBJECT ${QEL_NETWORK_SOURCES})
set_target_properties(qel_network_objs PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(qel_network_objs PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/x86/src)
if(QEL_NETWORK_IN_LIBRARY)
  target_sources(qel_objs PRIVATE ${QEL_NETWORK_SOURCES})
endif()
