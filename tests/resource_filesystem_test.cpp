#include "support/source_files.h"
#include "web/resource_filesystem.h"

#include <future>
#include <gtest/gtest.h>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

using embedded::resource_filesystem;

namespace {

// name and whether it is a file, for every entry of a listing, in order.
std::vector<std::pair<std::string, bool>> listing(const resource_filesystem& fs, const std::string& path)
{
    std::vector<std::pair<std::string, bool>> entries;
    for (const embedded::directory_entry& entry : fs.list_directory(path)) {
        EXPECT_NE(entry.is_file(), entry.is_directory()) << entry.name();
        entries.emplace_back(entry.name(), entry.is_file());
    }
    return entries;
}

std::string bytes_of(const embedded::resource_file& file) { return std::string(file.begin, file.end); }

}  // namespace

TEST(ResourceFilesystem, ListsTheTreeInNameOrder)
{
    const resource_filesystem fs = embedded::get_resource_filesystem();
    using entries = std::vector<std::pair<std::string, bool>>;
    EXPECT_EQ(listing(fs, ""), (entries{{"web_resources", false}}));
    EXPECT_EQ(listing(fs, "/"), (entries{{"web_resources", false}}));
    EXPECT_EQ(listing(fs, "web_resources"), (entries{{"index.html", true}, {"pico.red.min.css", true}}));
    EXPECT_EQ(listing(fs, "//web_resources/"), (entries{{"index.html", true}, {"pico.red.min.css", true}}));
}

TEST(ResourceFilesystem, OpensThePageWithAndWithoutExtraSlashes)
{
    const resource_filesystem fs = embedded::get_resource_filesystem();
    const embedded::resource_file page = fs.open_file("web_resources/index.html");
    ASSERT_EQ(page.size(), 631u);
    EXPECT_EQ(std::string(page.begin, 15), "<!DOCTYPE html>");
    EXPECT_EQ(*page.end, '\0');

    for (const char* path : {"/web_resources//index.html/", "web_resources//index.html", "///web_resources/index.html",
                             "web_resources///index.html", "web_resources////index.html//"}) {
        const embedded::resource_file same = fs.open_file(path);
        EXPECT_EQ(same.begin, page.begin) << path;
        EXPECT_EQ(same.end, page.end) << path;
    }
}

TEST(ResourceFilesystem, CarriesEachFileByteForByte)
{
    const resource_filesystem fs = embedded::get_resource_filesystem();
    EXPECT_EQ(bytes_of(fs.open_file("web_resources/index.html")), source_page());
    const embedded::resource_file stylesheet = fs.open_file("web_resources/pico.red.min.css");
    EXPECT_EQ(stylesheet.size(), 82200u);
    EXPECT_EQ(bytes_of(stylesheet), source_stylesheet());
    EXPECT_EQ(*stylesheet.end, '\0');
}

TEST(ResourceFilesystem, FailuresCarryTheCodeAndThePathAsPassed)
{
    const resource_filesystem fs = embedded::get_resource_filesystem();
    struct failure_case {
        bool list;
        std::string path;
        int code;
    };
    const std::vector<failure_case> cases = {
        {false, "web_resources", 2},
        {false, "", 2},
        {false, "Web_resources/index.html", 2},
        {false, "web_resources\\index.html", 2},
        {false, "web_resources/./index.html", 2},
        {false, "web_resources/favicon.ico", 2},
        {true, "web_resources/index.html", 20},
        {true, "/web_resources//pico.red.min.css/", 20},
        {true, "no/such/folder", 2},
        {true, "web_resources/../web_resources", 2},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE((c.list ? "list " : "open ") + c.path);
        try {
            if (c.list)
                fs.list_directory(c.path);
            else
                fs.open_file(c.path);
            ADD_FAILURE() << "no error";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), c.code);
            EXPECT_EQ(e.code().category(), std::generic_category());
            EXPECT_EQ(std::string(e.what()), c.path + ": " + e.code().message());
        }
    }
}

TEST(ResourceFilesystem, EveryCallSharesOneTreeBuiltOnce)
{
    // Several first callers at once: all wait for the one construction.
    std::vector<std::future<resource_filesystem>> callers;
    for (int i = 0; i < 8; ++i)
        callers.push_back(std::async(std::launch::async, [] { return embedded::get_resource_filesystem(); }));
    const resource_filesystem first = embedded::get_resource_filesystem();
    for (auto& caller : callers)
        EXPECT_TRUE(caller.get() == first);
    EXPECT_EQ(listing(first, "web_resources").size(), 2u);
}
