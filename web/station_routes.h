#pragma once

// The station page: GET "/station" (the page, carried in the executable
// outside the resource tree) and GET "/station/event" (its feed's stream).
// The request guard (web/request_guard.h) keeps "/station" a top-level page of
// our own, as it does "/".

#include "web/station_feed.h"

#include <httplib.h>

// feed must outlive the server; port is the one the server listens on.
void register_station_routes(httplib::Server& server, station_feed& feed, int port);
