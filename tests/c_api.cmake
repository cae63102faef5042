# The plain C host that loads the shared library through dlopen.
add_executable(c_api_host ${CMAKE_SOURCE_DIR}/tests/c_host/c_api_host.c)
target_include_directories(c_api_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(c_api_host PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(c_api_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(c_api_host ORVOAEC)
add_test(NAME CApiHost COMMAND c_api_host $<TARGET_FILE:ORVOAEC>)

# Exactly the seven exports, nothing of the engine's internals.
add_test(NAME SharedLibraryExports
         COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:ORVOAEC>
                 -P ${CMAKE_SOURCE_DIR}/tests/scripts/check_exports.cmake)
