#include "platform/webview.h"

// No web view on this system yet: every window reports itself unavailable,
// and the program serves its status page without one.
namespace webview {

struct webview::impl {};

webview::webview(bool, void*) { throw unavailable("no web view runtime available"); }
webview::~webview() = default;
void webview::set_title(const std::string&) {}
void webview::set_size(int, int, hint) {}
void webview::navigate(const std::string&) {}
void webview::set_html(const std::string&) {}
void webview::run() {}
void webview::terminate() {}

}  // namespace webview
