# libFuzzer target for the configuration loader; needs clang. `make fuzz` configures a separate
# build-fuzz directory with clang, ASan/UBSan and coverage instrumentation and runs it.
option(ORVO_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(ORVO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVO_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_executable(config_fuzz ${CMAKE_SOURCE_DIR}/tests/fuzz/config_fuzz.cpp)
  target_link_libraries(config_fuzz PRIVATE orvoaec_internal)
  target_compile_options(config_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(config_fuzz PRIVATE -fsanitize=fuzzer)
  set_target_properties(config_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endif()
