// `orvoaec demo`: a conference scene built on the spot, processed, written out, drawn and
// reported on.
#pragma once

#include "tools/cli_options.hpp"

namespace orvo::cli {

// Returns the program's exit status.
int RunDemo(const DemoOptions& options);

}  // namespace orvo::cli
