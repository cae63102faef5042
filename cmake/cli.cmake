# The command-line program `orvoaec`. WAV and other audio files go through libsndfile, other
# sample rates through libsoxr; both are found with pkg-config and are optional: without them
# (e.g. a MinGW cross build) the program is built for raw PCM only.
#
# CLI11 (options) and nlohmann/json (statistics) are header-only. Their headers are copied from
# the host's include directory into the build tree so that a cross build can use them without
# putting the host's whole /usr/include on its search path.

# The program's parts live in a static library so that the tests can use them directly.
add_library(orvoaec_cli_units STATIC
  ${CMAKE_SOURCE_DIR}/tools/cli_options.cpp
  ${CMAKE_SOURCE_DIR}/tools/audio_file.cpp
  ${CMAKE_SOURCE_DIR}/tools/frame_runner.cpp
  ${CMAKE_SOURCE_DIR}/tools/run_stats.cpp
  ${CMAKE_SOURCE_DIR}/tools/demo.cpp)
target_link_libraries(orvoaec_cli_units PUBLIC orvoaec_internal)
# Option parsing and JSON do no work worth optimising, and their header-only libraries are slow
# to compile at -O3; this keeps `make demo` on a fresh machine quick.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/cli_options.cpp
                            ${CMAKE_SOURCE_DIR}/tools/run_stats.cpp PROPERTIES COMPILE_OPTIONS -O1)
add_executable(orvoaec ${CMAKE_SOURCE_DIR}/tools/orvoaec_cli.cpp)
target_link_libraries(orvoaec PRIVATE orvoaec_cli_units)
set_target_properties(orvoaec PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

set(ORVO_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header_only)
foreach(header CLI/CLI.hpp nlohmann/json.hpp)
  get_filename_component(folder ${header} DIRECTORY)
  string(MAKE_C_IDENTIFIER ${folder} var)
  find_path(ORVO_${var}_INCLUDE ${header} PATHS /usr/include /usr/local/include
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ORVO_${var}_INCLUDE)
    message(FATAL_ERROR "${header} not found (Debian: libcli11-dev, nlohmann-json3-dev)")
  endif()
  file(COPY ${ORVO_${var}_INCLUDE}/${folder} DESTINATION ${ORVO_HEADER_ONLY_DIR})
endforeach()
target_include_directories(orvoaec_cli_units SYSTEM PUBLIC ${ORVO_HEADER_ONLY_DIR})

# A cross build would find the host's libraries through the host's pkg-config, so there the
# audio-file support is off unless asked for.
if(CMAKE_CROSSCOMPILING)
  option(ORVO_CLI_AUDIO_FILES "orvoaec reads audio files with libsndfile and libsoxr" OFF)
else()
  option(ORVO_CLI_AUDIO_FILES "orvoaec reads audio files with libsndfile and libsoxr" ON)
endif()
if(ORVO_CLI_AUDIO_FILES)
  find_package(PkgConfig QUIET)
endif()
if(ORVO_CLI_AUDIO_FILES AND PkgConfig_FOUND)
  pkg_check_modules(ORVO_SNDFILE IMPORTED_TARGET sndfile)
  pkg_check_modules(ORVO_SOXR IMPORTED_TARGET soxr)
endif()
if(ORVO_SNDFILE_FOUND AND ORVO_SOXR_FOUND)
  target_link_libraries(orvoaec_cli_units PUBLIC PkgConfig::ORVO_SNDFILE PkgConfig::ORVO_SOXR)
  target_compile_definitions(orvoaec_cli_units PUBLIC ORVO_HAVE_SNDFILE=1)
  set(ORVO_CLI_HAS_SNDFILE ON)
else()
  message(STATUS "orvoaec: without libsndfile/libsoxr (not found, or ORVO_CLI_AUDIO_FILES off); raw PCM only")
  set(ORVO_CLI_HAS_SNDFILE OFF)
endif()
