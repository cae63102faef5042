# Installation: the shared library with the C exports, the static engine library for C++ hosts,
# the public headers, the command-line program, a CMake package (find_package(ORVOAEC)) and
# pkg-config files. The weights license notice is installed by denoise/denoise.cmake.
#
# Installed targets, all in the ORVOAEC:: namespace:
#   ORVOAEC::ORVOAEC         libORVOAEC.so, the seven C exports (include <orvoaec/orvoaec.h>)
#   ORVOAEC::orvoaec_static  liborvoaec_static.a, the C++ engine (include <orvoaec/engine.hpp>)
#   ORVOAEC::engine          the same, under a shorter name
#   ORVOAEC::orvoaec         the command-line program

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ORVOAEC
    CACHE STRING "Where the CMake package files are installed, relative to the prefix")

# Inside the build tree the headers come from the source tree; an installed tree has them
# under the prefix.
set_property(TARGET orvoaec_static PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(ORVOAEC INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS ORVOAEC orvoaec_static orvoaec
  EXPORT ORVOAECTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/orvoaec
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT ORVOAECTargets
  NAMESPACE ORVOAEC::
  FILE ORVOAECTargets.cmake
  DESTINATION ${ORVO_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ORVOAECConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/ORVOAECConfig.cmake
  INSTALL_DESTINATION ${ORVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/ORVOAECConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/ORVOAECConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/ORVOAECConfigVersion.cmake
  DESTINATION ${ORVO_INSTALL_CMAKEDIR})

# pkg-config: orvoaec for the C library, orvoaec-engine for the static C++ engine. The prefix
# is found relative to the .pc file itself, so a tree installed with `cmake --install --prefix`
# elsewhere, or moved, still works.
file(RELATIVE_PATH ORVO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ORVO_PC_TO_PREFIX "${ORVO_PC_TO_PREFIX}")
foreach(pc orvoaec orvoaec-engine)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc
                 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
