// Serves the program's routes on an ephemeral loopback port for the page
// tests: prints the port on the first line of standard output, then pushes
// every line of standard input as one status text (an empty line pushes an
// empty text). Shuts down in the program's order at the end of input.

#include "support/page_server.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

int main()
{
    try {
        page_server s;
        std::printf("%d\n", s.port);
        std::fflush(stdout);
        for (std::string line; std::getline(std::cin, line);)
            s.queue.push(line);
        s.shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "page_host: %s\n", e.what());
        return 1;
    }
    return 0;
}
