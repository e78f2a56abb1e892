// Stopping live sampler threads when the interpreter exits.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// Registers, with atexit, a hook that stops every live sampler thread before the
// interpreter finalizes. Up to 3.13 a thread that waits for the interpreter lock
// during finalization is ended by a forced unwind; stopped first, none is waiting.
bool register_exit_hook();

}  // namespace kulvo::py
