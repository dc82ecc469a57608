#include "flash/flash_worker.h"
#include "flash/page_text.h"
#include "platform/process.h"

#include <gtest/gtest.h>

using args = std::vector<std::string>;

TEST(FlashCommandLines, TemplatesAreExact)
{
    // Filled with their own field names, the lines give back the templates:
    // inserted text is never interpreted.
    const std::string firmware_template = firmware_command_line("{0}", "{1}");
    const std::string file_system_template = file_system_command_line("{}");
    EXPECT_EQ(firmware_template.size(), 274u);
    EXPECT_EQ(file_system_template.size(), 178u);
    EXPECT_EQ(firmware_command_line("", "").size(), 262u);
    EXPECT_EQ(file_system_command_line("").size(), 176u);

    EXPECT_EQ(firmware_command_line("/dev/ttyACM0", "blink"),
              ".\\esptool.exe --chip esp32s3 --port \"/dev/ttyACM0\" --baud 921600  --before default_reset "
              "--after hard_reset write_flash  -z --flash_mode keep --flash_freq keep --flash_size keep "
              "0x0 \"blink.ino.bootloader.bin\" 0x8000 \"blink.ino.partitions.bin\" 0xe000 \"boot_app0.bin\" "
              "0x10000 \"blink.ino.bin\"");
    EXPECT_EQ(file_system_command_line("/dev/ttyACM0"),
              ".\\esptool.exe --chip esp32s3 --port /dev/ttyACM0 --baud 921600 --before default_reset "
              "--after hard_reset write_flash -z --flash_mode dio --flash_freq 80m --flash_size detect "
              "6750208 fs.bin");
}

TEST(FlashCommandLines, ReachTheToolAsTheseArguments)
{
    const auto firmware_args = [](const std::string& port, const std::string& base) {
        return args{".\\esptool.exe", "--chip", "esp32s3", "--port", port, "--baud", "921600", "--before",
                    "default_reset", "--after", "hard_reset", "write_flash", "-z", "--flash_mode", "keep",
                    "--flash_freq", "keep", "--flash_size", "keep", "0x0", base + ".ino.bootloader.bin",
                    "0x8000", base + ".ino.partitions.bin", "0xe000", "boot_app0.bin", "0x10000", base + ".ino.bin"};
    };
    for (const std::string base : {"blink", "my sketch", "a&b %PATH% {x}", "{0}{1}{}", "caf\xE9 $(x) `y` 'z' ;|<>"}) {
        SCOPED_TRACE(base);
        EXPECT_EQ(platform::split_command_line(firmware_command_line("/dev/ttyACM0", base)),
                  firmware_args("/dev/ttyACM0", base));
    }
    // A double quote inside a name ends the quoted part early, as on Windows.
    EXPECT_EQ(platform::split_command_line(firmware_command_line("/dev/ttyACM0", "say \"hi\" now"))[20],
              "say hi now.ino.bootloader.bin");
    // A port with a blank stays one argument in the first line only.
    EXPECT_EQ(platform::split_command_line(firmware_command_line("/dev/my port", "b"))[4], "/dev/my port");

    EXPECT_EQ(platform::split_command_line(file_system_command_line("/dev/ttyACM0")),
              (args{".\\esptool.exe", "--chip", "esp32s3", "--port", "/dev/ttyACM0", "--baud", "921600", "--before",
                    "default_reset", "--after", "hard_reset", "write_flash", "-z", "--flash_mode", "dio",
                    "--flash_freq", "80m", "--flash_size", "detect", "6750208", "fs.bin"}));
    EXPECT_EQ(platform::split_command_line(file_system_command_line("/dev/my port"))[4], "/dev/my");
}

TEST(SplitCommandLine, WindowsRules)
{
    const struct {
        const char* line;
        args expected;
    } cases[] = {
        {"", {}},
        {" \t ", {}},
        {"prog", {"prog"}},
        {"  prog   a \t b  ", {"prog", "a", "b"}},
        {"prog \"a b\" c", {"prog", "a b", "c"}},
        {"prog a\"b c\"d", {"prog", "ab cd"}},
        {"prog \"\"", {"prog", ""}},
        {"prog \"open to the end", {"prog", "open to the end"}},
        {"prog \"a \"\"quoted\"\" word\"", {"prog", "a \"quoted\" word"}},
        {"prog a\\b c\\\\d e\\", {"prog", "a\\b", "c\\\\d", "e\\"}},  // literal backslashes
        {"prog a\\\"b", {"prog", "a\"b"}},                            // \" is a quote
        {"prog a\\\\\"b c\"", {"prog", "a\\b c"}},                    // \\" is \ and a grouping quote
        {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},                      // \\\" is \ and a quote
        {"\"C:\\Program Files\\tool.exe\" x", {"C:\\Program Files\\tool.exe", "x"}},
        {".\\tool\\\"d x\" y", {".\\tool\\d x", "y"}},  // the program name has no escapes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(platform::split_command_line(c.line), c.expected);
    }
}

TEST(PageText, EscapesMarkupAndRepairsBrokenUtf8)
{
    EXPECT_EQ(page_text("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(page_text("a&b<c>\"d\"'e'"), "a&amp;b&lt;c&gt;&quot;d&quot;'e'");
    EXPECT_EQ(page_text("&amp;"), "&amp;amp;");
    EXPECT_EQ(page_text("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(page_text("a\xE9z"), "a" + replacement + "z");
    EXPECT_EQ(page_text("\xC3"), replacement);                         // cut short
    EXPECT_EQ(page_text("\xC0\xAF"), replacement + replacement);       // overlong
    EXPECT_EQ(page_text("\xED\xA0\x80"), replacement + replacement + replacement);  // surrogate
    // Four bytes reach U+10FFFF and no further.
    EXPECT_EQ(page_text("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(page_text("\xF4\x90\x80\x80"), replacement + replacement + replacement + replacement);
    EXPECT_EQ(page_text("\xF5\x80\x80\x80\xFF"), replacement + replacement + replacement + replacement + replacement);
    // No control character gets through: a line break would end a server-sent
    // event early and start fields of its own.
    EXPECT_EQ(page_text(std::string("a\0b", 3)), "a" + replacement + "b");
    EXPECT_EQ(page_text("x\ndata: y\r\n\tz\x1b[1m\x7f\xC2\x85\xC2\x9F\xC2\xA0"),
              "x" + replacement + "data: y" + replacement + replacement + replacement + "z" + replacement + "[1m"
                  + replacement + replacement + replacement + "\xC2\xA0");
    // Nor one that reorders or breaks the text around it, so that a name could show as another.
    for (const char* mark : {"\u202A", "\u202E", "\u2066", "\u2069", "\u2028", "\u2029", "\u200E", "\u200F", "\u061C"})
        EXPECT_EQ(page_text(std::string("a") + mark + "b"), "a" + replacement + "b") << mark;
    EXPECT_EQ(page_text("\u2027\u202F\u2065\u200D\u061B"), "\u2027\u202F\u2065\u200D\u061B");  // their neighbours stay
    // For a page that shows text as text (and the records), the same without the references.
    EXPECT_EQ(plain_text("a&<\"\u202E\u2028b"), "a&<\"" + replacement + replacement + "b");
}
