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
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
                       PROPERTIES FIXTURES_REQUIRED orvo_gst_registry)
endforeach()

# The tests share a plugin registry in build/gst. Building it loads every installed GStreamer
# plugin into the process, and GLib then drops its pointer to a block its load-time constructor
# allocated: under LeakSanitizer (make sanitize) that one-time block would be reported by
# whichever test happened to build the registry. So one run builds it first, with leak
# detection off; every test after it finds the registry ready.
add_test(NAME gst_registry_scan COMMAND gst_elements_test --gtest_filter=OrvoAecLatency.*
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
set_tests_properties(gst_registry_scan PROPERTIES FIXTURES_SETUP orvo_gst_registry
                     ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
