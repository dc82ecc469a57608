// The station's rules as events in and decisions out, with boards that behave
// as ESP32-S3 boards do: they leave USB 0.3 to 1.0 s after esptool's reset and
// come back 0.2 s later, often under a port name another board had.
#include "station/record_log.h"
#include "station/station_rules.h"
#include "support/work_dir.h"

#include <algorithm>
#include <cstdlib>
#include <fmt/core.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The system's fsync, seen from here: each regular file's inode and size when
// it was synced.
namespace {
std::mutex synced_mutex;
std::vector<std::pair<ino_t, off_t>> synced;
}  // namespace

extern "C" int fsync(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const std::lock_guard lock(synced_mutex);
        synced.emplace_back(status.st_ino, status.st_size);
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

using namespace station_rules;
using namespace board_presence;

std::vector<std::string> split(const std::string& text, char by = ' ')
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, by);)
        if (!part.empty() && part != " ")
            out.push_back(part);
    return out;
}

clock::time_point at(const std::string& ms) { return clock::time_point{} + std::chrono::milliseconds(std::stoi(ms)); }

// "A@1:0": serial A (none when empty), in socket 1-1, on ttyACM0.
std::vector<platform::usb_board> boards(const std::vector<std::string>& words, std::size_t from)
{
    std::vector<platform::usb_board> out;
    for (std::size_t i = from; i < words.size(); ++i) {
        const auto sign = words[i].find('@'), colon = words[i].find(':');
        out.push_back({words[i].substr(0, sign), "/dev/ttyACM" + words[i].substr(colon + 1),
                       "/sys/usb1/1-" + words[i].substr(sign + 1, colon - sign - 1)});
    }
    return out;
}

struct rules_case {
    const char* name;
    const char* events;     // "MS list BOARD...", "MS ok|fail|early KEY" (early: failed before esptool's reset),
                            // "MS look", "MS note KEY", "MS hold", "MS allow", separated by "|"
    const char* decisions;  // "start KEY PORT #ATTEMPT", "twin PORT", "ended KEY", "KEY: NOTE" as they came, by ","
    std::size_t parallel = 8;
};

void PrintTo(const rules_case& c, std::ostream* os) { *os << c.name; }

class StationRules : public testing::TestWithParam<rules_case> {};

TEST_P(StationRules, EventsInDecisionsOut)
{
    rules r(GetParam().parallel);
    std::string decisions;
    const auto decide = [&](const std::string& d) { decisions += (decisions.empty() ? "" : ", ") + d; };
    for (const std::string& event : split(GetParam().events, '|')) {
        const std::vector<std::string> w = split(event);
        if (w[1] == "list") {
            for (const board_card& twin : r.listed(at(w[0]), boards(w, 2)))
                decide("twin " + twin.port.substr(11));
        } else if (w[1] == "hold" || w[1] == "allow") {
            r.allow_starts(w[1] == "allow");
        } else if (w[1] == "look") {
            r.look(at(w[0]));
        } else if (w[1] == "note") {
            decide(w[2] + ": " + r.find(w[2])->note);
        } else {
            const bool early = w[1] == "early";
            r.ended(w[2], at(w[0]), w[1] == "ok", early ? "Failed to connect to ESP32-S3" : "esptool failed", !early);
            decide("ended " + w[2]);
        }
        for (const flash_start& s : r.starts(at(w[0])))
            decide(fmt::format("start {} {} #{}", s.key.starts_with("@") ? "@" + s.key.substr(13) : s.key,
                               s.board.port.substr(11), s.attempt));
    }
    EXPECT_EQ(decisions, GetParam().decisions);
}

const rules_case rules_cases[] = {
    {"BoardsThatCameWhileStartsWereHeldStartWhenTheyAreNot", "0 hold | 0 list A@1:0 | 500 list A@1:0 B@2:1 | 1000 allow",
     "start A 0 #1, start B 1 #1"},
    {"NewBoardsStartOnceEach", "0 list A@1:0 B@2:1 | 10 list A@1:0 B@2:1", "start A 0 #1, start B 1 #1"},
    // esptool's reset after the flash, failed or not, under the port the other had: no new flash.
    {"OwnResetAfterTheFlashIsNoReplug",
     "0 list A@1:0 B@2:1 | 5000 ok A | 5000 fail B | 5400 list B@2:1 | 5600 list | 5800 list A@1:1 | 6000 list A@1:1 B@2:0",
     "start A 0 #1, start B 1 #1, ended A, ended B"},
    {"ResetSeenBeforeTheFlashEnded", "0 list A@1:0 | 900 list | 1000 fail A | 1150 list A@1:2", "start A 0 #1, ended A"},
    // A hand that plugs a failed board in again after its reset: flashed again, 3 attempts in all.
    {"FailedBoardPluggedInAgainByHand",
     "0 list A@1:0 | 1000 fail A | 10000 list | 11000 list A@1:3 | 12000 fail A | 21000 list | 21500 list A@1:0 | "
     "22000 fail A | 31000 list | 32000 list A@1:0",
     "start A 0 #1, ended A, start A 3 #2, ended A, start A 0 #3, ended A"},
    // One that leaves seconds later than boards are meant to, after its flash or during its second run.
    {"LateLeaveIsOwnReset", "0 list A@1:0 B@2:1 | 5000 fail A | 5100 list A@1:0 | 7000 fail B | 8000 list | "
     "8200 list A@1:2 B@2:3", "start A 0 #1, start B 1 #1, ended A, ended B"},
    {"FlashedBoardPluggedInAgainIsNotFlashedAgain", "0 list A@1:0 | 1000 ok A | 10000 list | 11000 list A@1:0",
     "start A 0 #1, ended A"},
    {"BoardsSwappedBetweenSocketsAreKnownBySerial", "0 list A@1:0 | 1000 ok A | 10000 list | 11000 list D@1:0 A@2:1",
     "start A 0 #1, ended A, start D 0 #1"},
    // Its port taken by another board while it resets is not it; its return is no new board.
    {"BoardWithoutSerialKnownBySocket", "0 list @1:0 | 1000 list | 1100 list C@2:0 | 1300 list C@2:0 @1:1",
     "start @1 0 #1, start C 0 #1"},
    // Neither is flashed while both are there; one left alone is flashed once plugged in alone.
    {"SerialReportedTwice", "0 list S@1:0 S@2:1 | 100 list S@1:0 S@2:1 | 200 list S@2:1 | 300 list | 400 list S@2:1",
     "twin 0, twin 1, start S 1 #1"},
    {"AWaitingBoardJoinedByATwinIsNotStarted", "0 list A@1:0 B@2:1 S@3:2 | 1 list A@1:0 B@2:1 S@3:2 S@4:3 | 2 ok A",
     "start A 0 #1, twin 2, twin 3, ended A, start B 1 #1", 1},
    {"AtMostEightAtOnce", "0 list A@1:0 B@2:1 C@3:2 D@4:3 E@5:4 F@6:5 G@7:6 H@8:7 I@9:8 | 3000 fail C",
     "start A 0 #1, start B 1 #1, start C 2 #1, start D 3 #1, start E 4 #1, start F 5 #1, start G 6 #1, "
     "start H 7 #1, ended C, start I 8 #1"},
    {"FailedBeforeItsResetIsFlashedAgainWheneverItComesBack",
     "0 list A@1:0 B@2:1 C@3:2 D@4:3 | 1000 early A | 1000 early B | 1000 early C | 1000 early D | 1000 note A | "
     "1500 list B@2:1 C@3:2 D@4:3 | 1500 note A | 2000 list A@1:0 B@2:1 C@3:2 D@4:3 | 2100 list A@1:0 C@3:2 D@4:3 | "
     "3000 list A@1:0 D@4:3 | 4000 list A@1:0 B@2:1 D@4:3 | 6000 list A@1:0 B@2:1 C@3:2 D@4:3 | "
     "8000 list A@1:0 B@2:1 C@3:2 | 10000 list A@1:0 B@2:1 C@3:2 D@4:3",
     "start A 0 #1, start B 1 #1, start C 2 #1, start D 3 #1, ended A, ended B, ended C, ended D, A: The board did not "
     "answer: hold its BOOT button, press RESET, then release BOOT. It is flashed again when it comes back on USB., "
     "A: Unplugged: plug it in again to flash it again., start A 0 #2, start B 1 #2, start C 2 #2, start D 3 #2"},
    {"FailedAfterItsResetWaitsForItThenByHand",
     "0 list A@1:0 B@2:1 | 1000 fail A | 1000 fail B | 1000 note A | 1400 list B@2:1 | 1600 list A@1:2 B@2:1 | "
     "1600 note A | 3000 list B@2:1 | 4000 list A@1:0 B@2:1 | 8500 look | 8500 note B | 9100 look | 9100 note B",
     "start A 0 #1, start B 1 #1, ended A, ended B, A: Wait until this card says what to do: esptool is resetting "
     "the board., A: Unplug it and plug it in again to flash it again., start A 0 #2, B: Wait until this card says "
     "what to do: esptool is resetting the board., B: Unplug it and plug it in again to flash it again."},
    {"FlashedBoardBackWithinItsResetWindowSaysSo", "0 list A@1:0 | 1000 ok A | 2000 list | 4000 list A@1:1 | 4000 note A",
     "start A 0 #1, ended A, A: Flashed in this session: not flashed again."},
    {"TheBoardOnThePortOfOneUnpluggedMidFlashStartsOnceThatFlashEnded",
     "0 list A@1:0 | 500 list | 1500 list B@1:0 | 1600 early A | 3000 list B@1:0 A@2:1",
     "start A 0 #1, ended A, start B 0 #1, start A 1 #2"},
    {"UnpluggedBeforeItsTurnWaitsAgainWhenBack", "0 list A@1:0 B@2:1 | 100 list A@1:0 | 200 ok A | 3000 list A@1:0 B@2:4",
     "start A 0 #1, ended A, start B 4 #1", 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, StationRules, testing::ValuesIn(rules_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Between the two runs: when, and on which port, the second one starts.
TEST(StationRules, SecondRunWaitsForTheBoardToLeaveAndComeBackAndUsesItsPortThen)
{
    const std::pair<const char*, const char*> cases[] = {  // steps "MS DECISION BOARD...", separated by "|"
        {"A@1:0", "0 wait A@1:0 | 1400 wait A@1:0 | 1500 use:0 A@1:0"},
        {"A@1:0", "600 wait A@1:0 | 700 wait B@2:0 | 900 wait B@2:0 A@1:1 | 1150 wait A@1:1 | 1200 use:1 A@1:1"},
        {"A@1:0", "700 wait | 900 wait A@1:5 | 1100 wait A@1:6 | 1300 wait A@1:6 | 1400 use:6 A@1:6"},  // settles again
        {"A@1:0", "800 wait A@1:3 | 1100 use:3 A@1:3"},  // gone and back unseen
        {"@1:0", "500 wait B@2:0 | 700 wait B@2:0 @1:1 | 1000 use:1 B@2:0 @1:1"},
        {"A@1:0", "500 wait A@1:0 A@2:1 | 9000 gone A@1:0 A@2:1"},  // two devices with its serial
        {"A@1:0", "500 wait | 8400 wait | 8600 gone"},
        {"A@1:0", "500 wait | 700 wait A@1:1 | 800 wait | 8600 wait | 8800 gone"},  // back, then away again
    };
    for (const auto& [meant, steps] : cases) {
        SCOPED_TRACE(steps);
        board_return watch(boards({meant}, 0)[0], clock::time_point{});
        for (const std::string& step : split(steps, '|')) {
            const std::vector<std::string> w = split(step);
            const auto d = watch.listed(at(w[0]), boards(w, 2));
            using kind = board_return::decision::kind;
            EXPECT_EQ(d.what == kind::use ? "use:" + d.port.substr(11) : d.what == kind::gone ? "gone" : "wait", w[1])
                << step;
        }
    }
}

TEST(StationRules, ThePageListsTheBoardsUnderWayAndTheLast100Finished)
{
    rules r(1000);
    std::vector<std::string> words{"0", "list"};
    for (int i = 0; i < 150; ++i)
        words.push_back(fmt::format("S{}@{}:{}", i, i, i));
    r.listed(clock::time_point{}, boards(words, 2));
    const std::vector<flash_start> started = r.starts(clock::time_point{});
    for (std::size_t i = 0; i < 130; ++i)
        r.ended(started[i].key, clock::time_point{}, i % 2 == 0);
    std::size_t listed = 0;
    for (const board_card& card : r.cards())
        listed += r.on_page(card);
    EXPECT_EQ(listed, 100 + 20);
    EXPECT_FALSE(r.on_page(*r.find("S29")));
}

// Two sessions started in one second, each keeping records: each record is
// on stable storage, whole, when keep returns, and each session has a file
// of its own.
TEST(StationRecord, EachRecordIsSyncedWhenKeptAndEachSessionHasItsOwnFile)
{
    work_dir dir;
    ::setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
    const auto start = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    record_log first({}, start, nullptr), second({}, start + std::chrono::milliseconds(900), nullptr);
    // The proof before the first flash too (-1): on stable storage when ready says so.
    for (int i = -1; i < 3; ++i)
        for (record_log* log : {&first, &second}) {
            board_record record;
            record.serial = fmt::format("S{}", i);
            ASSERT_EQ(i < 0 ? log->ready() : log->keep(record), "");
            struct stat now {};
            ASSERT_EQ(::stat(log->place().c_str(), &now), 0);
            const std::lock_guard lock(synced_mutex);
            EXPECT_GE(std::count(synced.begin(), synced.end(), std::pair(now.st_ino, now.st_size)), 1)
                << (i < 0 ? "the proof" : "record " + std::to_string(i)) << " of " << log->place() << " before it was synced";
        }
    EXPECT_NE(first.place(), second.place());
    for (record_log* log : {&first, &second}) {
        std::ifstream in(log->place());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    }
    ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
