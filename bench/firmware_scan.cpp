// Runs the firmware scan once over the working directory, as start-up does.
// Prints the report text, so the caller can check what was found.

#include "app/status_queue.h"
#include "flash/discovery.h"

#include <cstdio>
#include <string>

int main()
{
    status_queue queue;
    std::string firmware_base;
    discover_firmware(firmware_base, queue);
    std::printf("%s\n", queue.take().c_str());
    return 0;
}
