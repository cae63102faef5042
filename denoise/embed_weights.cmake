# Turns the network weights into a C++ source that holds them as a constant array, after checking
# the file against its published SHA-256. Run as a script:
#   cmake -DWEIGHTS=<weights.bin> -DEXPECTED_SHA256=<hex> -DOUTPUT=<file.cpp> -P embed_weights.cmake
# A missing file, a wrong size or a checksum mismatch stops with an error (no output written).

foreach(var WEIGHTS EXPECTED_SHA256 OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_weights: ${var} not set")
  endif()
endforeach()
if(NOT EXISTS "${WEIGHTS}")
  message(FATAL_ERROR "embed_weights: ${WEIGHTS} not found")
endif()

file(SHA256 "${WEIGHTS}" actual)
if(NOT actual STREQUAL EXPECTED_SHA256)
  message(FATAL_ERROR "embed_weights: SHA-256 of ${WEIGHTS} is ${actual}, expected "
                      "${EXPECTED_SHA256}")
endif()

file(READ "${WEIGHTS}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
if(NOT byte_count EQUAL 87503)
  message(FATAL_ERROR "embed_weights: ${WEIGHTS} has ${byte_count} bytes, expected 87503")
endif()

# A line break after every 16 bytes, then 0xNN per byte.
string(REPEAT "[0-9a-f]" 32 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n" lines "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${lines}")

set(content "// Generated from denoise/model/weights.bin (SHA-256 ${EXPECTED_SHA256}).
// Trained weights of the RNNoise model; see LICENSE-weights.txt beside that file.
#include <cstddef>

namespace orvo {

extern const unsigned char kDenoiseModelData[${byte_count}];
alignas(64) const unsigned char kDenoiseModelData[${byte_count}] = {
${body}
};

}  // namespace orvo
")
# Rewrite only on change, so that an unchanged model does not rebuild the library.
file(WRITE "${OUTPUT}.tmp" "${content}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
