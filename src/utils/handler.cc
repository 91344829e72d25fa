#include "sonora/handler.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "utils/commons.h"
#include "utils/handler_body.h"
#include "utils/thread_start.h"

namespace utils {

namespace {
constexpr int kMessagePoolSize = 1 << buddy_level;
}  // namespace

Handler::Handler() : body_(nullptr) {
  body_ = new HandlerBody(this);
}

Handler::~Handler() {
  if (body_ != nullptr) body_->stop();
  delete body_;
  body_ = nullptr;
}

bool Handler::send(int what, int arg1, int arg2, void* obj) {
  return body_ != nullptr && body_->send(what, arg1, arg2, obj);
}

void Handler::stop() {
  if (body_ != nullptr) body_->stop();
}

bool Handler::handle(int, int, int, void*) {
  return false;
}

// The queue exists before the loop thread starts, so the destructor can always wake the loop
// with fin(), however early it runs.
HandlerBody::HandlerBody(Handler* parent)
    : parent_(parent),
      buddy_(new Buddy(buddy_level, nullptr, nullptr)),
      msg_pool_(static_cast<Message*>(std::calloc(kMessagePoolSize, sizeof(Message)))),
      is_working_(false),
      queue_(new BlockedQueue<Message>(delete_nothing)),
      pid_(),
      is_stopping_(false) {
  pthread_mutex_init(&stop_mutex_, nullptr);
  sem_init(&started_, 0, 0);
  if (start_thread(&pid_, handleLoop, this) != 0) {
    pid_ = pthread_t();
    return;
  }
  while (sem_wait(&started_) != 0 && errno == EINTR) {
  }
}

void HandlerBody::stop() {
  is_stopping_.store(true);
  is_working_.store(false);
  BlockedQueue<Message>* queue = queue_.load();
  if (queue != nullptr) queue->fin();
  pthread_mutex_lock(&stop_mutex_);
  if (pid_ != pthread_t()) {
    if (pthread_equal(pid_, pthread_self())) {
      // Called from handle(): the loop sees is_working_ false and ends after this call; the
      // thread is joined by whoever stops the handler next (at the latest its destructor).
      pthread_mutex_unlock(&stop_mutex_);
      return;
    }
    pthread_join(pid_, nullptr);
    pid_ = pthread_t();
  }
  pthread_mutex_unlock(&stop_mutex_);
}

HandlerBody::~HandlerBody() {
  stop();
  BlockedQueue<Message>* queue = queue_.load();
  queue_.store(nullptr);
  // Messages still queued are dropped unhandled; their destructors release nothing.
  delete queue;
  delete buddy_;
  buddy_ = nullptr;
  std::free(msg_pool_);
  msg_pool_ = nullptr;
  sem_destroy(&started_);
  pthread_mutex_destroy(&stop_mutex_);
}

bool HandlerBody::send(int what, int arg1, int arg2, void* obj) const {
  if (!is_working_.load()) return false;
  BlockedQueue<Message>* queue = queue_.load();
  if (queue == nullptr || msg_pool_ == nullptr) return false;
  const int offset = buddy_->alloc(1);
  if (offset < 0 || offset >= kMessagePoolSize) return false;
  queue->offer(new (&msg_pool_[offset]) Message(what, arg1, arg2, obj, offset));
  return true;
}

void* handleLoop(void* handle) {
  auto* body = static_cast<HandlerBody*>(handle);
  BlockedQueue<Message>* queue = body->queue_.load();
  // The destructor raises is_stopping_ before it clears is_working_; checking it after setting
  // is_working_ means that either the destructor's clear comes later, or the loop clears the flag
  // itself. Either way a shutdown that has begun is never undone.
  body->is_working_.store(true);
  if (body->is_stopping_.load()) body->is_working_.store(false);
  sem_post(&body->started_);

  while (body->is_working_.load()) {
    Message* msg = queue->poll();
    if (msg == nullptr) break;
    const int what = msg->what();
    const int arg1 = msg->arg1();
    const int arg2 = msg->arg2();
    void* obj = msg->obj();
    const int offset = msg->offset();
    // The record is finished with before its slot is released: once free, a sender may build a
    // new message in it at any moment. Releasing before handle() lets handle() send to its own
    // handler, and keeps all 32 slots available while it runs.
    msg->~Message();
    body->buddy_->free(offset);
    body->parent_->handle(what, arg1, arg2, obj);
  }
  body->is_working_.store(false);
  return body;
}

}  // namespace utils
