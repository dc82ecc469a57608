// Runs the firmware scan once over the working directory, as start-up does.
// Prints the report text and the time the scan itself took, in microseconds.

#include "app/status_queue.h"
#include "flash/discovery.h"

#include <chrono>
#include <cstdio>
#include <string>

int main()
{
    status_queue queue;
    std::string firmware_base;
    const auto start = std::chrono::steady_clock::now();
    discover_firmware(firmware_base, queue);
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("%s\nscan_us=%lld\n", queue.take().c_str(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    return 0;
}
