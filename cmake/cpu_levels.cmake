# Vector kernels per processor level. Every library source is compiled without floating-point
# contraction, so a product and a sum round the same way at every level (and on every compiler
# that honours the flag). On x86-64 the `*_avx2.cpp` files, and only they, are compiled for AVX2
# and FMA; the rest of the library stays at the baseline instruction set and picks the AVX2
# kernels at run time (see base/cpu_level.hpp).
add_compile_options(-ffp-contract=off)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  add_compile_definitions(ORVO_CPU_AVX2=1)
  file(GLOB ORVO_AVX2_SOURCES CONFIGURE_DEPENDS
       ${CMAKE_SOURCE_DIR}/base/*_avx2.cpp
       ${CMAKE_SOURCE_DIR}/audio_core/*_avx2.cpp
       ${CMAKE_SOURCE_DIR}/denoise/*_avx2.cpp)
  set_property(SOURCE ${ORVO_AVX2_SOURCES} APPEND PROPERTY COMPILE_OPTIONS -mavx2 -mfma -mf16c)
else()
  add_compile_definitions(ORVO_CPU_AVX2=0)
endif()

# GCC for Windows cannot align the stack to 32 bytes: a spilled AVX register could be stored with
# an aligned move to a misaligned slot. The assembler turns those moves into unaligned ones.
if(MINGW)
  set_property(SOURCE ${ORVO_AVX2_SOURCES} APPEND PROPERTY COMPILE_OPTIONS
               -Wa,-muse-unaligned-vector-move)
endif()
