# Reliability checks. Sanitizer builds also run the engine's finite-state check after every
# frame (debug builds always do), so every test run under the sanitizers checks that no NaN or
# infinity is carried from frame to frame.
if(ORVO_SANITIZE)
  target_compile_definitions(orvoaec_static PRIVATE ORVO_FINITE_CHECKS=1)
endif()
