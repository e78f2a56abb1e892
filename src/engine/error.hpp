// The engine's one failure type. Engine calls return it instead of throwing; the
// binding turns it into a Python exception at its boundary, and only there.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kulvo {

struct Error {
    enum class Kind {
        Validation,  // the caller asked for something outside the allowed range
        Internal,    // the engine or the system failed; the caller did nothing wrong
    };

    Kind kind = Kind::Internal;
    std::string message;

    static Error validation(std::string message) { return Error{Kind::Validation, std::move(message)}; }
    static Error internal(std::string message) { return Error{Kind::Internal, std::move(message)}; }
};

// A value, or the error that prevented it.
template <typename T>
using Result = std::variant<T, Error>;

}  // namespace kulvo
