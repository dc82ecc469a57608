#include "app/status_queue.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(StatusQueue, KeepsOrderAndEmptyTexts)
{
    status_queue queue;
    queue.push("first");
    queue.push("");
    queue.push("third");
    EXPECT_EQ(queue.take(), "first");
    EXPECT_EQ(queue.take(), "");
    EXPECT_EQ(queue.take(), "third");
}

TEST(StatusQueue, TakeBlocksUntilAnotherThreadPushes)
{
    status_queue queue;
    auto taken = std::async(std::launch::async, [&] { return queue.take(); });
    EXPECT_EQ(taken.wait_for(100ms), std::future_status::timeout);
    queue.push("Firmware upload done.");
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(taken.get(), "Firmware upload done.");
}

TEST(StatusQueue, OnePushReleasesExactlyOneOfSeveralTakers)
{
    status_queue queue;
    std::atomic<int> released = 0;
    std::vector<std::string> got(3);
    std::vector<std::thread> takers;
    for (auto& slot : got)
        takers.emplace_back([&, slot = &slot] {
            *slot = queue.take();
            ++released;
        });
    std::this_thread::sleep_for(50ms);
    queue.push("a");
    // However slowly a busy machine schedules the released taker.
    for (int i = 0; i < 500 && released == 0; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(released, 1);
    queue.push("b");
    queue.push("c");
    for (auto& t : takers)
        t.join();
    EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()), (std::multiset<std::string>{"a", "b", "c"}));
}

TEST(StatusQueue, ConcurrentProducersAndTakersDeliverEveryTextOnce)
{
    status_queue queue;
    constexpr int producers = 4, per_producer = 2000;
    std::vector<std::vector<std::string>> received(3);
    std::atomic<int> remaining = producers * per_producer;
    // Joined however the test ends: a thread that cannot be started fails the
    // test instead of ending the whole program (std::terminate) without a word.
    std::vector<std::jthread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i)
                queue.push(std::to_string(p) + ":" + std::to_string(i));
        });
    for (auto& bucket : received)
        threads.emplace_back([&, bucket = &bucket] {
            while (remaining.fetch_sub(1) > 0)
                bucket->push_back(queue.take());
        });
    for (auto& t : threads)
        t.join();

    std::set<std::string> all;
    for (auto& bucket : received) {
        // Within one taker, each producer's texts keep their order.
        std::vector<int> last(producers, -1);
        for (auto& text : bucket) {
            int p = std::stoi(text.substr(0, text.find(':')));
            int i = std::stoi(text.substr(text.find(':') + 1));
            EXPECT_GT(i, last[p]);
            last[p] = i;
            EXPECT_TRUE(all.insert(text).second) << "delivered twice: " << text;
        }
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(producers * per_producer));
}

TEST(StatusQueue, PushFrontGoesAheadOfQueuedTexts)
{
    status_queue queue;
    queue.push("later");
    queue.push_front("again");
    EXPECT_EQ(queue.take(), "again");
    EXPECT_EQ(queue.take(), "later");
}

TEST(StatusQueue, TakeForGivesUpOnAnEmptyQueue)
{
    status_queue queue;
    EXPECT_EQ(queue.take_for(20ms), std::nullopt);
    queue.push("x");
    EXPECT_EQ(queue.take_for(20ms), "x");
}
