#include "support/raw_client.h"
#include "support/stream_server.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string exit_chunk = "1a\r\ndata: {\"event\" : \"exit\"}\n\n\r\n";

std::unique_ptr<raw_client> open_stream(int port, const std::string& extra_headers = "")
{
    auto client = std::make_unique<raw_client>(port);
    client->send(event_request("GET", extra_headers));
    return client;
}

}  // namespace

TEST(EventStream, WireFormatIsExact)
{
    stream_server s;
    s.queue.push("The board is not connected.");
    s.queue.push("Firmware upload done.");

    auto client = open_stream(s.port, "Accept-Encoding: gzip, deflate\r\n");
    const std::string head = client->read_until("\r\n\r\n");
    ASSERT_FALSE(head.empty());
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;

    // Texts pushed before the client came arrive first, oldest first.
    EXPECT_EQ(client->read_exactly(41), "23\r\ndata: The board is not connected.\n\n\r\n");
    EXPECT_EQ(client->read_exactly(35), "1d\r\ndata: Firmware upload done.\n\n\r\n");

    // A line break inside a text is sent unchanged, not split into data lines.
    s.queue.push("line one\nline two");
    EXPECT_EQ(client->read_exactly(31), "19\r\ndata: line one\nline two\n\n\r\n");

    s.queue.push("");
    EXPECT_EQ(client->read_exactly(13), "8\r\ndata: \n\n\r\n");
    EXPECT_EQ(client->read_at_least(1, 100ms), "");
}

TEST(EventStream, HeadRequestTakesNoText)
{
    stream_server s;
    s.queue.push("kept for the page");
    {
        raw_client head(s.port);
        head.send(event_request("HEAD"));
        const std::string headers = head.read_until("\r\n\r\n");
        EXPECT_NE(headers.find("text/event-stream"), std::string::npos);
        head.read_at_least(1, 200ms);
        EXPECT_EQ(head.take_buffer(), "");
    }
    auto client = open_stream(s.port);
    client->read_until("\r\n\r\n");
    EXPECT_EQ(client->read_exactly(event_chunk("kept for the page").size()), event_chunk("kept for the page"));
}

TEST(EventStream, ATextReachesExactlyOneOfTwoStreams)
{
    stream_server s;
    auto a = open_stream(s.port);
    auto b = open_stream(s.port);
    a->read_until("\r\n\r\n");
    b->read_until("\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    s.queue.push("only once");
    a->read_at_least(1, 300ms);
    b->read_at_least(1, 300ms);
    const std::string got = a->take_buffer() + b->take_buffer();
    EXPECT_EQ(got, event_chunk("only once"));
}

class EventStreamShutdown : public ::testing::TestWithParam<int> {};

TEST_P(EventStreamShutdown, EveryWaitingStreamGetsTheExitEventLast)
{
    const int streams = GetParam();
    stream_server s;
    std::vector<std::unique_ptr<raw_client>> clients;
    for (int i = 0; i < streams; ++i) {
        clients.push_back(open_stream(s.port));
        ASSERT_FALSE(clients.back()->read_until("\r\n\r\n").empty());
    }
    // Let every provider reach its wait for a text.
    std::this_thread::sleep_for(200ms);

    auto done = std::async(std::launch::async, [&] { s.shutdown(); });
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "shutdown hangs with " << streams << " streams";

    for (auto& client : clients) {
        const std::string rest = client->read_to_close(2s);
        EXPECT_TRUE(client->peer_closed());
        // The exit event and nothing after it: no terminating chunk of length zero.
        EXPECT_EQ(rest, exit_chunk);
    }
}

INSTANTIATE_TEST_SUITE_P(OpenStreams, EventStreamShutdown, ::testing::Values(0, 1, 2, 5));
