// Building the profile-result dict that stop() returns. Every function returns a new
// reference, or null with an exception set (PanicException when a constructor failed).
#pragma once

#include <string_view>

#include "pyref.hpp"
#include "records.hpp"

namespace kulvo::py {

Ref new_str(std::string_view text);

// dict[key] = value; a null `value` means its constructor already failed.
bool set_item(PyObject* dict, const char* key, Ref value);

// list.append(item), releasing the local reference either way.
bool append(PyObject* list, Ref item);

// With `sample_weights`, each sample also carries "weight_us" and "main_thread_waiting".
Ref result_to_py(const ProfileResult& result, bool sample_weights = false);

}  // namespace kulvo::py
