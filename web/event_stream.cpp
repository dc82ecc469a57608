#include "web/event_stream.h"

#include "app/status_queue.h"

#include <string>

httplib::Server::Handler event_stream_handler(status_queue& queue)
{
    return [&queue](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "text/event-stream", [&queue](size_t, httplib::DataSink& sink) {
                std::string text = queue.take();
                // The exit text is for every stream that is still open: hand it
                // on to the next waiting one before writing it here.
                if (text == exit_text)
                    queue.push_front(text);
                std::string payload = "data: " + text + "\n\n";
                sink.write(payload.data(), payload.size());
                return true;
            });
    };
}
