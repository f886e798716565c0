# Compiler settings for the whole project.
# The library targets x86-64 with AVX2 and FMA only: never -march=native or AVX-512.
# The kernels fix their rounding operation by operation, so contraction of a*b+c
# into FMA is off and no fast-math option is used.
add_compile_options(-Wall -Wextra -mavx2 -mfma -ffp-contract=off -fno-fast-math)
# Release builds use CMake's -O3.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(QEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Kernel sources: same flags; kept as a function so that a later change of the
# kernels' flags happens in one place.
function(qel_kernel_flags target)
  target_compile_options(${target} PRIVATE -fno-strict-aliasing)
endfunction()
