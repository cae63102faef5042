# The evaluation against peer libraries (`make evaluate`). SpeexDSP and webrtc-audio-processing
# are comparison peers only: they are looked up here, linked into this one program when found,
# and never into the library. espeak-ng speech needs libsndfile and libsoxr to read and
# resample its output; without them the scenes use the built-in speech-like generator.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(ORVO_EVAL_SPEEXDSP QUIET IMPORTED_TARGET speexdsp)
  pkg_check_modules(ORVO_EVAL_WEBRTC QUIET IMPORTED_TARGET webrtc-audio-processing)
  pkg_check_modules(ORVO_EVAL_SPEECH_IO QUIET IMPORTED_TARGET sndfile soxr)
endif()

add_executable(evaluate EXCLUDE_FROM_ALL
  ${CMAKE_SOURCE_DIR}/bench/evaluate/evaluate.cpp
  ${CMAKE_SOURCE_DIR}/bench/evaluate/scenes.cpp
  ${CMAKE_SOURCE_DIR}/bench/evaluate/processors.cpp)
target_link_libraries(evaluate PRIVATE orvoaec_internal)
set_target_properties(evaluate PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
foreach(peer SPEEXDSP WEBRTC SPEECH_IO)
  if(ORVO_EVAL_${peer}_FOUND)
    target_link_libraries(evaluate PRIVATE PkgConfig::ORVO_EVAL_${peer})
    target_compile_definitions(evaluate PRIVATE ORVO_EVAL_HAVE_${peer}=1)
  else()
    message(STATUS "evaluate: ${peer} not found; the evaluation runs without it")
  endif()
endforeach()
