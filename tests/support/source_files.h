#pragma once

// The resource files as they are in the source tree; the build passes their
// paths in VORNHALE_PAGE_SOURCE and VORNHALE_STYLESHEET_SOURCE.

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

inline std::string read_source_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline const std::string& source_page()
{
    static const std::string bytes = read_source_file(VORNHALE_PAGE_SOURCE);
    return bytes;
}

inline const std::string& source_stylesheet()
{
    static const std::string bytes = read_source_file(VORNHALE_STYLESHEET_SOURCE);
    return bytes;
}
