// Keeps records as the station does, one after another, into a record file in
// the working directory (each on stable storage before the next), with the
// images of the working directory read and digested first. Prints, on
// standard error, the median and the slowest time to keep one record in
// microseconds; standard output carries the records, as in station mode.

#include "station/image_set.h"
#include "station/record_log.h"
#include "platform/console.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    platform::keep_output_for_records();
    const image_set images("blink", ".");
    record_log records("records.jsonl", std::chrono::system_clock::now(), &images);
    std::vector<double> took;
    for (int i = 0; i < count; ++i) {
        const board_record record{"2026-12-08T09:12:03Z", "/dev/ttyACM" + std::to_string(i % 8),
                                  "F4:12:FA:00:00:" + std::to_string(10 + i % 90), true, {}, 21.4, 1,
                                  "ESP32-S3 (QFN56) (revision v0.2)", "f4:12:fa:00:00:01", "4.7.0", "blink.ino.bin",
                                  {"blink.ino.bootloader.bin", "blink.ino.partitions.bin", "boot_app0.bin",
                                   "blink.ino.bin", "fs.bin"}};
        const auto start = std::chrono::steady_clock::now();
        const std::string trouble = records.keep(record);
        took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (!trouble.empty()) {
            std::fprintf(stderr, "%s\n", trouble.c_str());
            return 1;
        }
    }
    if (!records.finish(std::chrono::seconds(5)))
        return 1;
    std::sort(took.begin(), took.end());
    std::fprintf(stderr, "keep_median_us=%.0f\nkeep_max_us=%.0f\n", took[took.size() / 2], took.back());
    return 0;
}
