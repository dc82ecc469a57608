// The station's rules as events in and decisions out, with boards that behave
// as ESP32-S3 boards do: they leave USB 0.3 to 1.0 s after esptool's reset and
// come back 0.2 s later, often under a port name another board had.
#include "station/record_log.h"
#include "station/station_rules.h"
#include "station/summary.h"
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

// Results in, the batch's figures out: the counts, the rate from the first
// flash's start, the median of flashed boards (one that took hours counts as
// an hour), the same failure on different boards as one reason, most
// frequent first, in memory that stays bounded, and text of 80 columns.
TEST(StationBatch, FiguresFromResults)
{
    const std::int64_t t0 = *batch::parse_time("2026-12-08T09:00:00Z");
    batch::figures f;
    const auto add = [&](std::int64_t after, bool flashed, double seconds, std::string reason = {},
                         std::string port = "/dev/ttyACM0", std::string serial = "F4:12:FA:00:00:01") {
        batch::record r;
        r.at = t0 + after;
        r.flashed = flashed;
        r.seconds = seconds;
        r.reason = std::move(reason);
        r.port = std::move(port);
        r.serial = std::move(serial);
        f.add(r);
    };
    EXPECT_EQ(batch::pace_text(f), "");
    add(40, true, 40);
    add(50, false, 9, "Firmware: esptool exited with code 2");
    add(90, false, 5, "the board F4:12:FA:00:00:07 on /dev/ttyACM3 was unplugged", "/dev/ttyACM3", "F4:12:FA:00:00:07");
    add(95, false, 5, "the board f4-12-fa-00-00-09 on COM12 was unplugged", "COM12", "");
    add(120, true, 38.2);
    add(130, false, 9, "Firmware: esptool exited with code 2");
    add(160, true, 41);
    add(10000, true, 9000);  // hours: counts as one
    EXPECT_EQ(f.records(), 8u);
    EXPECT_EQ(f.flashed(), 4u);
    EXPECT_EQ(f.failed(), 4u);
    EXPECT_DOUBLE_EQ(*f.median_seconds(), 40.5);
    EXPECT_DOUBLE_EQ(*f.per_hour(), 4 * 3600.0 / 10000);  // from the start of the first flash at t0
    using reasons = std::vector<std::pair<std::string, std::size_t>>;
    EXPECT_EQ(f.reasons(), (reasons{{"Firmware: esptool exited with code 2", 2},
                                    {"the board \u2026 on \u2026 was unplugged", 2}}));
    EXPECT_EQ(batch::pace_text(f), "1.4 boards an hour \u00b7 40.5 s a flashed board (median)");
    add(10100, false, 1, std::string(300, 'x') + " " + std::string(200, 'y') + " \u00e9t\u00e9");
    const std::string text = batch::summary_text(f, 2);
    EXPECT_NE(text.find("Records:       9 in 2 files\nFlashed:       4 boards\nFailed:        5 flashes\n"
                        "First record:  2026-12-08T09:00:40Z\n"
                        "Last record:   2026-12-08T11:48:20Z (2 h 47 min after the first)\n"),
              std::string::npos)
        << text;
    for (const std::string& line : split(text, '\n'))
        EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }), 80) << line;

    batch::figures many;
    for (std::size_t i = 0; i < batch::figures::reason_groups_kept + 5; ++i) {
        batch::record r;
        r.reason = "reason " + std::to_string(i);
        many.add(r);
    }
    EXPECT_EQ(many.reasons().size(), batch::figures::reason_groups_kept);
    EXPECT_EQ(many.other_reasons(), 5u);
    EXPECT_EQ(many.reasons(1), (reasons{{"reason 0", 1}}));
}

// A record as the station writes it reads back whole, and its row keeps
// quotes and commas in one cell and gives a spreadsheet no formula; what is
// no record (a cut line, another JSON, another time) is none.
TEST(StationBatch, RecordsReadBackIntoTheTable)
{
    board_record written;
    written.time = "2028-02-29T23:59:59Z";
    written.port = "/dev/ttyACM1";
    written.serial = "F4:12:FA:00:00:02";
    written.reason = "=HYPERLINK(\"x\"), then \"quoted\"";
    written.seconds = 12.34;
    written.attempt = 2;
    written.esptool_version = "5.3.1";
    const std::string line = record_line(written, nullptr);
    const std::optional<batch::record> read = batch::parse_record(line);
    ASSERT_TRUE(read) << line;
    EXPECT_EQ(read->at - *batch::parse_time("2028-02-28T23:59:59Z"), 86400);
    EXPECT_EQ(std::tuple(read->port, read->serial, read->flashed, read->reason, *read->attempt, read->esptool),
              std::tuple(written.port, written.serial, false, written.reason, 2, written.esptool_version));
    EXPECT_EQ(batch::csv_row(*read), "2028-02-29T23:59:59Z,/dev/ttyACM1,F4:12:FA:00:00:02,,failed,"
                                     "\"'=HYPERLINK(\"\"x\"\"), then \"\"quoted\"\"\",2,12.3,,5.3.1,,,\r\n");
    EXPECT_EQ(split(batch::csv_header(), ',').size(), 13u);
    for (const std::string& other : {line.substr(0, line.size() - 5), std::string("[1,2]"), std::string(""),
                                     std::string(R"({"time":"2026-02-30T00:00:00Z","result":"flashed"})"),
                                     std::string(R"({"time":"2026-12-08 09:00:00","result":"flashed"})"),
                                     std::string(R"({"time":"2026-12-08T09:00:00Z","result":"skipped"})")})
        EXPECT_FALSE(batch::parse_record(other)) << other;
}

}  // namespace
