#include "platform/process.h"

namespace platform {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> split_command_line(std::string_view line)
{
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n && is_blank(line[i]))
        ++i;
    if (i == n)
        return args;

    // The program name: no escapes, quotes only group.
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && is_blank(line[i]))
            break;
        else
            program += line[i];
    }
    args.push_back(std::move(program));

    while (true) {
        while (i < n && is_blank(line[i]))
            ++i;
        if (i == n)
            break;
        std::string arg;
        quoted = false;
        while (i < n && (quoted || !is_blank(line[i]))) {
            if (line[i] == '\\') {
                std::size_t backslashes = 0;
                while (i < n && line[i] == '\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(backslashes / 2, '\\');
                    if (backslashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(backslashes, '\\');
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace platform
