# Noise suppressor tests: extra sanitizer coverage and the weights checksum check.

# The activations convert floats to integers; the undefined-behaviour sanitizer leaves such
# conversions out unless asked.
if(ORVO_SANITIZE MATCHES "undefined")
  foreach(t denoise_network_test denoiser_test)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -fsanitize=float-cast-overflow)
    endif()
  endforeach()
endif()

# A weights file that does not match the published SHA-256 must stop the embedding step.
set(orvo_bad_weights ${CMAKE_BINARY_DIR}/tests/denoise_bad_weights.bin)
file(WRITE ${orvo_bad_weights} "not the model")
add_test(NAME DenoiseWeights.ChecksumMismatchFailsTheBuild
         COMMAND ${CMAKE_COMMAND} -DWEIGHTS=${orvo_bad_weights}
                 -DEXPECTED_SHA256=${ORVO_DENOISE_WEIGHTS_SHA256}
                 -DOUTPUT=${CMAKE_BINARY_DIR}/tests/denoise_bad_weights.cpp
                 -P ${ORVO_DENOISE_EMBED_SCRIPT})
# (Passes on the checksum error, which the script reports only on its failing path.)
set_tests_properties(DenoiseWeights.ChecksumMismatchFailsTheBuild PROPERTIES
                     PASS_REGULAR_EXPRESSION "embed_weights: SHA-256 of")
add_test(NAME DenoiseWeights.PublishedFileIsEmbedded
         COMMAND ${CMAKE_COMMAND} -DWEIGHTS=${ORVO_DENOISE_WEIGHTS}
                 -DEXPECTED_SHA256=${ORVO_DENOISE_WEIGHTS_SHA256}
                 -DOUTPUT=${CMAKE_BINARY_DIR}/tests/denoise_good_weights.cpp
                 -P ${ORVO_DENOISE_EMBED_SCRIPT})
