# Model interface, initialisation and parameter table (qel_pellavine.*). The
# embedded blobs themselves are assembled into qel_objs by params/.
target_sources(qel_objs PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/qel_pellavine.cpp)
