#pragma once

#include <atomic>
#include <httplib.h>

class status_queue;

// How many times a page has been requested ("/"). A page that reloads keeps its
// old stream open for a moment after it has stopped showing what arrives, so a
// stream opened before the latest page request ends instead of taking more
// texts; they wait in the queue for the new page's stream. A page that is still
// open reconnects by itself, and loses nothing.
using page_load_counter = std::atomic<unsigned long>;

// Counts every GET "/" in page_loads. Call before the server listens; both
// must outlive the server.
void count_page_loads(httplib::Server& server, page_load_counter& page_loads);

// Handler for GET "/event": a server-sent event stream that takes texts from
// queue one at a time and writes each as one event ("data: TEXT\n\n") in one
// chunk. The queue must outlive the server.
//
// Only our own page may read the stream: a request from another site (by its
// Origin, Sec-Fetch-Site or Host header) is answered 403 and takes nothing.
// port is the one the server listens on, for those checks.
httplib::Server::Handler event_stream_handler(status_queue& queue, const page_load_counter& page_loads, int port);
