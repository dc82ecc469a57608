#pragma once

// Rules every request to the status server passes before its route.

#include "web/event_stream.h"

#include <httplib.h>

// True for a request that another site made the browser send (by its Origin,
// Sec-Fetch-Site or Host header: a foreign Host is how DNS rebinding shows).
// port is the one the server listens on.
bool is_foreign_request(const httplib::Request& request, int port);

// Installs on server, before it listens:
// - on every response, headers that forbid showing it in a frame;
// - refusal of every method but GET and HEAD (405), and of any request that
//   carries a body (413): no route takes one, and no body is ever read; of
//   one with other than exactly one Host header (400);
// - refusal (403) of "/" and "/station" requested as anything but a
//   top-level document or from another site; every other GET "/" counts in
//   page_loads, so that only our own page's load ends the streams opened
//   before it ("/station" does not count: its streams take nothing).
// page_loads must outlive the server.
void guard_requests(httplib::Server& server, page_load_counter& page_loads, int port);
