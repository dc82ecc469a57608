#include "support/page_server.h"
#include "support/raw_client.h"
#include "support/source_files.h"
#include "support/stream_server.h"

#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <string>
#include <vector>

namespace {

struct answer {
    int status = 0;
    std::string content_type;
    std::string body;
};

answer get(int port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    const httplib::Result result = client.Get(path);
    if (!result)
        return {};
    return {result->status, result->get_header_value("Content-Type"), result->body};
}

// One request on its own connection, as the exact bytes that came back.
std::string raw_get(int port, const std::string& path, const std::string& extra_headers)
{
    raw_client client(port);
    client.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n" + extra_headers + "\r\n");
    return client.read_to_close();
}

}  // namespace

TEST(ResourceRoutes, ServeThePageAtTheRootOnly)
{
    page_server s;
    for (const char* path : {"/", "/?reload=1", "/?"}) {
        const answer a = get(s.port, path);
        EXPECT_EQ(a.status, 200) << path;
        EXPECT_EQ(a.content_type, "text/html") << path;
        EXPECT_EQ(a.body, source_page()) << path;
    }
    for (const char* path : {"/index.html", "/web_resources/index.html", "/web_resources", "/web_resources/",
                             "/favicon.ico", "/pico.red.min.css/", "//", "/index"})
        EXPECT_EQ(get(s.port, path).status, 404) << path;
}

TEST(ResourceRoutes, ServeTheStylesheet)
{
    page_server s;
    const answer a = get(s.port, "/pico.red.min.css");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.content_type, "text/css");
    EXPECT_EQ(a.body.size(), 82200u);
    EXPECT_EQ(a.body, source_stylesheet());
    // Each dot of the route is a wildcard, not an escaped dot.
    EXPECT_TRUE(get(s.port, "/picoXredXminXcss").body == source_stylesheet());
}

TEST(ResourceRoutes, NeverCompress)
{
    page_server s;
    for (const char* path : {"/", "/pico.red.min.css"}) {
        const std::string reply = raw_get(s.port, path, "Accept-Encoding: gzip, deflate, br\r\n");
        const auto head_end = reply.find("\r\n\r\n");
        ASSERT_NE(head_end, std::string::npos) << path;
        const std::string head = reply.substr(0, head_end + 2);
        EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
        EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
        const std::string& source = std::string(path) == "/" ? source_page() : source_stylesheet();
        EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(source.size()) + "\r\n"), std::string::npos) << head;
        EXPECT_EQ(reply.substr(head_end + 4), source) << path;
    }
}

TEST(ResourceRoutes, SimultaneousRequestsEachGetTheWholeStylesheet)
{
    page_server s;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<answer>> requests;
    for (int i = 0; i < 8; ++i) {
        requests.push_back(std::async(std::launch::async, [&s, start] {
            start.wait();
            return get(s.port, "/pico.red.min.css");
        }));
    }
    go.set_value();
    for (auto& request : requests) {
        const answer a = request.get();
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.body.size(), 82200u);
        EXPECT_TRUE(a.body == source_stylesheet());
    }
}

TEST(ResourceRoutes, EventStreamStillAnswers)
{
    page_server s;
    s.queue.push("Firmware upload done.");
    raw_client client(s.port);
    client.send(event_request(s.port));
    const std::string head = client.read_until("\r\n\r\n");
    EXPECT_NE(head.find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << head;
    EXPECT_EQ(client.read_exactly(event_chunk("Firmware upload done.").size()), event_chunk("Firmware upload done."));
}

TEST(ResourceRoutes, MirrorTheTreeBelowTheResourceRoot)
{
    // A deeper tree than the program's own: subdirectories, an index page in
    // one of them, names with pattern characters, unknown extensions.
    embedded::resource_directory root;
    const embedded::resource_node root_node = embedded::resource_node::of(root);
    embedded::resource_index index;
    const std::string page = "<p>docs</p>", script = "let a = 1;", notes = "a+b", data = "\x01\x02";
    index.try_emplace("", &root_node);
    const auto top = root.add_subdirectory("web_resources");
    index.try_emplace("web_resources", &top.second);
    const auto docs = top.first.add_subdirectory("docs");
    index.try_emplace("web_resources/docs", &docs.second);
    index.try_emplace("web_resources/app.js", top.first.add_file("app.js", script.data(), script.data() + script.size()));
    index.try_emplace("web_resources/docs/index.html",
                      docs.first.add_file("index.html", page.data(), page.data() + page.size()));
    index.try_emplace("web_resources/docs/a+b (1).txt",
                      docs.first.add_file("a+b (1).txt", notes.data(), notes.data() + notes.size()));
    index.try_emplace("web_resources/docs/blob", docs.first.add_file("blob", data.data(), data.data() + data.size()));
    const auto api = docs.first.add_subdirectory("api");
    index.try_emplace("web_resources/docs/api", &api.second);
    const std::string api_page = "<p>api</p>", reference = "ref";
    index.try_emplace("web_resources/docs/api/index.html",
                      api.first.add_file("index.html", api_page.data(), api_page.data() + api_page.size()));
    index.try_emplace("web_resources/docs/api/ref.txt",
                      api.first.add_file("ref.txt", reference.data(), reference.data() + reference.size()));
    const embedded::resource_filesystem fs(index);

    page_server s(fs);
    struct expected {
        const char* path;
        const char* content_type;
        std::string body;
    };
    for (const expected& e : {expected{"/app.js", "text/javascript", script}, expected{"/docs/", "text/html", page},
                              expected{"/docs/a+b (1).txt", "text/plain", notes},
                              expected{"/docs/blob", "text/plain", data}, expected{"/docs/api/", "text/html", api_page},
                              expected{"/docs/api/ref.txt", "text/plain", reference}}) {
        const answer a = get(s.port, e.path);
        EXPECT_EQ(a.status, 200) << e.path;
        EXPECT_EQ(a.content_type, e.content_type) << e.path;
        EXPECT_EQ(a.body, e.body) << e.path;
    }
    for (const char* path : {"/", "/docs", "/docs/index.html", "/web_resources/app.js", "/a+b (1).txt", "/docs/aab 1.txt",
                             "/api/", "/api/ref.txt", "/docs/ref.txt", "/docs/api/index.html"})
        EXPECT_EQ(get(s.port, path).status, 404) << path;
}

TEST(ResourceRoutes, ServeTheStationPageAsATopLevelPageOfOurOwnOnly)
{
    page_server s;
    raw_client status_stream(s.port);
    status_stream.send(event_request(s.port));
    ASSERT_FALSE(status_stream.read_until("\r\n\r\n").empty());

    const answer a = get(s.port, "/station");
    EXPECT_EQ(a.content_type, "text/html");
    EXPECT_TRUE(a.body == read_source_file(VORNHALE_STATION_PAGE_SOURCE));
    EXPECT_EQ(get(s.port, "/station/").status, 404);
    for (const std::string& headers : {std::string("Sec-Fetch-Dest: iframe\r\n"), std::string("Sec-Fetch-Dest: empty\r\n"),
                                       "Origin: http://127.0.0.1:" + std::to_string(s.port + 1) + "\r\n"})
        EXPECT_EQ(raw_get(s.port, "/station", headers).rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << headers;

    // Loading the station page is no reload of the status page: its stream goes on.
    s.queue.push("still here");
    EXPECT_EQ(status_stream.read_exactly(event_chunk("still here").size()), event_chunk("still here"));
}
