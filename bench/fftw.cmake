# FFTW in single precision, only as the comparison in the transform benchmark. The benchmark
# builds without it and then measures the engine's own transforms alone.
find_path(ORVO_FFTW_INCLUDE_DIR fftw3.h)
find_library(ORVO_FFTW3F_LIBRARY fftw3f)
if(TARGET transform_bench AND ORVO_FFTW_INCLUDE_DIR AND ORVO_FFTW3F_LIBRARY)
  target_include_directories(transform_bench PRIVATE ${ORVO_FFTW_INCLUDE_DIR})
  target_link_libraries(transform_bench PRIVATE ${ORVO_FFTW3F_LIBRARY})
  target_compile_definitions(transform_bench PRIVATE ORVO_BENCH_WITH_FFTW=1)
  message(STATUS "transform_bench: comparing with FFTW (${ORVO_FFTW3F_LIBRARY})")
endif()
