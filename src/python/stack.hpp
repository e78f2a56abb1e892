// Capturing the main thread's Python stack from the sampler thread, and turning a
// captured stack back into Python objects.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "pyref.hpp"
#include "records.hpp"
#include "sampler.hpp"

namespace kulvo::py {

// Remembers the frame type, so that a value that is not a frame never reaches a
// frame-only call. Called once at module initialisation; GIL held.
bool init_frame_type();

// Takes and releases the interpreter lock itself; never raises and leaves no error set.
// Its only failure is the fatal one: a constant name string or the argument tuple
// could not be created.
CaptureOutcome capture_main_stack();

// GIL held. Outermost frame first; empty when no frame had a readable code object.
std::vector<FrameInfo> walk_frame_chain(PyObject* start);

// GIL held. The attribute's text ("replace" encoding, cut at a NUL) or "<unknown>".
std::string get_str_attr(PyObject* object, const char* name);

// GIL held. A new list of {"file", "function", "line"} dicts, or null with an exception set.
Ref stack_to_py(std::span<const FrameInfo> frames);

}  // namespace kulvo::py
