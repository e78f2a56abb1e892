// Capturing the main thread's Python stack from the sampler thread: bounded, never
// raises, "<unknown>" for what cannot be read.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "gil.hpp"
#include "pyref.hpp"
#include "sampler.hpp"
#include "stack_record.hpp"
#include "stack_table.hpp"

namespace kulvo::py {

// Remembers the frame type, so that a value that is not a frame never reaches a
// frame-only call. Called once at module initialisation; GIL held.
bool init_frame_type();

// Called on a Python thread before the first capture (GIL held): remembers the function
// threading.main_thread, so that captures can tell it from a replacement.
void remember_main_thread_function(PyObject* threading);

// Takes and releases the interpreter lock itself; never raises and leaves no error set.
// Its only failure is the fatal one: a constant name string or the argument tuple
// could not be created.
CaptureOutcome capture_main_stack();

// The same with the lock already held.
CaptureOutcome capture_main_stack_holding_gil();

// The same interned as it walks: the names of a frame already in the table are not copied.
// `scratch` is the caller's, kept between captures.
InternedCapture intern_main_stack_holding_gil(StackTable& stacks, std::vector<FrameId>& scratch);

// The capture as the sampler thread makes it: its own thread state kept between captures,
// and no garbage collection on that thread.
class SamplerThreadCapture {
public:
    explicit SamplerThreadCapture(PyThreadState* state) : gil_(state) {}
    void finish() { gil_.finish(); }

    InternedCapture capture_with_gil(StackTable& stacks) {
        return capture_with_gil_then(stacks, [] {});
    }
    // Runs `while_held` too before the lock is given up, when the main thread cannot run.
    template <typename WhileHeld>
    InternedCapture capture_with_gil_then(StackTable& stacks, WhileHeld while_held) {
        gil_.acquire();
        InternedCapture outcome;
        {
            const GcPause no_collection;
            outcome = intern_main_stack_holding_gil(stacks, scratch_);
        }
        while_held();
        gil_.release();
        return outcome;
    }

private:
    SamplerThreadGil gil_;
    std::vector<FrameId> scratch_;  // sampler thread only
};

// A source of main-thread stacks for the sampler thread, through SamplerThreadCapture.
std::unique_ptr<StackSource> main_stack_source(PyThreadState* sampler_thread_state);

// GIL held. Outermost frame first; empty when no frame had a readable code object.
std::vector<FrameInfo> walk_frame_chain(PyObject* start);

// GIL held. The attribute's text ("replace" encoding, cut at a NUL) or "<unknown>".
std::string get_str_attr(PyObject* object, const char* name);

}  // namespace kulvo::py
