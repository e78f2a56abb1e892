// Capturing the main thread's Python stack from the sampler thread: bounded, never
// raises, "<unknown>" for what cannot be read.
#pragma once

#include <string>
#include <vector>

#include "pyref.hpp"
#include "sampler.hpp"
#include "stack_record.hpp"

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

}  // namespace kulvo::py
