#include "platform/linux/started_programs.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>

namespace platform::linux_layer {
namespace {

// How long after its end a program's signal still counts as its own.
constexpr std::int64_t recent_ms = 5000;

// The latest programs started, more than ever run at once. A slot's pid is
// set last, so that the handler never takes an ended time for it that was
// another program's.
struct program {
    std::atomic<pid_t> pid = 0;
    std::atomic<std::int64_t> ended_ms = 0;  // 0 while it runs
};
std::array<program, 64> programs;
std::atomic<unsigned> programs_started = 0;
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

std::int64_t now_ms() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void program_started(pid_t pid) noexcept
{
    program& slot = programs[programs_started.fetch_add(1) % programs.size()];
    slot.pid = 0;
    slot.ended_ms = 0;
    slot.pid = pid;
}

void program_ended(pid_t pid) noexcept
{
    const std::int64_t now = now_ms();
    for (program& slot : programs)
        if (slot.pid == pid)
            slot.ended_ms = now > 0 ? now : 1;
}

bool started_by_runner(pid_t pid) noexcept
{
    if (pid <= 0)
        return false;
    for (const program& slot : programs) {
        if (slot.pid != pid)
            continue;
        const std::int64_t ended = slot.ended_ms;
        if (ended == 0 || now_ms() - ended < recent_ms)
            return true;
    }
    return false;
}

}  // namespace platform::linux_layer
