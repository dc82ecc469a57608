#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// A batch's figures, from the station's records: how many boards were
// flashed and how many flashes failed, how fast the line went, how long a
// flashed board took, and why boards failed. vornhale --summary prints them
// for record files, --summary --csv turns the records into a table, and the
// station page shows them for the session as results come.
namespace batch {

// One record line as read back: the fields the station writes.
struct record {
    std::string time;        // as written: "2026-12-08T09:12:03Z"
    std::int64_t at = 0;     // the same, in seconds since 1970 (UTC)
    std::string port;
    std::string serial;
    std::string mac;
    bool flashed = false;
    std::string reason;      // why it failed
    std::optional<int> attempt;
    std::optional<double> seconds;
    std::string chip;
    std::string esptool;     // esptool's version
    std::string application;
    std::string application_sha256;
    std::optional<bool> verified;  // whether esptool verified every image; nothing when none is named
};

// A record, or nothing when line is no record (no JSON object, no time of
// the station's form, no result of "flashed" or "failed").
std::optional<record> parse_record(std::string_view line);

// "2026-12-08T09:12:03Z" in seconds since 1970; nothing for any other form.
std::optional<std::int64_t> parse_time(std::string_view utc);

// The reason as failures are grouped by: what names the one board (its port,
// its serial number, a MAC) becomes "…", so that the same failure on many
// boards is one group.
std::string reason_group(const record& r);

// Figures over the records added, in memory that does not grow with their
// number: the seconds of flashed boards in tenths up to an hour (longer ones
// count as an hour), at most reason_groups_kept groups of reasons (the rest
// count together as other reasons).
class figures {
public:
    static constexpr std::size_t reason_groups_kept = 1000;
    static constexpr std::size_t reason_length_kept = 400;  // bytes of a reason that tell groups apart

    void add(const record& r);

    std::size_t records() const { return flashed_ + failed_; }
    std::size_t flashed() const { return flashed_; }
    std::size_t failed() const { return failed_; }
    // The earliest and latest record time; nothing before the first record.
    std::optional<std::int64_t> first() const { return first_; }
    std::optional<std::int64_t> last() const { return last_; }
    // Boards flashed an hour: from the start of the earliest flash (a
    // record's time less its seconds) to the latest record. Nothing without
    // a flashed board or without time between them.
    std::optional<double> per_hour() const;
    // The median seconds of a flashed board; nothing without one.
    std::optional<double> median_seconds() const;
    // The groups of reasons, most frequent first (of equal counts, the one
    // seen first), at most most of them; and how many failures have a reason
    // beyond the groups kept.
    std::vector<std::pair<std::string, std::size_t>> reasons(std::size_t most = SIZE_MAX) const;
    std::size_t other_reasons() const { return other_reasons_; }

private:
    std::size_t flashed_ = 0;
    std::size_t failed_ = 0;
    std::optional<std::int64_t> first_, last_, earliest_start_;
    std::vector<std::uint32_t> tenths_;  // of flashed boards: how many took each tenth of a second
    struct group {
        std::size_t count = 0;
        std::size_t order = 0;  // the how-manieth group seen
    };
    std::unordered_map<std::string, group> groups_;
    std::size_t other_reasons_ = 0;
};

// The figures as plain text of at most 80 columns a line. files: how many
// files the records came from.
std::string summary_text(const figures& f, std::size_t files);

// The page's pace line: "120 boards an hour · 41.3 s a flashed board
// (median)"; empty before the first flashed board.
std::string pace_text(const figures& f);

// The table: its header row and one row a record, each with its CR LF.
std::string csv_header();
std::string csv_row(const record& r);

// vornhale --summary [--csv] [FILE...]: the files as given (UTF-8); with
// none, every record file in the station's records folder, oldest first.
// Prints the summary (csv: the table) on standard output, waiting for it as
// long as it takes, and on standard error each line that is no record (the
// first lines_named of a file, then how many more) and each file it cannot
// read. Returns the exit status: 0 when it read a record, 1 when none.
inline constexpr std::size_t lines_named = 20;
int print_summary(bool csv, const std::vector<std::string>& files);

}  // namespace batch
