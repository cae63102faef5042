# The Windows build (cross-compiled with MinGW-w64, see cmake/mingw-w64-x86_64.cmake):
# ORVOAEC.dll with its seven exports at ordinals 1 to 7 (api/ORVOAEC.def), its import library
# ORVOAEC.lib, orvoaec.exe and the C host test. The GCC runtimes (libgcc, libstdc++,
# winpthread) are linked statically, so the DLL and the programs import system DLLs only and a
# host can simply drop the DLL beside itself.
if(NOT WIN32)
  return()
endif()

# The Documents folder comes from the shell (SHGetSpecialFolderLocation, SHGetPathFromIDListW,
# CoTaskMemFree).
target_link_libraries(orvoaec_static PUBLIC shell32 ole32)

# Release builds drop the symbol tables (a third of the size); the exports stay.
set(orvo_windows_static_runtime -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)

# Header-only Debian libraries (for instance CLI11 or nlohmann-json) have no MinGW packages, and
# their headers serve every target. They are shown to the cross compiler one folder at a time,
# through links in a folder of their own, never through /usr/include as a whole, whose C library
# headers are glibc's:  orvo_windows_host_headers(<target> CLI nlohmann ...)
function(orvo_windows_host_headers target)
  set(folder ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${folder})
  foreach(name ${ARGN})
    if(NOT EXISTS /usr/include/${name})
      message(FATAL_ERROR "/usr/include/${name} is missing (install its Debian package)")
    endif()
    file(CREATE_LINK /usr/include/${name} ${folder}/${name} SYMBOLIC)
  endforeach()
  target_include_directories(${target} SYSTEM PRIVATE ${folder})
endfunction()

set_target_properties(ORVOAEC PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The module-definition file alone decides what is exported.
target_link_options(ORVOAEC PRIVATE ${orvo_windows_static_runtime} -Wl,--exclude-all-symbols)
set_property(TARGET ORVOAEC APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/api/ORVOAEC.def)

target_link_options(orvoaec PRIVATE ${orvo_windows_static_runtime})
# M_PI and friends: MinGW's math.h hides them in strict ISO mode unless asked for.
target_compile_definitions(orvoaec_cli_units PUBLIC _USE_MATH_DEFINES)

# The plain C host test: loads ORVOAEC.dll with LoadLibrary and GetProcAddress (by name and by
# ordinal). Run under Wine by tests/windows/run_wine_tests.sh.
add_executable(c_api_host ${CMAKE_SOURCE_DIR}/tests/c_host/c_api_host.c)
target_include_directories(c_api_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_options(c_api_host PRIVATE ${orvo_windows_static_runtime})
set_target_properties(c_api_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(c_api_host PRIVATE shell32)
add_dependencies(c_api_host ORVOAEC)

# GoogleTest for the target, built from the sources Debian's libgtest-dev ships: the Windows side
# of the platform layer is tested under Wine by tests/windows/file_io_windows_test.cpp.
set(ORVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (libgtest-dev)")
if(EXISTS ${ORVO_GTEST_SOURCE}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ORVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_executable(file_io_windows_test ${CMAKE_SOURCE_DIR}/tests/windows/file_io_windows_test.cpp)
  target_link_libraries(file_io_windows_test PRIVATE orvoaec_internal gtest gtest_main)
  target_link_options(file_io_windows_test PRIVATE ${orvo_windows_static_runtime})
  set_target_properties(file_io_windows_test PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
