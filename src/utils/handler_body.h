// Private half of Handler: the loop thread, its message queue and a fixed pool of 32 messages
// whose slots come from a Buddy of level buddy_level.
#ifndef UTILS_HANDLER_BODY_H
#define UTILS_HANDLER_BODY_H

#include <pthread.h>
#include <semaphore.h>

#include <atomic>

#include "sonora/handler.h"
#include "utils/blocked_queue.h"
#include "utils/buddy.h"
#include "utils/message.h"

namespace utils {

const int buddy_level = 5;

void* handleLoop(void* handle);

class HandlerBody {
 public:
  explicit HandlerBody(Handler* parent);
  ~HandlerBody();

  HandlerBody(const HandlerBody&) = delete;
  HandlerBody& operator=(const HandlerBody&) = delete;

  bool send(int what, int arg1, int arg2, void* obj) const;
  // Ends the loop and joins its thread (see Handler::stop); the queue and pool stay until the
  // destructor, so a late send is refused rather than touching freed memory.
  void stop();

 private:
  friend void* handleLoop(void* handle);

  Handler* parent_;
  Buddy* buddy_;
  Message* msg_pool_;
  std::atomic<bool> is_working_;
  std::atomic<BlockedQueue<Message>*> queue_;
  pthread_t pid_;
  // Serialises stop() callers: one joins the loop thread, the others wait for that join.
  pthread_mutex_t stop_mutex_;
  // Set by the destructor before anything else, so that a loop thread that starts late does not
  // turn is_working_ back on after shutdown has begun.
  std::atomic<bool> is_stopping_;
  // Posted by the loop once it runs; the constructor waits for it, so that an event sent right
  // after the handler is built is delivered rather than refused.
  sem_t started_;
};

}  // namespace utils

#endif  // UTILS_HANDLER_BODY_H
