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

std::string request_for(int port, const std::string& target, const std::string& extra_headers = "")
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra_headers + "\r\n";
}

std::unique_ptr<raw_client> open_stream(int port, const std::string& extra_headers = "",
                                        const std::string& target = "/event")
{
    auto client = std::make_unique<raw_client>(port);
    client->send(request_for(port, target, "Accept: text/event-stream\r\n" + extra_headers));
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

    // No text can end its event early or add fields: every control character
    // goes out as U+FFFD.
    s.queue.push("blink\nretry: 86400000\r\n\ndata: App upload done.\t\x7f");
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(client->read_exactly(event_chunk("blink" + r + "retry: 86400000" + r + r + r + "data: App upload done." + r + r).size()),
              event_chunk("blink" + r + "retry: 86400000" + r + r + r + "data: App upload done." + r + r));

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
        head.send(event_request(s.port, "HEAD"));
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

INSTANTIATE_TEST_SUITE_P(OpenStreams, EventStreamShutdown,
                         ::testing::Values(0, 1, 2, static_cast<int>(max_open_streams)));

namespace {

// Polls until predicate holds; false when `limit` passes first.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

class StreamRelease : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamRelease, AbandonedStreamsAreReleasedWithoutAnyText)
{
    const std::string route = GetParam();
    stream_server s;
    constexpr int abandoned = 50;
    for (int i = 0; i < abandoned; ++i) {
        auto client = open_stream(s.port, "", route);
        ASSERT_FALSE(client->read_until("\r\n\r\n").empty());
    }
    // Far more streams than the pool has threads: unless each one ends when its
    // client has gone, nothing below is ever served.
    EXPECT_TRUE(eventually([&] { return s.finished_requests >= abandoned; }))
        << s.finished_requests << " of " << abandoned << " ended";

    // Streams that have ended no longer count: a live stream older than the
    // later abandoned ones never gives way to them.
    auto kept = open_stream(s.port, "", route);
    ASSERT_FALSE(kept->read_until("\r\n\r\n").empty());
    int ended = abandoned;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 2; i < max_open_streams; ++i, ++ended)  // never enough at once to push it out
            ASSERT_FALSE(open_stream(s.port, "", route)->read_until("\r\n\r\n").empty());
        ASSERT_TRUE(eventually([&] { return s.finished_requests >= ended; }));
    }
    route == "/event" ? s.queue.push("still served") : s.station.publish("still served");
    EXPECT_EQ(kept->read_exactly(event_chunk("still served").size()), event_chunk("still served"));
}

INSTANTIATE_TEST_SUITE_P(EachStream, StreamRelease, ::testing::Values("/event", "/station/event"));

TEST(EventStreamClientGone, ATextTakenForAGoneClientGoesToTheNextStream)
{
    stream_server s;
    for (int round = 0; round < 20; ++round) {
        const std::string text = "text " + std::to_string(round);
        {
            auto gone = open_stream(s.port);
            ASSERT_FALSE(gone->read_until("\r\n\r\n").empty());
        }
        // The old stream may take the text before it notices its client left.
        s.queue.push(text);
        auto next = open_stream(s.port);
        ASSERT_FALSE(next->read_until("\r\n\r\n").empty());
        EXPECT_EQ(next->read_exactly(event_chunk(text).size()), event_chunk(text));
        next->read_at_least(1, 50ms);
        EXPECT_EQ(next->take_buffer(), "") << "delivered more than once";
    }
}

TEST(EventStreamCrossSite, RequestsFromOtherSitesAreRefusedAndTakeNothing)
{
    stream_server s;
    s.queue.push("first");
    s.queue.push("second");
    const std::string host = "127.0.0.1:" + std::to_string(s.port);
    std::vector<std::string> refused = {
        "GET /event HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://evil.example\r\n\r\n",
        "GET /event HTTP/1.1\r\nHost: " + host + "\r\nOrigin: null\r\n\r\n",
        "GET /event HTTP/1.1\r\nHost: " + host + "\r\nSec-Fetch-Site: cross-site\r\n\r\n",
        "GET /event HTTP/1.1\r\nHost: " + host + "\r\nSec-Fetch-Site: same-site\r\n\r\n",
        "GET /event HTTP/1.1\r\nHost: rebound.example:" + std::to_string(s.port) + "\r\n\r\n",
        "GET /event HTTP/1.0\r\n\r\n",
    };
    // Near misses: ours only as a prefix or a suffix of what was sent.
    const std::string port = std::to_string(s.port);
    for (const std::string& origin : {"http://127.0.0.1:" + port + ".attacker.example",
                                      "http://localhost:" + port + "@attacker.example", "http://127.0.0.1:" + port + "0",
                                      "https://127.0.0.1:" + port, "http://x127.0.0.1:" + port})
        refused.push_back("GET /event HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin + "\r\n\r\n");
    for (const std::string& near_miss : {"127.0.0.1:" + port + "0", "127.0.0.1:" + port + ".attacker.example",
                                         "localhost:" + port + "@attacker.example", "x127.0.0.1:" + port})
        refused.push_back("GET /event HTTP/1.1\r\nHost: " + near_miss + "\r\n\r\n");
    for (const auto& request : refused) {
        raw_client client(s.port);
        client.send(request);
        const std::string head = client.read_until("\r\n\r\n");
        EXPECT_EQ(head.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << request << "\n" << head;
    }

    // Our own page's requests are served, and the texts are all still there.
    auto page = open_stream(s.port, "Origin: http://127.0.0.1:" + std::to_string(s.port) +
                                        "\r\nSec-Fetch-Site: same-origin\r\n");
    ASSERT_EQ(page->read_until("\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(page->read_exactly(event_chunk("first").size()), event_chunk("first"));
    EXPECT_EQ(page->read_exactly(event_chunk("second").size()), event_chunk("second"));

    raw_client by_name(s.port);
    by_name.send("GET /event HTTP/1.1\r\nHost: localhost:" + std::to_string(s.port) + "\r\n\r\n");
    EXPECT_EQ(by_name.read_until("\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(EventStreamClientGone, AStreamOpenedBeforeAPageLoadGivesWay)
{
    stream_server s;
    auto old_stream = open_stream(s.port);
    ASSERT_FALSE(old_stream->read_until("\r\n\r\n").empty());

    // The page reloads: it asks for "/" while its old stream is still open.
    raw_client page(s.port);
    page.send("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port) + "\r\n\r\n");
    ASSERT_FALSE(page.read_until("</html>").empty());
    s.queue.push("for the new page");

    EXPECT_EQ(old_stream->read_to_close(5s), "");
    EXPECT_TRUE(old_stream->peer_closed());
    auto new_stream = open_stream(s.port);
    ASSERT_FALSE(new_stream->read_until("\r\n\r\n").empty());
    EXPECT_EQ(new_stream->read_exactly(event_chunk("for the new page").size()), event_chunk("for the new page"));
}

TEST(EventStreamShutdown, AStreamWhoseWaitEndsAfterTheStopStillGetsTheExitEvent)
{
    stream_server s;
    auto client = open_stream(s.port);
    ASSERT_FALSE(client->read_until("\r\n\r\n").empty());
    std::this_thread::sleep_for(100ms);
    stop_server(s.server, s.ended);
    std::this_thread::sleep_for(700ms);  // longer than one wait for a text
    s.queue.push(std::string(exit_text));
    EXPECT_EQ(client->read_to_close(5s), exit_chunk);
    EXPECT_TRUE(client->peer_closed());
    s.thread.join();  // the server is stopped already: no second stop
}

TEST(EventStream, AnHttp10ClientGetsTheEventsWithoutChunks)
{
    stream_server s;
    s.queue.push("Firmware upload done.");
    raw_client client(s.port);
    client.send("GET /event HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(s.port) + "\r\n\r\n");
    const std::string head = client.read_until("\r\n\r\n");
    EXPECT_NE(head.find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
    EXPECT_EQ(client.read_exactly(29), "data: Firmware upload done.\n\n");
}

TEST(HostileClients, NoResponseMayBeShownInAFrame)
{
    stream_server s;
    for (const std::string& request : {request_for(s.port, "/"), request_for(s.port, "/pico.red.min.css"),
                                       request_for(s.port, "/event"), request_for(s.port, "/missing"),
                                       std::string("GET / HTTP/1.1\r\nno colon\r\n\r\n")}) {
        raw_client client(s.port);
        client.send(request);
        const std::string head = client.read_until("\r\n\r\n");
        EXPECT_NE(head.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos) << request << head;
        EXPECT_NE(head.find("\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"), std::string::npos) << head;
    }
}

TEST(HostileClients, OnlyOurOwnPageLoadEndsAStream)
{
    stream_server s;
    auto stream = open_stream(s.port);
    ASSERT_FALSE(stream->read_until("\r\n\r\n").empty());

    const std::string other = "http://127.0.0.1:" + std::to_string(s.port + 1);
    for (const std::string& headers : {std::string("Sec-Fetch-Dest: iframe\r\nSec-Fetch-Site: cross-site\r\n"),
                                       std::string("Sec-Fetch-Dest: iframe\r\nSec-Fetch-Site: same-origin\r\n"),
                                       std::string("Sec-Fetch-Dest: empty\r\n"),
                                       std::string("Sec-Fetch-Dest: document\r\nSec-Fetch-Site: same-site\r\n"),
                                       "Origin: " + other + "\r\n"}) {
        raw_client page(s.port);
        page.send(request_for(s.port, "/", headers));
        EXPECT_EQ(page.read_until("\r\n\r\n").rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << headers;
    }
    raw_client rebound(s.port);
    rebound.send("GET / HTTP/1.1\r\nHost: rebound.example:" + std::to_string(s.port) + "\r\n\r\n");
    EXPECT_EQ(rebound.read_until("\r\n\r\n").rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);

    // The stream is still the one that gets the texts.
    s.queue.push("still here");
    EXPECT_EQ(stream->read_exactly(event_chunk("still here").size()), event_chunk("still here"));
}

TEST(HostileClients, StreamsNeverTakeEveryThread)
{
    stream_server s;
    std::vector<std::unique_ptr<raw_client>> streams;
    for (int i = 0; i < 12; ++i) {
        streams.push_back(open_stream(s.port));
        ASSERT_FALSE(streams.back()->read_until("\r\n\r\n", 2s).empty()) << "stream " << i << " got no answer";
    }
    raw_client page(s.port);
    page.send(request_for(s.port, "/pico.red.min.css"));
    EXPECT_EQ(page.read_until("\r\n\r\n", 2s).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    // The oldest streams gave way; the newest still get the texts.
    for (int i = 0; i < 12 - static_cast<int>(max_open_streams); ++i) {
        streams[static_cast<size_t>(i)]->read_to_close(3s);
        EXPECT_TRUE(streams[static_cast<size_t>(i)]->peer_closed()) << "stream " << i;
    }
    s.queue.push("for the newest");
    std::string got;
    for (size_t i = 12 - max_open_streams; i < 12; ++i) {
        streams[i]->read_at_least(1, 300ms);
        got += streams[i]->take_buffer();
    }
    EXPECT_EQ(got, event_chunk("for the newest"));
}

TEST(HostileClients, BodiesAndDoubleHostsAreRefusedAndTheConnectionEnds)
{
    stream_server s;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(s.port) + "\r\n";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1073741824\r\n\r\n" + std::string(4096, 'x'), "405"},
        {"GET /event HTTP/1.1\r\n" + host + "Content-Length: 536870912\r\n\r\n" + std::string(4096, 'x'), "413"},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n1000\r\n" + std::string(4096, 'x'),
         "405"},
        {"PATCH / HTTP/1.1\r\n" + host + "\r\n" + std::string(4096, 'x'), "405"},
        {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding : chunked\r\n\r\n1000\r\n" + std::string(4096, 'x'), "413"},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1073741824\r\nExpect: 100-continue\r\n\r\n", "413"},
        {"GET /event HTTP/1.1\r\n" + host + "Host: rebound.example\r\n\r\n", "400"},
        {"GET /event HTTP/1.1\r\nHost: rebound.example\r\n" + host + "\r\n", "400"},
    };
    for (const auto& [request, status] : refused) {
        raw_client client(s.port);
        client.send(request);
        const std::string answer = client.read_to_close(3s);
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + status, 0), 0u) << request.substr(0, 80) << "\n" << answer;
        EXPECT_TRUE(client.peer_closed()) << request.substr(0, 80);
    }
    // A length of 0 is no body.
    raw_client no_body(s.port);
    no_body.send("GET / HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(no_body.read_until("\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(StationStream, TheLatestDocumentAtOnceThenEachNewerOneUntilTheFeedCloses)
{
    stream_server s;
    s.station.publish("{\"n\": 1}");
    s.station.publish("{\"n\": 2}");
    raw_client client(s.port);
    client.send(request_for(s.port, "/station/event"));
    const std::string head = client.read_until("\r\n\r\n");
    EXPECT_NE(head.find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << head;
    EXPECT_EQ(client.read_exactly(event_chunk("{\"n\": 2}").size()), event_chunk("{\"n\": 2}"));

    // A control character cannot end the event or add a field.
    s.station.publish("a\nretry: 1\r\n\ndata: b");
    const std::string r = "\xEF\xBF\xBD";
    const std::string replaced = event_chunk("a" + r + "retry: 1" + r + r + r + "data: b");
    EXPECT_EQ(client.read_exactly(replaced.size()), replaced);

    // The document published as the feed closes is the last; a page that
    // comes after the close still gets it.
    s.station.publish("{}");
    s.station.close();
    EXPECT_EQ(client.read_to_close(3s), event_chunk("{}"));
    raw_client late(s.port);
    late.send(request_for(s.port, "/station/event"));
    const std::string everything = late.read_to_close(3s);
    EXPECT_TRUE(everything.ends_with("\r\n\r\n" + event_chunk("{}"))) << everything;
    EXPECT_TRUE(client.peer_closed() && late.peer_closed());
}

TEST(StationStream, ARequestFromAnotherSiteIsRefused)
{
    stream_server s;
    raw_client client(s.port);
    client.send(request_for(s.port, "/station/event", "Origin: http://127.0.0.1:" + std::to_string(s.port + 1) + "\r\n"));
    EXPECT_EQ(client.read_until("\r\n\r\n").rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
}
