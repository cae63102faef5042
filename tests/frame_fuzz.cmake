# The frame-entry fuzzing: the fixed-iteration test (every build) and the libFuzzer target
# (clang, `make fuzz`). Both drive the C exports, so they compile them in.
if(TARGET frame_fuzz_test)
  target_sources(frame_fuzz_test PRIVATE ${CMAKE_SOURCE_DIR}/api/exports.cpp)
endif()
if(ORVO_FUZZ)
  add_executable(frame_fuzz ${CMAKE_SOURCE_DIR}/tests/fuzz/frame_fuzz.cpp
                            ${CMAKE_SOURCE_DIR}/api/exports.cpp)
  target_link_libraries(frame_fuzz PRIVATE orvoaec_internal)
  target_compile_options(frame_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(frame_fuzz PRIVATE -fsanitize=fuzzer)
  set_target_properties(frame_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endif()
