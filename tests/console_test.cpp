#include "platform/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

bool open_pipe(int ends[2])
{
#ifdef _WIN32
    return ::_pipe(ends, 4096, _O_BINARY) == 0;
#else
    return ::pipe(ends) == 0 && ::fcntl(ends[1], F_SETPIPE_SZ, 4096) >= 0;
#endif
}

// Standard error (or output) made the write end of a pipe of 4 KiB for the
// test's length.
class stream_to_pipe {
public:
    explicit stream_to_pipe(int fd = 2) : fd_(fd)
    {
        std::fflush(stdout);
        int ends[2];
        if (!open_pipe(ends))
            throw std::runtime_error("no pipe");
        read_end = ends[0];
        ::dup2(ends[1], fd_);
        ::close(ends[1]);
    }
    ~stream_to_pipe()
    {
        restore();
        if (read_end >= 0)
            ::close(read_end);
    }

    // The stream as it was; the pipe's write end closes.
    void restore()
    {
        if (saved_ < 0)
            return;
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
        // Lets go of the pipe.
        fd_ == 2 ? platform::write_console(platform::console_stream::error, "") : platform::flush_records();
    }

    // Reads the pipe to its end.
    std::thread read_all(std::string& got)
    {
        return std::thread([this, &got] {
            char buffer[8192];
            for (int size; (size = static_cast<int>(::read(read_end, buffer, sizeof buffer))) > 0;)
                got.append(buffer, static_cast<std::size_t>(size));
        });
    }

    int read_end = -1;

private:
    int fd_;
    int saved_ = ::dup(fd_);
};

}  // namespace

// Standard error is a pipe nobody reads while 400 KiB are written, twice: the
// console keeps at most its backlog (beyond what the pipe holds), and each
// notice counts exactly what was dropped since the one before.
TEST(Console, AStreamNobodyReadsKeepsTheBacklogBoundAndEachNoticeCountsItsOwnLoss)
{
    stream_to_pipe error;
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

// Records on standard output, a pipe: nobody reads it until 400 KiB of
// records are written; a record bigger than the pipe is unread at the exit;
// the pipe's reader has gone. Each record reaches the pipe whole or is counted
// as not written, and no more is held back than the bound.
TEST(Console, RecordsAreWrittenWholeOrCountedAndHeldBackWithinTheBound)
{
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);  // as the program has it
#endif
    const std::size_t records = 400;
    const std::string record = "{" + std::string(1021, 'r') + "}\n", big = "{" + std::string(60000, 'b') + "}\n";
    std::size_t lost = platform::drain_records(0ms), not_written = 0, cut_at_exit = 0, refused = 0;
    std::string got, got_big;
    {
        stream_to_pipe output(1);
        for (std::size_t i = 0; i < records; ++i)
            platform::write_record(record);
        std::thread reader = output.read_all(got);
        not_written = platform::drain_records(30s) - lost;
        output.restore();
        reader.join();
    }
    {
        stream_to_pipe output(1);
        platform::write_record(big);
        cut_at_exit = platform::drain_records(100ms) - not_written - lost;
        std::thread reader = output.read_all(got_big);  // lets a writer still at it finish
        platform::drain_records(30s);
        output.restore();
        reader.join();
    }
    lost = platform::drain_records(0ms);
    {
        stream_to_pipe output(1);
        ::close(output.read_end);
        output.read_end = -1;
        platform::write_record(record);
        platform::drain_records(30s);  // the stream is known to be broken now
        platform::write_record(record);
        platform::write_record(record);
        refused = platform::drain_records(30s) - lost;
    }
    // A file that does not take what standard output writes (as a full disk).
    lost = platform::drain_records(0ms);
    {
        std::fflush(stdout);
        const char* refusing = "console-test-refusing-file";  // in the folder the test runs in
        const int saved = ::dup(1), file = ::open(refusing, O_RDONLY | O_CREAT, 0600);
        ::dup2(file, 1);
        ::close(file);
        platform::write_record(record);
        refused += platform::drain_records(100ms) - lost;
        ::dup2(saved, 1);
        ::close(saved);
        std::remove(refusing);
    }
    const auto whole = static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n'));
    ASSERT_GT(whole, 0u);
    EXPECT_EQ(got.size() % whole, 0u) << "a record cut";
    EXPECT_EQ(whole + not_written, records);
    EXPECT_LE(got.size(), 64 * 1024 + 2 * platform::console_backlog) << "more held back than the bound";
    EXPECT_EQ(cut_at_exit, 1u) << "a record cut at the exit counted as written; " << got_big.size() << " bytes came";
    EXPECT_EQ(refused, 4u) << "a record the stream refused counted as written";
}
