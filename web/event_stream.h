#pragma once

#include <atomic>
#include <cstddef>
#include <httplib.h>
#include <string>
#include <string_view>

class status_queue;

// How many times a page has been requested ("/"). A page that reloads keeps its
// old stream open for a moment after it has stopped showing what arrives, so a
// stream opened before the latest page request ends instead of taking more
// texts; they wait in the queue for the new page's stream. A page that is still
// open reconnects by itself, and loses nothing.
using page_load_counter = std::atomic<unsigned long>;

// At most this many streams are open at once, far fewer than the server has
// threads, so that the page and its stylesheet always find one. A new stream
// makes the oldest one give way: the page opened last, the one a user looks at,
// always gets its texts, and a page whose stream gave way reconnects by itself.
inline constexpr std::size_t max_open_streams = 6;

// One event as written on the wire: "data: ", the text, two line feeds. Every
// control character in the text (below U+0020, and U+007F), among them CR and
// LF, is written as U+FFFD, so that no text can end its event early or add
// fields of its own.
std::string event_payload(std::string_view text);

// Handler for GET "/event": a server-sent event stream that takes texts from
// queue one at a time and writes each as one event (event_payload) in one
// chunk; to an HTTP/1.0 client, without chunks until the connection closes.
// A stream ends after it has written the exit text. The queue must outlive
// the server.
//
// Only our own page may read the stream: a request from another site (by its
// Origin, Sec-Fetch-Site or Host header) is answered 403 and takes nothing.
// port is the one the server listens on, for those checks.
httplib::Server::Handler event_stream_handler(status_queue& queue, const page_load_counter& page_loads, int port);
