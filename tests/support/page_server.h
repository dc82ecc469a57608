#pragma once

// The program's routes ("/event", then one per embedded file, then the station
// page's) on a real server on an ephemeral loopback port, registered, started
// and shut down in the same order as the program does it.

#include "app/host.h"
#include "app/status_queue.h"
#include "web/event_stream.h"
#include "web/request_guard.h"
#include "web/resource_filesystem.h"
#include "web/resource_routes.h"
#include "web/station_feed.h"
#include "web/station_routes.h"

#include <atomic>
#include <httplib.h>
#include <stdexcept>
#include <string>
#include <thread>

struct page_server {
    status_queue queue;
    station_feed station;
    status_server server;
    std::atomic<bool> ended = false;
    std::thread thread;
    int port = 0;
    std::atomic<int> finished_requests = 0;  // counted as the server logs them
    page_load_counter page_loads = 0;

    // `resources` must outlive the server: its handlers keep handles to it.
    explicit page_server(embedded::resource_filesystem resources = embedded::get_resource_filesystem())
    {
        port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("cannot bind a test port");
        guard_requests(server, page_loads, port);
        server.Get("/event", event_stream_handler(queue, page_loads, port));
        const std::string resource_root = "web_resources";
        for (const embedded::directory_entry& entry : resources.list_directory(resource_root))
            register_resource_routes(server, resources, resource_root, resource_root, entry);
        register_station_routes(server, station, port);
        server.set_logger([this](const httplib::Request&, const httplib::Response&) { ++finished_requests; });
        thread = std::thread(serve, std::ref(server), std::ref(ended));
        server.wait_until_ready();
    }

    void shutdown()
    {
        stop_server(server, ended);
        queue.push(std::string(exit_text));
        station.close();
        thread.join();
    }

    ~page_server()
    {
        if (thread.joinable())
            shutdown();
    }
};
