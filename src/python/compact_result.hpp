// The result as the package takes it from kulvo._native: the run's stack table and one
// packed array per sample field, instead of a dict per sample and per frame.
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "records.hpp"

namespace kulvo::py {

// GIL held. A dict of:
//   "sample_count", "wall_time_ms", "kulvo_bytes": int
//   "strings": list of str, by StringId
//   "frame_files", "frame_functions", "frame_lines": bytes of int32, by FrameId
//   "stack_parents", "stack_frames": bytes of uint32, by StackId (the call tree; 0 the root)
//   "timestamp_ms", "rss_bytes", "weight_us": bytes of uint64; "cpu_percent": bytes of
//   double; "stack": bytes of uint32; "main_thread_waiting": bytes of uint8, per sample
//   "spike_events": list of the documented dicts, "peak_stack" a StackId
// Arrays in the machine's byte order, for memoryview.cast. Null with an exception set on failure.
Ref compact_result_to_py(const ProfileResult& result, std::uint64_t kulvo_bytes);

}  // namespace kulvo::py
