# The plugin's tests: GoogleTest programs driving the elements through GstHarness and real
# pipelines. They load the plugin from build/gst with a registry of their own.
foreach(name gst_elements_test gst_end_to_end_test)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  if(name STREQUAL "gst_elements_test")
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../far_end_store.cpp)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE orvoaec_static PkgConfig::ORVO_GST_CHECK PkgConfig::ORVO_GST
                        GTest::gtest)
  target_compile_definitions(${name} PRIVATE
    ORVO_GST_PLUGIN_DIR="${CMAKE_BINARY_DIR}/gst"
    ORVO_TEST_CLI_PATH="$<TARGET_FILE:orvoaec>")
  add_dependencies(${name} gstorvoaec orvoaec)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endforeach()
