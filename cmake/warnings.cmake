# ORVO_WERROR: turn every compiler warning into an error. CI builds with it on: .ci/run exports
# ORVO_WERROR=1, and the environment variable, when set, decides the option at every configure
# (so every Makefile target, including the sanitizer, thread and Windows builds, follows it). A
# local build keeps warnings as warnings unless asked, so that a newer compiler's new warning
# does not stop someone's work.
option(ORVO_WERROR "Treat compiler warnings as errors" OFF)
if(DEFINED ENV{ORVO_WERROR})
  if("$ENV{ORVO_WERROR}" MATCHES "^(1|ON|on|YES|yes|TRUE|true)$")
    set(ORVO_WERROR ON CACHE BOOL "Treat compiler warnings as errors" FORCE)
  else()
    set(ORVO_WERROR OFF CACHE BOOL "Treat compiler warnings as errors" FORCE)
  endif()
endif()
if(ORVO_WERROR)
  add_compile_options(-Werror)
endif()
