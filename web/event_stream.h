#pragma once

#include <httplib.h>

class status_queue;

// Handler for GET "/event": a server-sent event stream that takes texts from
// queue one at a time and writes each as one event ("data: TEXT\n\n") in one
// chunk. The queue must outlive the server.
httplib::Server::Handler event_stream_handler(status_queue& queue);
