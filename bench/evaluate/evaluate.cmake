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

add_executable(evaluate
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

# The whole evaluation once (about half a minute): every processor runs and the report is
# complete. Left out of the sanitizer runs by its _Slow suffix.
if(BUILD_TESTING)
  set(orvo_eval_peers "")
  if(ORVO_EVAL_SPEEXDSP_FOUND)
    list(APPEND orvo_eval_peers SpeexDSP)
  endif()
  if(ORVO_EVAL_WEBRTC_FOUND)
    list(APPEND orvo_eval_peers webrtc-audio-processing)
  endif()
  add_test(NAME EvaluationRun_Slow
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:evaluate>
                   -DOUTPUT=${CMAKE_BINARY_DIR}/bench/evaluation_test.md
                   "-DPEERS=${orvo_eval_peers}"
                   -P ${CMAKE_SOURCE_DIR}/tests/scripts/check_evaluation.cmake)
  set_tests_properties(EvaluationRun_Slow PROPERTIES TIMEOUT 600)
endif()
