// The generated scenes the tests use: speech-like signals, noise, room responses and echoes.
//
// The generator itself is tools/scene.hpp, because the demo (tools/demo.cpp), the evaluation
// (bench/evaluate/) and the benchmarks run the same scenes and must not depend on tests/. Tests
// include this header rather than the tool's, so that everything a test shares with other tests
// is found under tests/support/, and a test-only scene helper has one place to go.
#pragma once

#include "tools/scene.hpp"  // IWYU pragma: export
