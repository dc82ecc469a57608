#pragma once

#include <httplib.h>

class status_queue;

// Handler for GET "/event": a server-sent event stream that takes texts from
// queue one at a time and writes each as one event ("data: TEXT\n\n") in one
// chunk. The queue must outlive the server.
//
// Only our own page may read the stream: a request from another site (by its
// Origin, Sec-Fetch-Site or Host header) is answered 403 and takes nothing.
// port is the one the server listens on, for those checks.
httplib::Server::Handler event_stream_handler(status_queue& queue, int port = 5000);
