#include "flash/board_flash.h"

#include "flash/esptool_output.h"
#include "flash/flash_progress.h"
#include "flash/page_text.h"
#include "flash/partition_table.h"
#include "flash/board_presence.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/file_names.h"
#include "platform/usb_boards.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fmt/core.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view interrupted_reason = "esptool was stopped before it finished";

// The two command lines: {0} or {} is the port, {1} the firmware base name.
constexpr std::string_view firmware_template =
    R"(.\esptool.exe --chip esp32s3 --port "{0}" --baud 921600  --before default_reset --after hard_reset write_flash  -z --flash_mode keep --flash_freq keep --flash_size keep 0x0 "{1}.ino.bootloader.bin" 0x8000 "{1}.ino.partitions.bin" 0xe000 "boot_app0.bin" 0x10000 "{1}.ino.bin")";
constexpr std::string_view file_system_template =
    R"(.\esptool.exe --chip esp32s3 --port {} --baud 921600 --before default_reset --after hard_reset write_flash -z --flash_mode dio --flash_freq 80m --flash_size detect 6750208 fs.bin)";

// The same command line with esptool's --no-stub after the chip: esptool then
// writes through the chip's own ROM loader, which needs no flasher stub.
std::string through_rom_loader(std::string line)
{
    constexpr std::string_view chip = "--chip esp32s3 ";
    if (const std::size_t at = line.find(chip); at != std::string::npos)
        line.insert(at + chip.size(), "--no-stub ");
    return line;
}

// Whether the template filled with port and base reaches the tool as the
// template's own arguments with the values put in, neither split nor joined
// nor changed by the argument rules.
bool reaches_tool_unchanged(std::string_view template_line, std::string_view port, std::string_view base)
{
    std::vector<std::string> intended = platform::split_command_line(template_line);
    for (std::string& argument : intended) {
        argument = fmt::format(fmt::runtime(argument), port, base);
        if (argument.find('\0') != std::string::npos)
            return false;  // a program's arguments end at a NUL
    }
    return platform::split_command_line(fmt::format(fmt::runtime(template_line), port, base)) == intended;
}

// What keeps a name from reaching the tool unchanged, said for the user. The
// port stands bare in the file-system line, where a blank or tab splits it.
std::string_view trouble_with(std::string_view name, bool is_port)
{
    constexpr auto npos = std::string_view::npos;
    if (name.find('\0') != npos)
        return "holds a NUL character";
    if (name.find('"') != npos)
        return "holds a double quote";
    if (is_port) {
        if (name.empty())
            return "is empty";
        if (name.find(' ') != npos)
            return "holds a blank";
        if (name.find('\t') != npos)
            return "holds a tab";
        if (name.ends_with('\\'))
            return "ends in a backslash";
    }
    return "holds characters the command line would change";
}

}  // namespace

std::optional<std::string> refusal_of_names(std::string_view port, std::string_view base, bool as_markup)
{
    constexpr std::string_view plain = "x";
    const auto refusal = [as_markup](std::string_view what, std::string_view name, std::string_view trouble) {
        return fmt::format("Cannot upload firmware: the {} \"{}\" {}, which esptool would not receive unchanged.",
                           what, as_markup ? page_text(name) : std::string(name), trouble);
    };
    if (!reaches_tool_unchanged(firmware_template, plain, base))
        return refusal("file name", std::string(base) + ".ino.bin", trouble_with(base, false));
    if (!reaches_tool_unchanged(firmware_template, port, plain) || !reaches_tool_unchanged(file_system_template, port, plain))
        return refusal("port name", port, trouble_with(port, true));
    if (!reaches_tool_unchanged(firmware_template, port, base) || !reaches_tool_unchanged(file_system_template, port, base))
        return refusal("port name", port, "holds characters the command line would change");
    return std::nullopt;
}

namespace {

// An image a run writes: where, and its name in the folder.
struct run_image {
    std::uint32_t offset;
    std::string name;
};

// The images of a run, with their sizes as they are now (0 when unreadable).
std::vector<esptool_output::image> sizes_of(const std::filesystem::path& folder, const std::vector<run_image>& files)
{
    std::vector<esptool_output::image> images;
    for (const auto& [offset, name] : files) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(folder / platform::path_from_utf8(name), error);
        images.push_back({offset, error ? 0 : size});
    }
    return images;
}

std::string wrong_board(std::string_view mac, std::string_view serial)
{
    return fmt::format("esptool reached another board: its MAC is {}, this board's serial number is {}", mac, serial);
}

std::string unplugged_during(flash_report::run run)
{
    return fmt::format("the board was unplugged during the {} run",
                       run == flash_report::run::firmware ? "firmware" : "file-system");
}

std::string esptool_named(const esptool_output& said)
{
    return said.version().empty() ? std::string("esptool") : "esptool " + said.version();
}

// What a run that exited with code 0 leaves unproven, or nothing. With a
// serial number the chip's MAC must have been named; strict (the station), a
// MAC esptool printed in no form we know fails the run, and each image must
// have been verified after writing; otherwise the run counts, and our standard
// output says what could not be checked.
std::optional<std::string> unproven(const esptool_output& said, const std::vector<run_image>& files,
                                    const std::string& serial, bool strict)
{
    if (!serial.empty() && said.mac().empty()) {
        const std::string what = fmt::format(
            "{} did not print the chip's MAC in a form Vornhale knows, so it cannot be told that it reached this "
            "board ({})", esptool_named(said), serial);
        if (strict)
            return what;
        platform::write_console(platform::console_stream::output,
                                "Vornhale: the board could not be checked: " + what + ".\n");
    }
    if (strict)
        for (const run_image& file : files)
            if (!said.verified(file.offset))
                return fmt::format("{} did not say that it verified {} after writing it", esptool_named(said),
                                   file.name);
    return std::nullopt;
}

// Whether the board is listed on port: by its serial number, else by where
// it is plugged in. A list that cannot be read tells nothing: it counts as there.
bool listed_on(const platform::usb_board& board, const std::string& port)
{
    try {
        for (const platform::usb_board& b : platform::list_boards())
            if ((!board.serial.empty() ? b.serial == board.serial : b.location == board.location) && b.port == port)
                return true;
    } catch (const std::exception&) {
        return true;
    }
    return false;
}

// While a run goes on, on a thread of its own: whether the board leaves USB
// once esptool has connected to it and before esptool has begun its reset,
// that is, while it writes. The run is then stopped at once (unless it ends
// by itself within a moment, as a run at its reset does): esptool 4.8 and
// later open the port name again a second later and write on to whatever
// board has taken it. It looks at the boards whenever USB changes, and every
// second.
class departure_watch {
public:
    departure_watch(platform::usb_board board, platform::run_stop& stop)
        : board_(std::move(board)), stop_(stop), thread_(&departure_watch::watch, this)
    {
    }
    ~departure_watch()
    {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
            if (changes_ != nullptr)
                changes_->wake();
        }
        ended_changed_.notify_all();
        thread_.join();
    }
    departure_watch(const departure_watch&) = delete;
    departure_watch& operator=(const departure_watch&) = delete;

    // The line observer's, as esptool says it.
    std::atomic<bool> connected = false;
    std::atomic<bool> resetting = false;
    bool departed() const { return departed_; }

private:
    // A run at its reset ends sooner than this; esptool tries the port again a second after it lost it.
    static constexpr std::chrono::milliseconds last_moment{300};

    void watch() noexcept
    {
        std::unique_ptr<platform::board_watch> changes;
        try {
            changes = std::make_unique<platform::board_watch>();
        } catch (const std::exception&) {
            // No watch of the devices: a look every quarter second.
        }
        set_changes(changes.get());
        using clock = std::chrono::steady_clock;
        clock::time_point looked{};
        for (;;) {
            bool changed = false;
            try {
                if (changes)
                    changed = changes->wait(std::chrono::milliseconds(250));
            } catch (const std::exception&) {
                set_changes(nullptr);
                changes.reset();
            }
            std::unique_lock lock(mutex_);
            if (!changes)
                ended_changed_.wait_for(lock, std::chrono::milliseconds(250), [this] { return ended_; });
            if (ended_)
                break;
            lock.unlock();
            if (!changed && changes && clock::now() - looked < std::chrono::seconds(1))
                continue;
            looked = clock::now();
            if (!connected || resetting || listed_on(board_, board_.port))
                continue;
            lock.lock();
            if (!ended_changed_.wait_for(lock, last_moment, [this] { return ended_; }) && !resetting) {
                departed_ = true;
                stop_.request();
            }
            break;
        }
        set_changes(nullptr);
    }

    void set_changes(platform::board_watch* changes)
    {
        const std::lock_guard lock(mutex_);
        changes_ = changes;
    }

    const platform::usb_board board_;  // as listed when the run began, with the run's port
    platform::run_stop& stop_;
    std::atomic<bool> departed_ = false;
    std::mutex mutex_;  // guards ended_ and changes_
    std::condition_variable ended_changed_;
    bool ended_ = false;
    platform::board_watch* changes_ = nullptr;
    std::thread thread_;  // last: it starts once the rest is there
};

// Why a run failed when esptool found the chip's flash (chip_flash bytes) too
// small for the set named after firmware_base, in the maker's words.
std::string too_small_reason(std::uintmax_t chip_flash, const esptool_output& said, flash_report::run run,
                             const std::filesystem::path& folder, const std::string& firmware_base)
{
    const std::string table = firmware_base + ".ino.partitions.bin";
    const auto partitions = read_partition_table(folder / platform::path_from_utf8(table));
    const std::string_view happened =
        run == flash_report::run::file_system
            ? "fs.bin was not written, and the firmware just written expects more flash than the board has"
            : said.wrote_any() ? "esptool was stopped while writing: flash the board again" : "nothing was written";
    return partitions ? flash_too_small(chip_flash, flash_needed(*partitions), table, happened)
                      : flash_too_small(chip_flash, flash_size_for(said.flash_wanted()), "", happened);
}

// Runs one command line, telling report how far it is; returns nothing on
// success, or why it failed. serial: the board's serial number, which the
// chip's MAC must match ("" when the board reports none: nothing to check
// against). A run that reaches another chip, or names two, is stopped at once,
// as is one on a chip whose flash esptool says is smaller than the size set,
// and one whose board leaves USB while it writes (watched: the board as
// listed, with the run's port; nothing when the system did not list it).
// With result.rom_loader, the run goes through the chip's ROM loader; a run
// that fails for want of the flasher stub sets it and is made again.
std::optional<std::string> run_tool(const std::string& command_line, flash_report::run run,
                                    const std::vector<run_image>& files, flash_control& control,
                                    flash_report& report, const flash_options& options, const std::string& serial,
                                    flash_outcome& result, const std::filesystem::path& folder,
                                    const std::string& firmware_base,
                                    const std::optional<platform::usb_board>& watched)
{
    esptool_output said(sizes_of(folder, files));
    progress_pacer pacer;
    platform::run_stop stop(&control.tool_stop);
    std::optional<departure_watch> departure;
    if (watched)
        departure.emplace(*watched, stop);
    bool elsewhere = false;
    bool too_small = false;
    std::string last_line;  // what a program that could not start says last
    const auto reached_elsewhere = [&] {
        return !said.other_mac().empty()
               || (!serial.empty() && !said.mac().empty() && !board_presence::same_mac(serial, said.mac()));
    };
    const platform::run_outcome outcome = platform::run_command_line(
        result.rom_loader ? through_rom_loader(command_line) : command_line,
        [&](std::string_view line) {
            const auto figure = said.feed(line);
            if (departure) {
                departure->connected = said.connected();
                departure->resetting = said.resetting();
            }
            if (!elsewhere && reached_elsewhere()) {
                elsewhere = true;
                stop.request();
            }
            if (!too_small && said.warned_flash_too_small()) {
                too_small = true;
                stop.request();
            }
            if (line.find_first_not_of(" \t") != std::string_view::npos)
                last_line.assign(line.substr(0, 1000));
            if (figure)
                if (const auto shown = pacer.offer(*figure))
                    report.progress(run, *shown);
        },
        &stop, options.pass_output, folder);
    const bool unplugged = departure && departure->departed();
    departure.reset();
    using kind = platform::run_outcome::kind;
    const bool exited_well = outcome.how == kind::exited && outcome.code == 0;
    result.resets = said.resetting() || exited_well;
    tool_facts& facts = result.facts;
    for (auto [ours, theirs] : {std::pair{&facts.esptool_version, &said.version()}, std::pair{&facts.chip, &said.chip()},
                                std::pair{&facts.mac, &said.mac()}})
        if (ours->empty())
            *ours = *theirs;
    for (const run_image& file : files)
        if (said.verified(file.offset))
            result.verified.push_back(file.name);
    if (elsewhere)
        return !said.other_mac().empty()
                   ? fmt::format("esptool named two chips in one run: MAC {} and {}", said.mac(), said.other_mac())
                   : wrong_board(said.mac(), serial);
    if (unplugged && !exited_well) {
        result.unplugged = true;
        return unplugged_during(run);
    }
    if (const auto chip_flash = said.flash_too_small(); chip_flash && (too_small || !exited_well))
        return too_small_reason(*chip_flash, said, run, folder, firmware_base);
    if (!exited_well && !result.rom_loader && said.lacks_stub() && !control.tool_stop.requested()) {
        result.rom_loader = true;
        if (!options.strict)
            platform::write_console(platform::console_stream::output,
                                    fmt::format("Vornhale: {} has no flasher stub for the ESP32-S3 (Debian's esptool "
                                                "package leaves it out): running it again with --no-stub, so that "
                                                "the chip's own ROM loader writes and verifies the images, more "
                                                "slowly.\n",
                                                esptool_named(said)));
        return run_tool(command_line, run, files, control, report, options, serial, result, folder, firmware_base,
                        watched);
    }
    const std::optional<std::string>& last_error = said.reason();

    switch (outcome.how) {
    case kind::exited:
        if (outcome.code == 0) {
            if (auto trouble = unproven(said, files, serial, options.strict))
                return trouble;
            if (const auto last = pacer.finish(said.told_progress()))
                report.progress(run, *last);
            return std::nullopt;
        }
        // A shell's and env's code for a program, or its interpreter, that could not start.
        if (!last_error && (outcome.code == 126 || outcome.code == 127) && !last_line.empty())
            return "esptool could not start: " + last_line;
        return last_error ? *last_error : fmt::format("esptool exited with code {}", outcome.code);
    case kind::signalled:
        return last_error ? *last_error : fmt::format("esptool was stopped by signal {}", outcome.code);
    case kind::not_found:
        return platform::tool_not_found_reason();
    case kind::not_started:
        return "esptool could not be started: " + std::system_category().message(outcome.code);
    case kind::too_much_output:
        if (static_cast<std::size_t>(outcome.code) != platform::most_tool_output)
            return fmt::format("esptool printed more than {} bytes, all that the limit on file sizes (ulimit -f) "
                               "leaves for its output, and was stopped",
                               outcome.code);
        return fmt::format("esptool printed more than {} MiB, far more than a run of it prints, and was stopped",
                           platform::most_tool_output >> 20);
    case kind::stopped:
        control.interrupted = true;
        return std::string(interrupted_reason);
    }
    return std::string("esptool failed");
}

bool file_system_image_present(const std::filesystem::path& folder)
{
    // Any kind of entry counts, through links; a test that fails counts as absent.
    std::error_code error;
    return std::filesystem::exists((folder.empty() ? std::filesystem::path(".") : folder) / "fs.bin", error);
}

// The board as the system lists it now: by its serial number, else by where
// it is plugged in, else (a board given by its port alone) by its port.
std::optional<platform::usb_board> find_board(const board_to_flash& board)
{
    try {
        for (platform::usb_board& listed : platform::list_boards())
            if (!board.serial.empty() ? listed.serial == board.serial
                : !board.location.empty() ? listed.location == board.location
                                          : listed.port == board.port)
                return std::move(listed);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The port for the second run, once the board is back after the first run's
// reset and its port has settled; nothing when it has not come back.
std::optional<std::string> port_after_reset(const platform::usb_board& board, const flash_control& control)
{
    using clock = board_presence::clock;
    board_presence::board_return watch(board, clock::now());
    while (!control.tool_stop.requested()) {
        std::vector<platform::usb_board> listed;
        try {
            listed = platform::list_boards();
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        const auto decision = watch.listed(clock::now(), listed);
        if (decision.what == decltype(decision.what)::use)
            return decision.port;
        if (decision.what == decltype(decision.what)::gone)
            return std::nullopt;
        // A 0.2 s absence is seen at this pace even on a busy machine; a
        // return under another name is seen whenever it comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

// After a failed run on port, of a board the system listed when its flash
// began: the reason, said as what happened when the board
// left USB while the run went on (it is not listed now, or listed on another
// port: it left and came back), which esptool can only tell as a failed read
// or write ("OSError: [Errno 5] Input/output error").
std::string failure_reason(const std::string& failure, const board_to_flash& board, const std::string& port,
                           flash_report::run run, const flash_control& control)
{
    if (control.tool_stop.requested() || (board.serial.empty() && board.location.empty()))
        return failure;  // stopped by us, or a board that cannot be found again
    std::vector<platform::usb_board> listed;
    try {
        listed = platform::list_boards();
    } catch (const std::exception&) {
        return failure;
    }
    for (const platform::usb_board& b : listed)
        if (!board.serial.empty() ? b.serial == board.serial : b.location == board.location)
            if (b.port == port)
                return failure;  // still there, on the port of its run
    return fmt::format("{} (esptool: {})", unplugged_during(run), failure);
}

// Counts a flash under way in control for as long as it lives.
class flash_under_way {
public:
    explicit flash_under_way(flash_control& control) : control_(control) { ++control_.flashing; }
    ~flash_under_way() { --control_.flashing; }
    flash_under_way(const flash_under_way&) = delete;
    flash_under_way& operator=(const flash_under_way&) = delete;

private:
    flash_control& control_;
};

}  // namespace

std::string firmware_command_line(std::string_view port, std::string_view base)
{
    return fmt::format(fmt::runtime(firmware_template), port, base);
}

std::string file_system_command_line(std::string_view port)
{
    return fmt::format(fmt::runtime(file_system_template), port);
}

flash_outcome flash_board(const board_to_flash& given, const std::string& firmware_base,
                          const std::filesystem::path& folder, flash_report& report, flash_control& control,
                          const flash_options& options)
{
    using run = flash_report::run;
    flash_outcome outcome;
    if (control.finish_asked) {
        report.closing(run::firmware);
        return outcome;
    }
    const flash_under_way counted(control);
    // Only a board the system lists can be found again after the reset.
    const std::optional<platform::usb_board> listed = find_board(given);
    board_to_flash board = given;
    if (listed && board.location.empty()) {
        board.serial = listed->serial;
        board.location = listed->location;
    }
    report.starting(run::firmware);
    // The chip's MAC is checked against a serial number that is one.
    std::string mac_serial = board.serial;
    if (!board.serial.empty() && !board_presence::mac_value(board.serial)) {
        const std::string what = fmt::format(
            "its USB serial number {} is no MAC, so the board cannot be checked against the chip", board.serial);
        if (options.strict) {
            report.failed(run::firmware, what);
            return outcome;
        }
        platform::write_console(platform::console_stream::output,
                                "Vornhale: the board could not be checked: " + what + ".\n");
        mac_serial.clear();
    }
    const auto watched = [&](const std::string& port) {
        return listed ? std::optional<platform::usb_board>({board.serial, port, board.location}) : std::nullopt;
    };
    const auto why = [&](const std::string& failure, const std::string& port, run r) {
        return listed && !outcome.unplugged ? failure_reason(failure, board, port, r, control) : failure;
    };
    const std::vector<run_image> firmware_images{{0x0, firmware_base + ".ino.bootloader.bin"},
                                                 {0x8000, firmware_base + ".ino.partitions.bin"},
                                                 {0xe000, "boot_app0.bin"},
                                                 {0x10000, firmware_base + ".ino.bin"}};
    if (const auto failure = run_tool(firmware_command_line(board.port, firmware_base), run::firmware,
                                      firmware_images, control, report, options, mac_serial, outcome, folder,
                                      firmware_base, watched(board.port))) {
        report.failed(run::firmware, why(*failure, board.port, run::firmware));
        return outcome;
    }
    report.finished(run::firmware);

    if (!file_system_image_present(folder)) {
        report.no_file_system();
        outcome.flashed = true;
        return outcome;
    }
    if (control.finish_asked) {
        report.closing(run::file_system);
        return outcome;
    }
    std::string port = board.port;
    if (listed) {
        const std::optional<std::string> back =
            port_after_reset({board.serial, board.port, board.location}, control);
        outcome.resets = false;  // it has come back, or will not
        if (!back) {
            report.failed(run::file_system, control.tool_stop.requested()
                                                ? std::string(interrupted_reason)
                                                : "the board did not come back on USB after the firmware was written");
            return outcome;
        }
        port = *back;
        if (port != board.port && refusal_of_names(port, firmware_base)) {
            report.failed(run::file_system, "the board came back on a port esptool would not receive unchanged");
            return outcome;
        }
        if (control.finish_asked) {
            report.closing(run::file_system);
            return outcome;
        }
    }
    report.starting(run::file_system);
    if (const auto failure = run_tool(file_system_command_line(port), run::file_system, {{6750208, "fs.bin"}},
                                      control, report, options, mac_serial, outcome, folder, firmware_base,
                                      watched(port))) {
        report.failed(run::file_system, why(*failure, port, run::file_system));
        return outcome;
    }
    report.finished(run::file_system);
    outcome.flashed = true;
    return outcome;
}
