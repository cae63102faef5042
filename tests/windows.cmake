# Linux side of the Windows tests (tests/windows/run_wine_tests.sh): the scene generator whose
# files both builds process, so that their outputs can be compared byte for byte.
if(NOT WIN32)
  add_executable(scene_files ${CMAKE_SOURCE_DIR}/tests/windows/scene_files.cpp)
  target_include_directories(scene_files PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(scene_files PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
