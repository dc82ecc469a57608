// Vornhale: flashes the build output in the working directory onto an ESP32-S3
// board and shows every step in a window. Wiring only: what each step does
// lives in web/, flash/ and platform/. Each system's entry function
// (main_posix.cpp, winmain.cpp) calls vornhale_main.

#include "app/entry.h"
#include "app/host.h"
#include "app/status_queue.h"
#include "flash/discovery.h"
#include "flash/firmware_set.h"
#include "flash/flash_worker.h"
#include "station/image_set.h"
#include "station/record_log.h"
#include "station/station.h"
#include "platform/console.h"
#include "platform/socket_options.h"
#include "platform/stop_signal.h"
#include "platform/webview.h"
#include "web/event_stream.h"
#include "web/request_guard.h"
#include "web/resource_filesystem.h"
#include "web/resource_routes.h"
#include "web/station_feed.h"
#include "web/station_routes.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <httplib.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

// How long the exit waits for standard output to take the records it holds back.
constexpr std::chrono::seconds record_drain_limit{5};

int run(bool station, const std::filesystem::path& record_file)
{
    if (station)
        platform::keep_output_for_records();
    const auto session_start = std::chrono::system_clock::now();
    platform::catch_stop_signals();
    platform::raise_descriptor_limit();

    status_queue queue;
    page_load_counter page_loads = 0;
    status_server server;
    guard_requests(server, page_loads, status_port);
    server.Get("/event", event_stream_handler(queue, page_loads, status_port));
    const std::string resource_root = "web_resources";
    const embedded::resource_filesystem resources = embedded::get_resource_filesystem();
    for (const embedded::directory_entry& entry : resources.list_directory(resource_root))
        register_resource_routes(server, resources, resource_root, resource_root, entry);
    station_feed boards_feed;
    if (station)
        register_station_routes(server, boards_feed, status_port);

    std::optional<std::string> board_port;
    std::string firmware_base;
    std::filesystem::path firmware_folder;
    if (!station)
        discover_board(board_port, queue);
    discover_firmware(firmware_base, queue, &firmware_folder);
    std::string firmware_trouble = firmware_set_trouble(firmware_base, firmware_folder);
    if (station && firmware_base.empty())
        firmware_trouble = unsearched_folder_note("Vornhale station");

    // The station reads the images once and flashes that copy, when nothing
    // keeps them from being flashed; its records go to the record file.
    std::unique_ptr<image_set> images;
    std::optional<record_log> records;
    if (station) {
        image_set::remove_left_copies();
        try {
            if (firmware_trouble.empty())
                images = image_set::read_unless_stopped(firmware_base, ".");
        } catch (const std::exception& e) {
            if (firmware_trouble.empty())
                firmware_trouble = std::string("Cannot upload firmware: ") + e.what()
                                   + (std::string_view(e.what()).ends_with('.') ? "" : ".");
        }
        records.emplace(record_file, session_start, images.get());
        platform::print_console("Vornhale: the station's records go to " + records->place() + "\n");
        if (const std::string trouble = records->trouble(); !trouble.empty())
            platform::print_console("Vornhale: " + trouble + "\n");
    }

    const std::optional<bind_failure> failure = bind_status_server(server);
    if (failure)
        platform::print_console(failure->console_line + "\n");

    int status = failure ? 1 : 0;
    std::atomic<bool> server_ended = false;
    flash_control flashing;
    station_output station_out;
    if (station) {
        station_out.publish = [&boards_feed](std::string document) { boards_feed.publish(std::move(document)); };
        station_out.record = [&records](const board_record& record) { return records->keep(record); };
        station_out.record_trouble = [&records] { return records->trouble(); };
        station_out.record_ready = [&records] { return records->ready(); };
        station_out.record_place = records->place();
        station_out.images_note = [&images] { return images ? images->changes() : std::string(); };
        station_out.image_folder = images ? images->folder() : std::filesystem::path();
    }
    std::thread worker_thread;
    std::thread server_thread;
    if (!failure) {
        try {
            if (station)
                worker_thread = std::thread(station_worker, std::cref(firmware_base), std::cref(firmware_trouble),
                                            std::cref(station_out), std::ref(flashing), station_settings{});
            else
                worker_thread = std::thread(flash_worker, std::cref(board_port), std::cref(firmware_base),
                                            std::cref(firmware_trouble), std::ref(queue), std::ref(flashing));
            server_thread = std::thread(serve, std::ref(server), std::ref(server_ended));
        } catch (const std::system_error& e) {
            platform::print_console(std::string("Vornhale cannot start a thread: ") + e.what() + "\n");
            status = 1;
        }
    }

    std::optional<webview::webview> window;
    if (status == 0 || failure) {
        try {
            window.emplace(true, nullptr);
            window->set_title("Vornhale");
            window->set_size(1280, 720, webview::hint::none);
            if (failure)
                window->set_html(failure->page);
            else
                window->navigate(station ? station_url : status_url);
            platform::on_stop_signal([&window] { window->terminate(); });
            window->run();
            platform::on_stop_signal(nullptr);
        } catch (const webview::unavailable& e) {
            window.reset();
            if (failure)
                webview::report_without_window(failure->console_line);
            else
                webview::serve_without_window(station ? station_url : status_url, e.what());
        } catch (const std::exception& e) {
            platform::print_console(std::string("Vornhale cannot show its window: ") + e.what() + "\n");
            status = 1;
        }
    }

    // The window goes at once; a flash in progress is finished, still served to
    // a page in a browser (after a stop signal, only its current run). In
    // station mode closing the window is the first stop.
    const unsigned window_stop = station && platform::stop_requests() == 0 ? 1 : 0;
    if (window_stop)
        platform::print_console("Vornhale: stop request 1: the window was closed.\n");
    window.reset();
    if (worker_thread.joinable()) {
        if (finish_flashing(flashing, window_stop) || flashing.incomplete)
            status = 1;
        worker_thread.join();
    }
    if (server_thread.joinable())
        stop_server(server, server_ended);
    queue.push(std::string(exit_text));
    boards_feed.close();
    if (server_thread.joinable())
        end_server(server, server_thread, server_ended);
    if (records && !records->finish(record_drain_limit))
        status = 1;
    return status;
}

}  // namespace

int vornhale_main(bool station, const std::filesystem::path& record_file) noexcept
{
    try {
        return run(station, record_file);
    } catch (const std::exception& e) {
        platform::print_console(std::string("Vornhale failed: ") + e.what() + "\n");
    } catch (...) {
        platform::print_console("Vornhale failed\n");
    }
    return 1;
}
