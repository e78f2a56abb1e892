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

// The unsigned decimal that starts at `at`; nullopt without a digit or past 19 of them.
std::optional<std::uint64_t> decimal_at(std::string_view text, std::size_t at) {
    constexpr std::size_t kMostDigits = 19;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits <= kMostDigits; ++at, ++digits) {
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    if (digits == 0 || digits > kMostDigits) {
        return std::nullopt;
    }
    return value;
}

// One of the thread's files under /proc, opened for reading; -1 when it cannot be.
int open_task_file(pid_t thread_id, const char* name) {
    const std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/" + name;
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

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
    stat.blocked_signals = decimal_at(stat_line, at);
    return stat;
}

std::optional<std::uint64_t> parse_voluntary_switches(std::string_view status_text) {
    constexpr std::string_view kKey = "\nvoluntary_ctxt_switches:";
    const std::size_t key = status_text.find(kKey);
    if (key == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t at = key + kKey.size();
    while (at < status_text.size() && (status_text[at] == ' ' || status_text[at] == '\t')) {
        ++at;
    }
    return decimal_at(status_text, at);
}

ThreadRunWatch::ThreadRunWatch(pid_t thread_id, pthread_t thread)
    : thread_id_(thread_id), fd_(open_task_file(thread_id, "stat")) {
    clockid_t clock{};
    if (pthread_getcpuclockid(thread, &clock) == 0) {
        cpu_clock_ = clock;
    }
}

ThreadRunWatch::ThreadRunWatch(pid_t thread_id) : thread_id_(thread_id), fd_(open_task_file(thread_id, "stat")) {
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

std::optional<std::uint64_t> ThreadRunWatch::voluntary_switches() {
    if (!status_opened_) {
        status_opened_ = true;
        status_fd_ = open_task_file(thread_id_, "status");
    }
    if (status_fd_ < 0) {
        return std::nullopt;
    }
    std::array<char, 4096> buffer{};  // the whole file, some 1.5 KiB
    const ssize_t length = pread(status_fd_, buffer.data(), buffer.size(), 0);
    if (length <= 0) {
        return std::nullopt;
    }
    return parse_voluntary_switches(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
}

ThreadRunWatch::~ThreadRunWatch() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (status_fd_ >= 0) {
        close(status_fd_);
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
