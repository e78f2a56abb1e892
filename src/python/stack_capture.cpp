#include "stack_capture.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "gil.hpp"
#include "py_errors.hpp"
#include "utf8.hpp"

namespace kulvo::py {

namespace {

constexpr const char* kUnknown = "<unknown>";
constexpr std::size_t kInitialFrameCapacity = 32;

PyObject* frame_type = nullptr;  // strong reference for the life of the process

bool is_frame(PyObject* object) {
    return frame_type != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(object)) == frame_type;
}

// PyGILState_Ensure ... PyGILState_Release around one capture. Release only gives the
// lock up, so it is safe in a destructor.
class GilState {
public:
    GilState() : state_(PyGILState_Ensure()) {}
    GilState(const GilState&) = delete;
    GilState& operator=(const GilState&) = delete;
    ~GilState() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Discards whatever Python error the capture met on its way out.
class ClearErrorOnExit {
public:
    ClearErrorOnExit() = default;
    ClearErrorOnExit(const ClearErrorOnExit&) = delete;
    ClearErrorOnExit& operator=(const ClearErrorOnExit&) = delete;
    ~ClearErrorOnExit() { PyErr_Clear(); }
};

struct CaptureNames {
    Ref sys;
    Ref current_frames;
    Ref threading;
    Ref main_thread;
    Ref ident;
    Ref get;

    bool complete() const { return sys && current_frames && threading && main_thread && ident && get; }
};

CaptureNames make_capture_names() {
    return CaptureNames{
        Ref::steal(PyUnicode_InternFromString("sys")),       Ref::steal(PyUnicode_InternFromString("_current_frames")),
        Ref::steal(PyUnicode_InternFromString("threading")), Ref::steal(PyUnicode_InternFromString("main_thread")),
        Ref::steal(PyUnicode_InternFromString("ident")),     Ref::steal(PyUnicode_InternFromString("get")),
    };
}

CaptureOutcome fatal_capture_failure() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    return CaptureOutcome{std::nullopt, Error::internal(kApiCallFailed)};
}

PyObject* original_main_thread = nullptr;  // GIL held: threading.main_thread as first seen

// threading.main_thread().ident. The original function returns threading._main_thread,
// whose ident property returns its _ident: those two are read directly. Calling them would
// run bytecode on the sampler thread, and from 3.12 a collection that the program scheduled
// runs at the next check between bytecodes, whichever thread reaches it, taking the
// program's finalizers (and the locks they wait for) onto the sampler thread.
Ref main_thread_ident(PyObject* threading, const CaptureNames& names) {
    const Ref function = Ref::steal(PyObject_GetAttr(threading, names.main_thread.get()));
    if (!function) {
        return {};
    }
    if (function.get() == original_main_thread) {
        const Ref main_thread = Ref::steal(PyObject_GetAttrString(threading, "_main_thread"));
        Ref ident = main_thread ? Ref::steal(PyObject_GetAttrString(main_thread.get(), "_ident")) : Ref();
        if (ident) {
            return ident;
        }
        PyErr_Clear();
    }
    const Ref main_thread = Ref::steal(PyObject_CallNoArgs(function.get()));
    if (!main_thread) {
        return {};
    }
    return Ref::steal(PyObject_GetAttr(main_thread.get(), names.ident.get()));
}

// The main thread's frame from the frames dict; null on any failure or miss.
// Sets `fatal` when the argument tuple cannot be created.
Ref find_main_thread_frame(PyObject* frames, const CaptureNames& names, bool& fatal) {
    const Ref threading = Ref::steal(PyImport_Import(names.threading.get()));
    if (!threading) {
        return {};
    }
    const Ref ident = main_thread_ident(threading.get(), names);
    if (!ident || ident.get() == Py_None) {
        return {};
    }
    const Ref get = Ref::steal(PyObject_GetAttr(frames, names.get.get()));
    if (!get) {
        return {};
    }
    const Ref args = Ref::steal(PyTuple_New(1));
    if (!args) {
        fatal = true;
        return {};
    }
    PyTuple_SetItem(args.get(), 0, Ref::borrow(ident.get()).release());  // steals the new reference
    Ref frame = Ref::steal(PyObject_Call(get.get(), args.get(), nullptr));
    if (!frame || frame.get() == Py_None) {
        return {};
    }
    return frame;
}

// The deepest stack of any thread; with equal depths the one met first.
std::vector<FrameInfo> deepest_stack(PyObject* frames) {
    std::vector<FrameInfo> best;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;    // borrowed from the dict
    PyObject* value = nullptr;  // borrowed from the dict
    while (PyDict_Next(frames, &position, &key, &value) != 0) {
        // Own both while walking: the walk runs Python code that could change the dict.
        const Ref owned_key = Ref::borrow(key);
        const Ref owned_value = Ref::borrow(value);
        std::vector<FrameInfo> walked = walk_frame_chain(owned_value.get());
        if (walked.size() > best.size()) {
            best = std::move(walked);
        }
    }
    return best;
}

// Where a capture reads its stack: the main thread's frame, or, when that cannot be
// found, every thread's frames to take the deepest from.
struct FoundFrames {
    Ref frames;      // sys._current_frames(); null: nothing to read
    Ref main_frame;  // null when not found
    bool fatal = false;
};

FoundFrames find_frames() {
    FoundFrames found;
    const CaptureNames names = make_capture_names();
    if (!names.complete()) {
        found.fatal = true;
        return found;
    }
    const Ref sys = Ref::steal(PyImport_Import(names.sys.get()));
    if (!sys) {
        return found;
    }
    Ref frames = Ref::steal(PyObject_CallMethodObjArgs(sys.get(), names.current_frames.get(), nullptr));
    if (!frames || !PyDict_Check(frames.get())) {
        return found;
    }
    found.main_frame = find_main_thread_frame(frames.get(), names, found.fatal);
    found.frames = std::move(frames);
    PyErr_Clear();
    return found;
}

// The text of a str attribute as UTF-8, cut at a NUL. The view points into `holder` (the
// interpreter's own UTF-8 form), or into `repaired` for text that has none (lone surrogates).
std::string_view str_attr_view(PyObject* object, const char* name, Ref& holder, std::string& repaired) {
    holder = Ref::steal(PyObject_GetAttrString(object, name));
    Py_ssize_t size = 0;
    const char* text = holder && PyUnicode_Check(holder.get()) ? PyUnicode_AsUTF8AndSize(holder.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        repaired = get_str_attr(object, name);
        return repaired;
    }
    const std::string_view view(text, static_cast<std::size_t>(size));
    return view.substr(0, view.find('\0'));
}

// Calls visit(file, function, line) for each frame from `start` outwards; the views live
// for the call only.
template <typename Visit>
void for_each_frame(PyObject* start, Visit visit) {
    Ref current = Ref::borrow(start);
    Ref file_holder;
    Ref function_holder;
    std::string file_repaired;
    std::string function_repaired;
    // A replaced sys._current_frames may hand us anything: only frames are walked.
    while (current && is_frame(current.get())) {
        const Ref code = Ref::steal(PyObject_GetAttrString(current.get(), "f_code"));
        const int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(current.get()));
        if (code) {
            const std::string_view file = str_attr_view(code.get(), "co_filename", file_holder, file_repaired);
            const std::string_view function = str_attr_view(code.get(), "co_name", function_holder, function_repaired);
            visit(file, function, static_cast<std::int32_t>(line));
        } else {
            PyErr_Clear();
        }
        Ref back = Ref::steal(PyObject_GetAttrString(current.get(), "f_back"));
        current.reset();
        if (!back) {
            PyErr_Clear();
            break;
        }
        if (back.get() == Py_None) {
            break;
        }
        current = std::move(back);
    }
}

}  // namespace

void remember_main_thread_function(PyObject* threading) {
    if (original_main_thread != nullptr || threading == nullptr) {
        return;
    }
    original_main_thread = PyObject_GetAttrString(threading, "main_thread");  // kept for the process
    if (original_main_thread == nullptr) {
        PyErr_Clear();
    }
}

bool init_frame_type() {
    const Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types) {
        return false;
    }
    PyObject* type = PyObject_GetAttrString(types.get(), "FrameType");
    if (type == nullptr) {
        return false;
    }
    Py_XDECREF(std::exchange(frame_type, type));
    return true;
}

std::string get_str_attr(PyObject* object, const char* name) {
    const Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        PyErr_Clear();
        return kUnknown;
    }
    const Ref encoded = Ref::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "replace"));
    if (!encoded) {
        PyErr_Clear();
        return kUnknown;
    }
    const char* bytes = PyBytes_AsString(encoded.get());
    if (bytes == nullptr) {
        PyErr_Clear();
        return kUnknown;
    }
    return valid_utf8(std::string_view(bytes, std::strlen(bytes)));
}

std::vector<FrameInfo> walk_frame_chain(PyObject* start) {
    std::vector<FrameInfo> frames;
    frames.reserve(kInitialFrameCapacity);
    for_each_frame(start, [&](std::string_view file, std::string_view function, std::int32_t line) {
        frames.push_back(FrameInfo{std::string(file), std::string(function), line});
    });
    std::reverse(frames.begin(), frames.end());
    return frames;
}

StackId intern_frame_chain(PyObject* start, StackTable& stacks, std::vector<FrameId>& scratch) {
    scratch.clear();
    for_each_frame(start, [&](std::string_view file, std::string_view function, std::int32_t line) {
        scratch.push_back(stacks.intern_frame(file, function, line));
    });
    std::reverse(scratch.begin(), scratch.end());
    return stacks.intern(scratch);
}

CaptureOutcome capture_main_stack_holding_gil() {
    const ClearErrorOnExit clear_errors;  // destroyed before the lock is released
    const FoundFrames found = find_frames();
    if (found.fatal) {
        return fatal_capture_failure();
    }
    if (found.main_frame) {
        std::vector<FrameInfo> walked = walk_frame_chain(found.main_frame.get());
        if (!walked.empty()) {
            return CaptureOutcome{make_snapshot(std::move(walked)), std::nullopt};
        }
    }
    std::vector<FrameInfo> deepest = found.frames ? deepest_stack(found.frames.get()) : std::vector<FrameInfo>{};
    if (deepest.empty()) {
        return {};
    }
    return CaptureOutcome{make_snapshot(std::move(deepest)), std::nullopt};
}

InternedCapture intern_main_stack_holding_gil(StackTable& stacks, std::vector<FrameId>& scratch) {
    const ClearErrorOnExit clear_errors;  // destroyed before the lock is released
    const FoundFrames found = find_frames();
    if (found.fatal) {
        return InternedCapture{kNoStack, fatal_capture_failure().error};
    }
    if (found.main_frame) {
        const StackId walked = intern_frame_chain(found.main_frame.get(), stacks, scratch);
        if (walked != kNoStack) {
            return InternedCapture{walked, std::nullopt};
        }
    }
    if (!found.frames) {
        return {};
    }
    return InternedCapture{stacks.intern(StackSnapshot{deepest_stack(found.frames.get())}), std::nullopt};
}

CaptureOutcome capture_main_stack() {
    const GilState gil;
    return capture_main_stack_holding_gil();
}

namespace {

// The sampler thread's capture: the lock taken with its own kept thread state.
class MainStackSource final : public StackSource {
public:
    explicit MainStackSource(PyThreadState* sampler_thread_state) : capture_(sampler_thread_state) {}
    InternedCapture capture(StackTable& stacks) override { return capture_.capture_with_gil(stacks); }
    void finish() override { capture_.finish(); }

private:
    SamplerThreadCapture capture_;
};

}  // namespace

std::unique_ptr<StackSource> main_stack_source(PyThreadState* sampler_thread_state) {
    return std::make_unique<MainStackSource>(sampler_thread_state);
}

}  // namespace kulvo::py
