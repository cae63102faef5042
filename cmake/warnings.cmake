# ORVO_WERROR: turn every compiler warning into an error. CI builds with it on (the Makefile's
# targets pass it when WERROR=1, which .ci/run sets); a local build keeps warnings as warnings so
# that a newer compiler's new warning does not stop someone's work.
option(ORVO_WERROR "Treat compiler warnings as errors" OFF)
if(ORVO_WERROR)
  add_compile_options(-Werror)
endif()
