# Neural noise suppressor: the network weights are embedded into orvoaec_static from a source
# generated at build time, after a SHA-256 check; their license ships with the installed files.

set(ORVO_DENOISE_WEIGHTS ${CMAKE_SOURCE_DIR}/denoise/model/weights.bin)
set(ORVO_DENOISE_WEIGHTS_LICENSE ${CMAKE_SOURCE_DIR}/denoise/model/LICENSE-weights.txt)
set(ORVO_DENOISE_WEIGHTS_SHA256
    e7b21630506486dab0f6fce0de581a3884b118d1daa05e984de8f6b7cd50c5b0)
set(ORVO_DENOISE_EMBED_SCRIPT ${CMAKE_SOURCE_DIR}/denoise/embed_weights.cmake)
set(ORVO_DENOISE_WEIGHTS_SOURCE ${CMAKE_BINARY_DIR}/generated/denoise_model_weights.cpp)

# Early check at configure time; the build step below checks again whenever the file changes.
file(SHA256 ${ORVO_DENOISE_WEIGHTS} orvo_denoise_weights_sha256)
if(NOT orvo_denoise_weights_sha256 STREQUAL ORVO_DENOISE_WEIGHTS_SHA256)
  message(FATAL_ERROR "denoise/model/weights.bin: SHA-256 ${orvo_denoise_weights_sha256}, "
                      "expected ${ORVO_DENOISE_WEIGHTS_SHA256}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORVO_DENOISE_WEIGHTS})

add_custom_command(
  OUTPUT ${ORVO_DENOISE_WEIGHTS_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DWEIGHTS=${ORVO_DENOISE_WEIGHTS}
          -DEXPECTED_SHA256=${ORVO_DENOISE_WEIGHTS_SHA256}
          -DOUTPUT=${ORVO_DENOISE_WEIGHTS_SOURCE} -P ${ORVO_DENOISE_EMBED_SCRIPT}
  DEPENDS ${ORVO_DENOISE_WEIGHTS} ${ORVO_DENOISE_EMBED_SCRIPT}
  COMMENT "Embedding and checking the noise suppressor weights"
  VERBATIM)
target_sources(orvoaec_static PRIVATE ${ORVO_DENOISE_WEIGHTS_SOURCE})

file(GLOB ORVO_DENOISE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/denoise/*.cpp)
# The activations convert floats to integers; have the undefined-behaviour sanitizer watch those
# conversions too (it leaves them out by default).
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND ORVO_SANITIZE MATCHES "undefined")
  set_property(SOURCE ${ORVO_DENOISE_SOURCES} APPEND PROPERTY COMPILE_OPTIONS
               -fsanitize=float-cast-overflow)
endif()

include(GNUInstallDirs)
install(FILES ${ORVO_DENOISE_WEIGHTS_LICENSE} DESTINATION ${CMAKE_INSTALL_DOCDIR})
