#include "utils/blocked_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <atomic>
#include <thread>
#include <vector>

#include "utils/commons.h"

#include "test_support.h"

namespace {

using utils::BlockedQueue;

struct Item {
  int producer;
  int seq;
};

std::vector<int>* g_cleaned = nullptr;
void record_clean(void* p) {
  g_cleaned->push_back(static_cast<Item*>(p)->seq);
}

// Polls on a thread of its own. Lets a test check that the poll is (still) waiting and then
// release it.
class PendingPoll {
 public:
  explicit PendingPoll(BlockedQueue<Item>* q)
      : thread_([this, q] {
          result_ = q->poll();
          done_.store(true);
        }) {}
  ~PendingPoll() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_.load(); }
  // Joins the thread and returns what its poll returned.
  Item* result() {
    thread_.join();
    return result_;
  }

 private:
  std::atomic<bool> done_{false};
  Item* result_ = nullptr;
  std::thread thread_;
};

// True when a poll started now is still waiting after a short while; the element `release` is
// then offered to let it go and must be what it returns.
bool poll_waits(BlockedQueue<Item>* q, Item* release) {
  PendingPoll pending(q);
  msleep(50);
  const bool waiting = !pending.done();
  if (waiting) q->offer(release);
  Item* got = pending.result();
  return waiting && got == release;
}

TEST(BlockedQueue, OrderHeadAndLeft) {
  BlockedQueue<Item> q(delete_nothing);
  Item a{0, 1}, b{0, 2}, c{0, 3};
  EXPECT_EQ(q.head(), nullptr);
  q.offer(&a);
  q.offer(nullptr);
  q.offer(&b);
  q.offer(&c);
  EXPECT_EQ(q.left(), 3u);
  EXPECT_EQ(q.head(), &a);
  EXPECT_EQ(q.head(), &a);
  EXPECT_EQ(q.left(), 3u);
  EXPECT_EQ(q.poll(), &a);
  EXPECT_EQ(q.poll(), &b);
  EXPECT_EQ(q.head(), &c);
  EXPECT_EQ(q.poll(), &c);
  EXPECT_EQ(q.left(), 0u);
  // offer(nullptr) above added no wake-up.
  Item r{0, 9};
  EXPECT_TRUE(poll_waits(&q, &r));
}

TEST(BlockedQueue, FinAndCleanWakeUps) {
  {
    // fin with two queued: both come out, then one null at once, then the queue waits.
    BlockedQueue<Item> q(delete_nothing);
    Item a{0, 1}, b{0, 2}, r{0, 3};
    q.offer(&a);
    q.offer(&b);
    q.fin();
    EXPECT_EQ(q.poll(), &a);
    EXPECT_EQ(q.poll(), &b);
    EXPECT_EQ(q.poll(), nullptr);
    EXPECT_TRUE(poll_waits(&q, &r));
  }
  {
    // A waiting poll is released by fin with null.
    BlockedQueue<Item> q(delete_nothing);
    PendingPoll pending(&q);
    msleep(20);
    q.fin();
    EXPECT_EQ(pending.result(), nullptr);
  }
  {
    // clean removes the elements, oldest first, but leaves their wake-ups.
    std::vector<int> cleaned;
    g_cleaned = &cleaned;
    BlockedQueue<Item> q(record_clean);
    Item a{0, 1}, b{0, 2}, c{0, 3}, r{0, 4};
    q.offer(&a);
    q.offer(&b);
    q.offer(&c);
    q.clean();
    EXPECT_EQ(cleaned, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(q.left(), 0u);
    EXPECT_EQ(q.head(), nullptr);
    EXPECT_EQ(q.poll(), nullptr);
    EXPECT_EQ(q.poll(), nullptr);
    EXPECT_EQ(q.poll(), nullptr);
    EXPECT_TRUE(poll_waits(&q, &r));
    g_cleaned = nullptr;
  }
}

TEST(BlockedQueue, DestructorHandsLeftoversToCallback) {
  std::vector<int> cleaned;
  g_cleaned = &cleaned;
  std::vector<Item> many(300);
  {
    // No callback: nothing is called, nothing leaks.
    BlockedQueue<Item> q(nullptr);
    for (auto& it : many) q.offer(&it);
  }
  EXPECT_TRUE(cleaned.empty());
  // More elements than the first ring allocation, to cover growth with a wrapped head; the
  // leftovers go to the callback oldest first.
  {
    BlockedQueue<Item> q(record_clean);
    for (int i = 0; i < 300; ++i) {
      many[static_cast<size_t>(i)] = {0, i};
      q.offer(&many[static_cast<size_t>(i)]);
      if (i % 3 == 0) {
        EXPECT_EQ(q.poll()->seq, i / 3);
      }
    }
  }
  ASSERT_EQ(cleaned.size(), 200u);
  for (size_t i = 0; i < cleaned.size(); ++i) EXPECT_EQ(cleaned[i], static_cast<int>(i) + 100);
  g_cleaned = nullptr;
}

TEST(BlockedQueue, ManyProducersOneConsumer) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 10000;
  BlockedQueue<Item> q(delete_nothing);
  std::vector<std::vector<Item>> items(kProducers, std::vector<Item>(kPerProducer));
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        items[static_cast<size_t>(p)][static_cast<size_t>(i)] = {p, i};
        q.offer(&items[static_cast<size_t>(p)][static_cast<size_t>(i)]);
      }
    });
  }
  std::vector<int> next(kProducers, 0);
  int nulls = 0, out_of_order = 0;
  for (int n = 0; n < kProducers * kPerProducer; ++n) {
    Item* it = q.poll();
    if (it == nullptr) {
      ++nulls;
      continue;
    }
    if (it->seq != next[static_cast<size_t>(it->producer)]) ++out_of_order;
    next[static_cast<size_t>(it->producer)] = it->seq + 1;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(nulls, 0);
  EXPECT_EQ(out_of_order, 0);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[static_cast<size_t>(p)], kPerProducer);
  EXPECT_EQ(q.left(), 0u);
  // Exactly one wake-up per element: after a fin and its null, a poll waits again.
  q.fin();
  EXPECT_EQ(q.poll(), nullptr);
  Item r{9, 9};
  EXPECT_TRUE(poll_waits(&q, &r));
}

void on_usr1(int) {}

TEST(BlockedQueue, PollResumesAfterSignal) {
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = on_usr1;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: sem_wait fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  BlockedQueue<Item> q(delete_nothing);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  Item* got = nullptr;
  std::thread consumer([&] {
    tid.store(static_cast<pid_t>(gettid()));
    got = q.poll();
    done.store(true);
  });
  pthread_t handle = consumer.native_handle();

  for (int k = 0; k < 5; ++k) {
    // Let the consumer reach its wait before each signal.
    testing_support::eventually([&] {
      return done.load() || (tid.load() != 0 && testing_support::thread_state(tid.load()) == 'S');
    });
    msleep(5);
    if (done.load()) break;
    pthread_kill(handle, SIGUSR1);
  }
  msleep(20);
  EXPECT_FALSE(done.load()) << "poll returned after a signal";
  Item a{0, 42};
  q.offer(&a);
  consumer.join();
  EXPECT_EQ(got, &a);
  sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
