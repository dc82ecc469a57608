// Whatever a line of a record file holds, reading it back agrees with a full
// JSON parser on what the record says, and its table row is one row.

#include "station/summary.h"

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::string text_of(const nlohmann::json& line, const char* name)
{
    const auto it = line.find(name);
    return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<batch::record> read = batch::parse_record(text);
    // That parser ends its input at a NUL byte, where a record line has none.
    const nlohmann::json line = text.find('\0') == std::string_view::npos
                                    ? nlohmann::json::parse(text.begin(), text.end(), nullptr, false)
                                    : nlohmann::json(nlohmann::json::value_t::discarded);
    if (line.is_object()) {
        const std::string result = text_of(line, "result");
        const bool a_record = batch::parse_time(text_of(line, "time")) && (result == "flashed" || result == "failed");
        require(a_record == read.has_value());
        if (read)
            require(read->flashed == (result == "flashed") && read->reason == text_of(line, "reason")
                    && read->port == text_of(line, "port") && read->serial == text_of(line, "serial")
                    && read->application == text_of(line, "application"));
    } else if (!line.is_discarded()) {
        require(!read);  // JSON, but no object
    }
    if (read) {
        const std::string row = batch::csv_row(*read);
        require(row.size() >= 2 && row.find("\r\n") == row.size() - 2 && row.find('\n') == row.size() - 1);
        batch::figures f;
        f.add(*read);
        require(batch::summary_text(f, 1).find('\r') == std::string::npos);
    }
    return 0;
}
