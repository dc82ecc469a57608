#include "platform/webview.h"
#include "platform/console.h"
#include "platform/stop_signal.h"

#include <cstdio>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

namespace webview {

struct webview::impl {
    GtkWidget* window = nullptr;
    GtkWidget* view = nullptr;
    bool closed = false;     // the window has been destroyed (by the user)
    bool terminated = false; // terminate was called

    static void on_destroy(GtkWidget*, gpointer data)
    {
        auto* state = static_cast<impl*>(data);
        state->closed = true;
        state->window = nullptr;
        state->view = nullptr;
        if (gtk_main_level() > 0)
            gtk_main_quit();
    }
};

webview::webview(bool debug, void* parent_window) : impl_(std::make_unique<impl>())
{
    if (parent_window != nullptr)
        throw std::invalid_argument("webview: a parent window is not supported");
    if (!gtk_init_check(nullptr, nullptr))
        throw unavailable("no display available");

    impl_->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_signal_connect(impl_->window, "destroy", G_CALLBACK(impl::on_destroy), impl_.get());

    impl_->view = webkit_web_view_new();
    WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(impl_->view));
    webkit_settings_set_enable_developer_extras(settings, debug ? TRUE : FALSE);
    gtk_container_add(GTK_CONTAINER(impl_->window), impl_->view);
    gtk_widget_show_all(impl_->window);
    gtk_widget_grab_focus(impl_->view);
}

webview::~webview()
{
    if (!impl_->closed && impl_->window != nullptr) {
        // Disconnect first: the state the handler writes to is going away.
        g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
        gtk_widget_destroy(impl_->window);
    }
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

void webview::set_title(const std::string& title)
{
    if (impl_->window != nullptr)
        gtk_window_set_title(GTK_WINDOW(impl_->window), title.c_str());
}

void webview::set_size(int width, int height, hint size_hint)
{
    if (impl_->window == nullptr)
        return;
    GtkWindow* window = GTK_WINDOW(impl_->window);
    if (size_hint == hint::fixed) {
        gtk_window_set_resizable(window, FALSE);
        gtk_widget_set_size_request(impl_->window, width, height);
        return;
    }
    gtk_window_set_resizable(window, TRUE);
    if (size_hint == hint::none) {
        // set_default_size alone does nothing once the window is shown.
        gtk_window_set_default_size(window, width, height);
        gtk_window_resize(window, width, height);
        return;
    }
    GdkGeometry geometry{};
    geometry.min_width = geometry.max_width = width;
    geometry.min_height = geometry.max_height = height;
    gtk_window_set_geometry_hints(window, nullptr, &geometry,
                                  size_hint == hint::min ? GDK_HINT_MIN_SIZE : GDK_HINT_MAX_SIZE);
}

void webview::navigate(const std::string& url)
{
    if (impl_->view != nullptr)
        webkit_web_view_load_uri(WEBKIT_WEB_VIEW(impl_->view), url.c_str());
}

void webview::set_html(const std::string& html)
{
    if (impl_->view != nullptr)
        webkit_web_view_load_html(WEBKIT_WEB_VIEW(impl_->view), html.c_str(), nullptr);
}

void webview::run()
{
    if (!impl_->closed && !impl_->terminated)
        gtk_main();
}

void webview::terminate()
{
    impl_->terminated = true;
    if (gtk_main_level() > 0)
        gtk_main_quit();
}

bool serve_without_window(const std::string& url, const std::string&)
{
    platform::print_console("No display available: the status page is served at " + url + " until Ctrl+C.\n");
    platform::wait_for_stop_signal();
    return true;
}

// Standard error is all there is without a display.
void report_without_window(const std::string&) {}

}  // namespace webview
