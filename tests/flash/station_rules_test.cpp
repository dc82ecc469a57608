// The station's rules as events in (boards listed at a time, a flash that
// ended) and decisions out (flashes started, records of boards that share a
// serial number), with boards that behave as ESP32-S3 boards do: they leave
// USB 0.3 to 1.0 s after esptool's reset and come back 0.2 s later, often
// under a port name another board had.
#include "flash/station_rules.h"

#include <fmt/core.h>
#include <gtest/gtest.h>

namespace {

using namespace station_rules;
using ms = std::chrono::milliseconds;

// "SERIAL@SOCKET:PORT", serial empty for a board without one.
platform::usb_board board(std::string_view text)
{
    const auto at = text.find('@'), colon = text.find(':');
    return {std::string(text.substr(0, at)), "/dev/" + std::string(text.substr(colon + 1)),
            "/sys/usb1/" + std::string(text.substr(at + 1, colon - at - 1))};
}

// One event: at a time (ms), the boards listed ("list A@1-1:ttyACM0 ..."), or
// a flash that ended ("ok KEY", "fail KEY").
struct rules_case {
    const char* name;
    std::vector<std::pair<int, std::string>> events;
    std::vector<std::string> decisions;  // "start KEY PORT #ATTEMPT", "twin PORT"; "ended KEY" as it came
    std::size_t parallel = 8;
};

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at)
            out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

void PrintTo(const rules_case& c, std::ostream* os) { *os << c.name; }

class StationRules : public testing::TestWithParam<rules_case> {};

TEST_P(StationRules, EventsInDecisionsOut)
{
    const rules_case& c = GetParam();
    rules r(c.parallel);
    const clock::time_point zero{};
    std::vector<std::string> decisions;
    for (const auto& [time, event] : c.events) {
        const clock::time_point now = zero + ms(time);
        std::vector<std::string> w = words(event);
        if (w[0] == "list") {
            std::vector<platform::usb_board> boards;
            for (std::size_t i = 1; i < w.size(); ++i)
                boards.push_back(board(w[i]));
            for (const board_card& twin : r.listed(now, boards))
                decisions.push_back("twin " + twin.port.substr(5));
        } else {
            r.ended(w[1], now, w[0] == "ok", "esptool failed");
            decisions.push_back("ended " + w[1]);
        }
        for (const flash_start& s : r.starts(now))
            decisions.push_back(fmt::format("start {} {} #{}", s.key.starts_with("@") ? "@" + s.key.substr(11) : s.key,
                                            s.board.port.substr(5), s.attempt));
    }
    EXPECT_EQ(decisions, c.decisions);
}

const rules_case rules_cases[] = {
    {"NewBoardsStartOnceEach", {{0, "list A@1-1:ttyACM0 B@1-2:ttyACM1"}, {10, "list A@1-1:ttyACM0 B@1-2:ttyACM1"}},
     {"start A ttyACM0 #1", "start B ttyACM1 #1"}},
    // esptool's reset after the flash, failed or not, under a port name the other had: no new flash.
    {"OwnResetAfterTheFlashIsNoReplug",
     {{0, "list A@1-1:ttyACM0 B@1-2:ttyACM1"}, {5000, "ok A"}, {5000, "fail B"}, {5400, "list B@1-2:ttyACM1"},
      {5600, "list"}, {5800, "list A@1-1:ttyACM1"}, {6000, "list A@1-1:ttyACM1 B@1-2:ttyACM0"}},
     {"start A ttyACM0 #1", "start B ttyACM1 #1", "ended A", "ended B"}},
    // The board left mid-flash and was away when the flash ended: back, it is still its reset.
    {"ResetSeenBeforeTheFlashEnded",
     {{0, "list A@1-1:ttyACM0"}, {900, "list"}, {1000, "fail A"}, {1150, "list A@1-1:ttyACM2"}},
     {"start A ttyACM0 #1", "ended A"}},
    // A hand that unplugs a failed board after its reset and plugs it in again: flashed again, 3 attempts in all.
    {"FailedBoardPluggedInAgainByHand",
     {{0, "list A@1-1:ttyACM0"}, {1000, "fail A"}, {4000, "list"}, {5000, "list A@1-1:ttyACM3"}, {6000, "fail A"},
      {9000, "list"}, {9500, "list A@1-1:ttyACM0"}, {10000, "fail A"}, {13000, "list"}, {14000, "list A@1-1:ttyACM0"}},
     {"start A ttyACM0 #1", "ended A", "start A ttyACM3 #2", "ended A", "start A ttyACM0 #3", "ended A"}},
    {"FlashedBoardPluggedInAgainIsNotFlashedAgain",
     {{0, "list A@1-1:ttyACM0"}, {1000, "ok A"}, {4000, "list"}, {5000, "list A@1-1:ttyACM0"}},
     {"start A ttyACM0 #1", "ended A"}},
    // Known by serial, not by socket: two boards swapped between two sockets.
    {"BoardsSwappedBetweenSocketsAreKnownBySerial",
     {{0, "list A@1-1:ttyACM0"}, {1000, "ok A"}, {4000, "list"}, {5000, "list D@1-1:ttyACM0 A@1-2:ttyACM1"}},
     {"start A ttyACM0 #1", "ended A", "start D ttyACM0 #1"}},
    // A board without a serial number is known by its socket: its port taken by
    // another board while it resets is not it, and its return is no new board.
    {"BoardWithoutSerialKnownBySocket",
     {{0, "list @1-1:ttyACM0"}, {1000, "list"}, {1100, "list C@1-2:ttyACM0"}, {1300, "list C@1-2:ttyACM0 @1-1:ttyACM1"}},
     {"start @1-1 ttyACM0 #1", "start C ttyACM0 #1"}},
    // Two devices report one serial number: neither is flashed under it while
    // both are there, each fails once; one left alone stays failed until plugged in alone.
    {"SerialReportedTwice",
     {{0, "list S@1-1:ttyACM0 S@1-2:ttyACM1"}, {100, "list S@1-1:ttyACM0 S@1-2:ttyACM1"},
      {200, "list S@1-2:ttyACM1"}, {300, "list"}, {400, "list S@1-2:ttyACM1"}},
     {"twin ttyACM0", "twin ttyACM1", "start S ttyACM1 #1"}},
    {"AWaitingBoardJoinedByATwinIsNotStarted",
     {{0, "list A@1-1:ttyACM0 B@1-2:ttyACM1 S@1-3:ttyACM2"}, {1, "list A@1-1:ttyACM0 B@1-2:ttyACM1 S@1-3:ttyACM2 "
                                                                   "S@1-4:ttyACM3"}, {2, "ok A"}},
     {"start A ttyACM0 #1", "twin ttyACM2", "twin ttyACM3", "ended A", "start B ttyACM1 #1"}, 1},
    {"AtMostEightAtOnce",
     {{0, "list A@1-1:ttyACM0 B@1-2:ttyACM1 C@1-3:ttyACM2 D@1-4:ttyACM3 E@1-5:ttyACM4 F@1-6:ttyACM5 G@1-7:ttyACM6 "
          "H@1-8:ttyACM7 I@1-9:ttyACM8"},
      {3000, "fail C"}},
     {"start A ttyACM0 #1", "start B ttyACM1 #1", "start C ttyACM2 #1", "start D ttyACM3 #1", "start E ttyACM4 #1",
      "start F ttyACM5 #1", "start G ttyACM6 #1", "start H ttyACM7 #1", "ended C", "start I ttyACM8 #1"}},
    {"UnpluggedBeforeItsTurnWaitsAgainWhenBack",
     {{0, "list A@1-1:ttyACM0 B@1-2:ttyACM1"}, {100, "list A@1-1:ttyACM0"}, {200, "ok A"},
      {3000, "list A@1-1:ttyACM0 B@1-2:ttyACM4"}},
     {"start A ttyACM0 #1", "ended A", "start B ttyACM4 #1"}, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, StationRules, testing::ValuesIn(rules_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Between the two runs: when and on which port the second one starts.
TEST(StationRules, SecondRunWaitsForTheBoardToLeaveAndComeBackAndUsesItsPortThen)
{
    struct step {
        int ms;
        const char* listed;  // boards listed then
        const char* decided;  // "wait", "use PORT" or "gone"
    };
    const std::vector<std::pair<const char*, std::vector<step>>> cases = {
        {"stays", {{0, "A@1-1:ttyACM0", "wait"}, {1400, "A@1-1:ttyACM0", "wait"}, {1500, "A@1-1:ttyACM0", "use ttyACM0"}}},
        {"back under a name another board had",
         {{600, "A@1-1:ttyACM0", "wait"}, {700, "B@1-2:ttyACM0", "wait"}, {900, "B@1-2:ttyACM0 A@1-1:ttyACM1", "wait"},
          {1150, "B@1-2:ttyACM0 A@1-1:ttyACM1", "wait"}, {1200, "A@1-1:ttyACM1", "use ttyACM1"}}},
        {"settling starts again when the name changes",
         {{700, "", "wait"}, {900, "A@1-1:ttyACM5", "wait"}, {1100, "A@1-1:ttyACM6", "wait"},
          {1300, "A@1-1:ttyACM6", "wait"}, {1400, "A@1-1:ttyACM6", "use ttyACM6"}}},
        {"gone and back unseen, under another name", {{800, "A@1-1:ttyACM3", "wait"}, {1100, "A@1-1:ttyACM3", "use ttyACM3"}}},
        {"without serial, found by its socket",
         {{500, "B@1-2:ttyACM0", "wait"}, {700, "B@1-2:ttyACM0 @1-1:ttyACM1", "wait"},
          {1000, "B@1-2:ttyACM0 @1-1:ttyACM1", "use ttyACM1"}}},
        {"two devices with its serial", {{500, "A@1-1:ttyACM0 A@1-2:ttyACM1", "wait"},
                                         {9000, "A@1-1:ttyACM0 A@1-2:ttyACM1", "gone"}}},
        {"never back", {{500, "", "wait"}, {8400, "", "wait"}, {8600, "", "gone"}}},
    };
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        const bool without_serial = std::string_view(name).starts_with("without");
        board_return watch(board(without_serial ? "@1-1:ttyACM0" : "A@1-1:ttyACM0"), clock::time_point{});
        for (const step& s : steps) {
            std::vector<platform::usb_board> listed;
            for (const std::string& w : words(s.listed))
                listed.push_back(board(w));
            const auto d = watch.listed(clock::time_point{} + ms(s.ms), listed);
            const std::string got = d.what == board_return::decision::kind::use    ? "use " + d.port.substr(5)
                                    : d.what == board_return::decision::kind::gone ? "gone"
                                                                                   : "wait";
            EXPECT_EQ(got, s.decided) << "at " << s.ms << " ms";
        }
    }
}

TEST(StationRules, ThePageListsTheBoardsUnderWayAndTheLast100Finished)
{
    rules r(1000);
    std::vector<platform::usb_board> boards;
    for (int i = 0; i < 150; ++i)
        boards.push_back(board(fmt::format("S{}@1-{}:ttyACM{}", i, i, i)));
    r.listed(clock::time_point{}, boards);
    const std::vector<flash_start> started = r.starts(clock::time_point{});
    for (std::size_t i = 0; i < 130; ++i)
        r.ended(started[i].key, clock::time_point{}, i % 2 == 0);
    std::size_t listed = 0;
    for (const board_card& card : r.cards())
        listed += r.on_page(card);
    EXPECT_EQ(listed, 100 + 20);
    EXPECT_FALSE(r.on_page(*r.find("S29")));
    EXPECT_TRUE(r.on_page(*r.find("S30")));
}

TEST(StationRules, MacMatchesTheSerialNumberInAnyCase)
{
    EXPECT_TRUE(same_mac("F4:12:FA:00:00:01", "f4:12:fa:00:00:01"));
    EXPECT_FALSE(same_mac("F4:12:FA:00:00:01", "f4:12:fa:00:00:02"));
    EXPECT_FALSE(same_mac("F4:12:FA:00:00:01", "f4:12:fa:00:00:0"));
    EXPECT_FALSE(same_mac("", ""));
}

}  // namespace
