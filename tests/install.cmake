# Installs into a temporary prefix and builds and runs the examples against it (CMake package,
# pkg-config, the installed program). Not in sanitizer builds: their libraries need the
# sanitizer runtime in every host, which a plain host project does not link.
if(NOT ORVO_SANITIZE)
  add_test(NAME InstallAndReuse
           COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/install_check.sh ${CMAKE_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(InstallAndReuse PROPERTIES TIMEOUT 600 LABELS install)
endif()
