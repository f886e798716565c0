# Dependencies: oneDNN 3.x (installed by scripts/setup.sh into QEL_DEPS_DIR, or the
# system's package as a fallback), SLEEF and GNU OpenMP.
list(PREPEND CMAKE_PREFIX_PATH "${QEL_DEPS_DIR}/onednn")
find_package(dnnl CONFIG REQUIRED)
if(NOT dnnl_VERSION VERSION_GREATER_EQUAL 3.0 OR dnnl_VERSION VERSION_GREATER_EQUAL 4.0)
  message(FATAL_ERROR "oneDNN 3.x is required, found ${dnnl_VERSION} in ${dnnl_DIR}")
endif()
message(STATUS "oneDNN ${dnnl_VERSION} from ${dnnl_DIR}")

find_package(OpenMP REQUIRED COMPONENTS CXX)
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(WARNING "the task runtime is written for GNU OpenMP")
endif()

find_path(SLEEF_INCLUDE_DIR sleef.h REQUIRED)
find_library(SLEEF_LIBRARY sleef REQUIRED)
add_library(qel_sleef INTERFACE)
target_include_directories(qel_sleef INTERFACE ${SLEEF_INCLUDE_DIR})
target_link_libraries(qel_sleef INTERFACE ${SLEEF_LIBRARY})
