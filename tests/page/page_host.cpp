// Serves the program's routes on an ephemeral loopback port for the page
// tests: prints the port on the first line of standard output, then pushes
// every line of standard input as one status text (an empty line pushes an
// empty text); in a line, \n, \r and \\ stand for a line feed, a carriage
// return and a backslash. A line "station:DOCUMENT" publishes DOCUMENT, as it
// is, on the station page's feed instead. Shuts down in the program's order at
// the end of input.

#include "support/page_server.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

namespace {

std::string unescape(const std::string& line)
{
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            text += line[i];
            continue;
        }
        const char next = line[++i];
        text += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return text;
}

}  // namespace

int main()
{
    try {
        page_server s;
        std::printf("%d\n", s.port);
        std::fflush(stdout);
        const std::string station = "station:";
        for (std::string line; std::getline(std::cin, line);) {
            if (line.rfind(station, 0) == 0)
                s.station.publish(line.substr(station.size()));
            else
                s.queue.push(unescape(line));
        }
        s.shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "page_host: %s\n", e.what());
        return 1;
    }
    return 0;
}
