#pragma once

// Seam: the window with its web view. platform/linux/webview.cpp (GTK 3, WebKitGTK 4.1),
// platform/windows/webview.cpp (WebView2).

#include <memory>
#include <stdexcept>
#include <string>

// The native window of the program: one top-level window that hosts a web view.
// Every member must be called on the thread that constructed the object (the
// main thread).
namespace webview {

enum class hint { none, min, max, fixed };

// Thrown by the constructor when no window can be shown, e.g. without a display.
class unavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class webview {
public:
    // Creates and shows an empty window. debug enables the web view's developer
    // tools. parent_window must be null: the window is always top level.
    webview(bool debug, void* parent_window);
    ~webview();
    webview(const webview&) = delete;
    webview& operator=(const webview&) = delete;

    void set_title(const std::string& title);
    // Sets the size of the client area. hint::none leaves the window resizable.
    void set_size(int width, int height, hint size_hint);
    void navigate(const std::string& url);
    // Shows html, a whole document, instead of navigating anywhere.
    void set_html(const std::string& html);

    // Runs the event loop until the user has closed the window or terminate
    // was called. Returns at once when either has already happened.
    void run();
    // Ends run (from within the event loop, e.g. a signal handler).
    void terminate();

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Instead of the window, when its constructor threw unavailable (reason is
// its message): tells the user that the status page at url is served, and
// how to see it, then waits until the user is done with it or a stop signal
// arrives. True when a stop signal ended the wait.
bool serve_without_window(const std::string& url, const std::string& reason);

// Instead of the window, when there is no status page to serve: shows text
// (already on standard error) where the user sees it, where the system has
// such a place, until the user has read it or a stop signal arrives.
void report_without_window(const std::string& text);

}  // namespace webview
