# Model interface, initialisation and parameter table (qel_pellavine.*). The
# embedded blobs themselves are assembled into qel_objs by params/.
#
# The interface calls the network function, which joins the library only once
# all of its operators exist. Until then the interface builds into an object
# library of its own, qel_model_objs, and its tests supply a recording network
# function. The integrator's one switch: QEL_MODEL_IN_LIBRARY=ON builds the
# interface into qel_objs (the shared and static libraries); qel_model_objs then
# stays an empty name for the same objects, so every link line keeps working.
option(QEL_MODEL_IN_LIBRARY "Build the model interface into the library (needs the network function)" OFF)

set(QEL_MODEL_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qel_pellavine.cpp)
if(QEL_MODEL_IN_LIBRARY)
  target_sources(qel_objs PRIVATE ${QEL_MODEL_SOURCES})
  add_library(qel_model_objs INTERFACE)
  target_link_libraries(qel_model_objs INTERFACE qel_objs)
else()
  add_library(qel_model_objs OBJECT ${QEL_MODEL_SOURCES})
  set_target_properties(qel_model_objs PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(qel_model_objs PUBLIC qel_objs)
endif()
