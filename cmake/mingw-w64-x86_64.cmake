# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-x86-64).
# The posix thread model is used so that the C++ threading library is complete; its
# winpthread runtime is linked statically (see cmake/windows.cmake), like libgcc and libstdc++.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${ORVO_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVO_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

# Only the MinGW sysroot (and prefixes given through CMAKE_PREFIX_PATH, such as the yaml-cpp
# build) is searched for headers and libraries; programs come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here run through Wine.
find_program(ORVO_WINE wine)
if(ORVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVO_WINE})
endif()

# Libraries that Debian packages for Linux only (libsndfile, libsoxr) stay out of this build; the
# command-line program then reads and writes raw PCM.
set(ORVO_WITH_SNDFILE OFF CACHE BOOL "Read and write audio files through libsndfile/libsoxr")
