// Push-to-arrival latency of status texts through the queue and the event
// stream to a raw socket client on loopback, and texts per second with one
// stream. Prints one line of key=value figures.

#include "support/raw_client.h"
#include "support/stream_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using clock_type = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::stoi(argv[1]) : 10000;
    stream_server server;
    raw_client client(server.port);
    client.send(event_request(server.port));
    client.read_until("\r\n\r\n");

    const std::string text = "Firmware upload done.";
    const size_t chunk_size = event_chunk(text).size();

    // Latency: one text at a time, each waited for.
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto pushed = clock_type::now();
        server.queue.push(text);
        if (client.read_exactly(chunk_size).size() != chunk_size) {
            std::fprintf(stderr, "event %d did not arrive\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - pushed).count());
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))]; };

    // Throughput: all texts pushed at once, until the last has arrived.
    const int burst = count * 10;
    const auto start = clock_type::now();
    for (int i = 0; i < burst; ++i)
        server.queue.push(text);
    const std::string all = client.read_exactly(chunk_size * static_cast<size_t>(burst), std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (all.size() != chunk_size * static_cast<size_t>(burst)) {
        std::fprintf(stderr, "burst incomplete\n");
        return 1;
    }

    std::printf("texts=%d p50_us=%.1f p99_us=%.1f max_us=%.1f burst=%d texts_per_s=%.0f\n", count, at(0.50),
                at(0.99), micros.back(), burst, burst / seconds);
    client.close();
    return 0;
}
