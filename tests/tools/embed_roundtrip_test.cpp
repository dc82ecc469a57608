// The generator's output, compiled, gives back every input byte exactly: the
// input holds every ordered pair of byte values, so each byte is seen followed
// by every other (digits after an escape, a quote after a backslash, ...).
// Both forms: a file of a tree, and one file as an array of its own.

#include "web/resource_filesystem.h"

#include <cstddef>
#include <gtest/gtest.h>
#include <string>

namespace embedded {
extern const char all_byte_pairs[];
extern const std::size_t all_byte_pairs_size;
}  // namespace embedded

namespace {

void expect_every_pair(const char* begin, const char* end)
{
    std::string expected;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            expected += static_cast<char>(first);
            expected += static_cast<char>(second);
        }
    }
    const std::string embedded_bytes(begin, end);
    ASSERT_EQ(embedded_bytes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(embedded_bytes[i], expected[i]) << "first difference at byte " << i;
    EXPECT_EQ(*end, '\0');
}

}  // namespace

TEST(EmbeddedBytes, EveryPairOfByteValuesSurvivesTheGenerator)
{
    const embedded::resource_file file = embedded::get_resource_filesystem().open_file("bytes/all_pairs.bin");
    expect_every_pair(file.begin, file.end);
    expect_every_pair(embedded::all_byte_pairs, embedded::all_byte_pairs + embedded::all_byte_pairs_size);
}
