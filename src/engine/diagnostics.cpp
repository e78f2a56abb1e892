#include "diagnostics.hpp"

#include <pthread.h>

#include <cstdio>

namespace kulvo {

void report_internal_error(std::string_view message) {
    char thread_name[32] = "<unnamed>";
    pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
    std::fprintf(stderr, "kulvo: thread '%s' hit an internal error: %.*s\n", thread_name,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

}  // namespace kulvo
