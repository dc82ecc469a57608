// The generator's output, compiled, gives back every input byte exactly: the
// input holds every ordered pair of byte values, so each byte is seen followed
// by every other (digits after an escape, a quote after a backslash, ...).

#include "web/resource_filesystem.h"

#include <gtest/gtest.h>
#include <string>

TEST(EmbeddedBytes, EveryPairOfByteValuesSurvivesTheGenerator)
{
    std::string expected;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            expected += static_cast<char>(first);
            expected += static_cast<char>(second);
        }
    }
    const embedded::resource_file file = embedded::get_resource_filesystem().open_file("bytes/all_pairs.bin");
    const std::string embedded_bytes(file.begin, file.end);
    ASSERT_EQ(embedded_bytes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(embedded_bytes[i], expected[i]) << "first difference at byte " << i;
    EXPECT_EQ(*file.end, '\0');
}
