#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <httplib.h>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Where the status server's connections wait for their next request. A
// connection holds no thread while its client is sending the request line and
// headers, however slowly, or sending nothing: one thread watches every
// waiting connection, and only a connection whose request head has arrived
// whole is given to one of a fixed number of serving threads. Slow and silent
// clients therefore cost a descriptor each, never a serving thread, and the
// page is answered however many of them there are.
//
// A head ends where the HTTP library's parser ends it: lines end only at
// CR LF, and the head at the first empty line. A head with a bare line feed
// before its end is refused at once (400), so the parser never has to wait
// for more of a head on a serving thread.
//
// Limits: a request head must arrive whole within head_deadline of the
// connection's admission (however it trickles in) and hold at most
// longest_head bytes (431 otherwise); at most max_ready heads wait for a
// serving thread, and no more than the waiting share (one beyond that is
// closed). Half the descriptor limit goes to the gate's connections
// (admitted, waiting, ready and served): the connections waiting for a head
// get what the others leave of it, at least min_waiting (but never more than
// a quarter of the limit) and at most max_waiting. When one too many waits, one gives way, oldest first within the
// first class that has one: a connection that has sent nothing since it was
// accepted, then one whose head has begun to arrive, then one kept alive after
// a response. So a flood of silent connections only pushes out its own kind.
class request_gate {
public:
    static constexpr std::chrono::seconds head_deadline{5};
    static constexpr std::size_t longest_head = 64 * 1024;
    static constexpr std::size_t max_waiting = 256;
    static constexpr std::size_t min_waiting = 16;
    static constexpr std::size_t max_ready = 64;
    static constexpr std::size_t max_admitted = 16;

    struct connection {
        socket_t sock = INVALID_SOCKET;
        std::string received;      // read from the client, not yet taken by a request
        std::size_t requests = 0;  // requests served on it so far
    };

    // serve runs on a serving thread for a connection whose request head has
    // arrived, and returns whether the connection is to wait for another
    // request (the gate closes it otherwise). It must not throw.
    using serve_function = std::function<bool(connection&)>;
    request_gate(std::size_t threads, serve_function serve);
    ~request_gate();
    request_gate(const request_gate&) = delete;
    request_gate& operator=(const request_gate&) = delete;

    // Takes the connection: from now on the gate closes it, unless it hands it
    // to serve. Any thread. A new connection (no request served on it yet)
    // waits while max_admitted others wait for the gate's thread to take them:
    // the system queues the ones still to be accepted, which hold no
    // descriptor of ours.
    void admit(connection c);

    // Closes every waiting connection, and each one admitted later. Any thread.
    void close_waiting();

    // Ends every connection being served too (their reads and writes fail at
    // once), so that the serving threads finish. Any thread.
    void end_served();

    // After close_waiting: waits for the serving threads to finish what they
    // serve, then for the watching thread. Once.
    void shutdown();

    // How much of text is a request head, as far as it has arrived: partial
    // (more is to come), whole (the head's length in `length`), malformed (a
    // bare line feed) or too_long. examined: a length of text that was found
    // partial before.
    enum class head { partial, whole, malformed, too_long };
    static head examine_head(const std::string& text, std::size_t examined, std::size_t& length);

    // How many connections may wait for a head or a serving thread with the
    // given descriptor limit and number of serving threads.
    static std::size_t waiting_share(std::size_t descriptors, std::size_t threads);
    // How many connections may always wait for a head with that limit.
    static std::size_t least_waiting(std::size_t descriptors);

private:
    struct waiting {
        connection c;
        std::chrono::steady_clock::time_point deadline;
        std::size_t examined = 0;  // of c.received, found partial
    };

    void watch();
    void serve_ready();
    void wake();
    void dispatch(connection c);  // mutex_ held
    // Hands on, refuses or keeps a connection by what it has received; true
    // when it is done waiting (handed on or closed). mutex_ not held.
    bool settle(waiting& w);
    // Reads what the client sent, then settles the connection.
    bool receive(waiting& w);
    // Closes one waiting connection, the first to give way (see above).
    void evict_one();
    static void refuse(socket_t sock, const char* response);
    static void close(socket_t sock);

    serve_function serve_;
    const std::size_t waiting_share_;
    const std::size_t least_waiting_;

    std::mutex mutex_;
    std::condition_variable ready_changed_;
    std::condition_variable admitted_taken_;
    std::vector<connection> admitted_;  // guarded by mutex_: not yet watched
    std::deque<connection> ready_;      // guarded by mutex_: heads waiting for a thread
    std::set<socket_t> served_;         // guarded by mutex_: connections a thread serves
    bool closing_ = false;              // guarded by mutex_
    bool ending_ = false;               // guarded by mutex_

    std::list<waiting> waiting_;  // the watching thread's own, oldest first
    const socket_t wake_socket_;  // for the life of the gate

    std::thread watcher_;
    std::vector<std::thread> servers_;
};
