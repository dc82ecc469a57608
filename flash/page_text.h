#pragma once

#include <optional>
#include <string>
#include <string_view>

// Makes text that comes from outside the program (a file name, a port name,
// the flashing tool's output) safe to put into a status text, which the page
// inserts as HTML and the event stream sends as lines: &, <, > and " become
// character references; control characters (C0 and C1, DEL; line breaks and
// tabs among them; the marks, embeddings, overrides and isolates of
// bidirectional text and the line and paragraph separators) and bytes that
// are not UTF-8 become U+FFFD. Other text is returned unchanged.
std::string page_text(std::string_view outside);

// Text from outside as valid UTF-8: bytes that are not UTF-8 become U+FFFD;
// everything else, control characters included, is returned unchanged.
std::string repaired_utf8(std::string_view outside);

// Text from outside for a page that shows it as text (never as markup), and
// for the records: as page_text, but without the character references.
std::string plain_text(std::string_view outside);

// The first control character in a name from outside (C0, DEL or C1, as
// UTF-8; or a byte 0x80 to 0x9F outside any UTF-8 sequence, which a terminal
// that reads Latin-1 takes for C1), said as "U+000A" or "the byte 0x9B";
// nothing when it holds none.
std::optional<std::string> first_control(std::string_view outside);
