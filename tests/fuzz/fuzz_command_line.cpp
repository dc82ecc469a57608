// Splitting any command line terminates, never invents characters, and for a
// line without quotes or backslashes is the plain split at blanks.

#include "platform/process.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> split_at_blanks(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\t') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> arguments = platform::split_command_line(line);

    size_t total = 0;
    for (const std::string& argument : arguments) {
        total += argument.size();
        for (char c : argument)
            require(line.find(c) != std::string::npos);
    }
    require(total <= line.size());

    if (line.find('"') == std::string::npos && line.find('\\') == std::string::npos &&
        line.find('\0') == std::string::npos && line.find('\n') == std::string::npos) {
        require(arguments == split_at_blanks(line));
    }
    return 0;
}
