#pragma once

// GET routes for the embedded web resources: one per file below the resource
// root, "index.html" standing for its directory's path with a trailing "/".

#include "web/resource_filesystem.h"

#include <httplib.h>
#include <string>

// Registers the routes for `entry`, found in the directory `directory_path`
// (the resource root or a directory below it), descending into directories.
// A route is the file's path with the resource root cut off, as a pattern in
// which each "." matches any one character.
void register_resource_routes(httplib::Server& server, const embedded::resource_filesystem& filesystem,
                              const std::string& resource_root, const std::string& directory_path,
                              const embedded::directory_entry& entry);

// Handler that answers every request with the bytes of the file `name` in
// `directory_path` and the given content type. Holds copies of everything.
httplib::Server::Handler resource_handler(embedded::resource_filesystem filesystem, std::string directory_path,
                                          std::string name, std::string content_type);
