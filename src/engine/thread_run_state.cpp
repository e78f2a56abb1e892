#include "thread_run_state.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <string>

namespace kulvo {

namespace {

// Fields after the name: the state is field 3 of the line, the blocked signals field 32.
constexpr int kBlockedFieldAfterState = 29;

}  // namespace

RunState parse_run_state(std::string_view stat_line) {
    return parse_thread_stat(stat_line).state;
}

ThreadStat parse_thread_stat(std::string_view stat_line) {
    ThreadStat stat;
    // "tid (comm) S ...": the name may hold spaces and parentheses, so search from the end.
    const std::size_t close = stat_line.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat_line.size()) {
        return stat;
    }
    stat.state = stat_line[close + 2] == 'R' ? RunState::Running : RunState::Waiting;
    std::size_t at = close + 2;
    for (int field = 0; field < kBlockedFieldAfterState; ++field) {
        at = stat_line.find(' ', at);
        if (at == std::string_view::npos) {
            return stat;
        }
        ++at;
    }
    std::uint64_t mask = 0;
    std::size_t digits = 0;
    for (; at < stat_line.size() && stat_line[at] >= '0' && stat_line[at] <= '9' && digits < 20; ++at, ++digits) {
        mask = mask * 10 + static_cast<std::uint64_t>(stat_line[at] - '0');
    }
    if (digits > 0 && digits < 20) {
        stat.blocked_signals = mask;
    }
    return stat;
}

ThreadRunWatch::ThreadRunWatch(pid_t thread_id, pthread_t thread) {
    const std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    clockid_t clock{};
    if (pthread_getcpuclockid(thread, &clock) == 0) {
        cpu_clock_ = clock;
    }
}

ThreadRunWatch::ThreadRunWatch(pid_t thread_id) {
    const std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    constexpr clockid_t kPerThreadSchedClock = 6;  // CPUCLOCK_PERTHREAD_MASK | CPUCLOCK_SCHED
    constexpr unsigned kClockTypeBits = 3;
    cpu_clock_ = static_cast<clockid_t>((~static_cast<unsigned>(thread_id) << kClockTypeBits) | kPerThreadSchedClock);
}

std::uint64_t ThreadRunWatch::cpu_time_ns() const {
    timespec now{};
    if (!cpu_clock_ || clock_gettime(*cpu_clock_, &now) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

ThreadRunWatch::~ThreadRunWatch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

ThreadStat ThreadRunWatch::read_stat() const {
    if (fd_ < 0) {
        return {};
    }
    std::array<char, 512> buffer{};
    const ssize_t length = pread(fd_, buffer.data(), buffer.size(), 0);
    if (length <= 0) {
        return {};
    }
    return parse_thread_stat(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
}

}  // namespace kulvo
