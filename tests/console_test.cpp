#include "platform/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

bool open_pipe(int ends[2])
{
#ifdef _WIN32
    return ::_pipe(ends, 4096, _O_BINARY) == 0;
#else
    return ::pipe(ends) == 0;
#endif
}

// Standard error made the write end of a pipe for the test's length.
class error_to_pipe {
public:
    error_to_pipe()
    {
        int ends[2];
        if (!open_pipe(ends))
            throw std::runtime_error("no pipe");
        read_end = ends[0];
        ::dup2(ends[1], 2);
        ::close(ends[1]);
    }
    ~error_to_pipe()
    {
        restore();
        ::close(read_end);
    }

    // Standard error as it was; the pipe's write end closes.
    void restore()
    {
        if (saved_ < 0)
            return;
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
        platform::write_console(platform::console_stream::error, "");  // lets go of the pipe
    }

    int read_end = -1;

private:
    int saved_ = ::dup(2);
};

}  // namespace

// Standard error is a pipe nobody reads while 400 KiB are written, twice: the
// console keeps at most its backlog (beyond what the pipe holds), and each
// notice counts exactly what was dropped since the one before.
TEST(Console, AStreamNobodyReadsKeepsTheBacklogBoundAndEachNoticeCountsItsOwnLoss)
{
    error_to_pipe error;
    const std::string line = std::string(1023, 'x') + "\n";
    const std::size_t lines = 400;
    const std::regex notice(R"(\[(\d+) bytes of output not shown: the (terminal|console) did not take them\]\r?\n)");
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        for (std::size_t i = 0; i < lines; ++i)
            platform::write_console(platform::console_stream::error, line);

        // Read until the notice; meanwhile writes of nothing give the console
        // its chance to go on.
        std::string got;
        std::atomic<bool> done = false;
        bool noticed = false;
        std::thread reader([&] {
            char buffer[8192];
            for (;;) {
                const auto size = ::read(error.read_end, buffer, sizeof buffer);
                if (size <= 0)
                    break;
                got.append(buffer, static_cast<std::size_t>(size));
                if (got.ends_with("\n") && got.find("did not take them]", got.rfind('[')) != std::string::npos) {
                    noticed = true;
                    break;
                }
            }
            done = true;
        });
        const auto give_up_at = std::chrono::steady_clock::now() + 30s;
        while (!done && std::chrono::steady_clock::now() < give_up_at) {
            platform::write_console(platform::console_stream::error, "");
            std::this_thread::sleep_for(5ms);
        }
        if (!done)
            error.restore();  // the reader sees the pipe's end
        reader.join();
        ASSERT_TRUE(noticed) << "no notice of dropped output";
        // The 'x' lines kept, then the notice.
        const std::string kept = got.substr(0, got.rfind('['));
        std::smatch found;
        const std::string last = got.substr(kept.size());
        ASSERT_TRUE(std::regex_match(last, found, notice)) << last;
        const auto kept_lines = static_cast<std::size_t>(std::count(kept.begin(), kept.end(), '\n'));
        ASSERT_GT(kept_lines, 0u);
        const std::size_t line_size = kept.size() / kept_lines;  // with the system's line end
        EXPECT_EQ(kept.size(), kept_lines * line_size) << "only whole writes are kept or dropped";
        EXPECT_LE(kept.size(), 64 * 1024 + 2 * platform::console_backlog) << "more kept than the bound";
        EXPECT_EQ(std::stoull(found[1]), (lines - kept_lines) * line_size) << "kept " << kept_lines << " lines";
    }
}
