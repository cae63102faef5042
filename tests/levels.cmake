# scene_checksums: the checksums of the engine's output on a fixed set of scenes (and, with
# --out DIR, the outputs themselves), to compare builds, processor levels and systems. The test
# below runs it at the process's own level and with the level forced to the baseline; the two
# must agree.
add_executable(scene_checksums ${CMAKE_SOURCE_DIR}/tests/support/scene_checksums.cpp)
target_link_libraries(scene_checksums PRIVATE orvoaec_internal)
set_target_properties(scene_checksums PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME EngineLevels.ForcedBaselineProcessGivesTheSameOutput
         COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:scene_checksums>
                 -P ${CMAKE_SOURCE_DIR}/tests/support/compare_levels.cmake)
