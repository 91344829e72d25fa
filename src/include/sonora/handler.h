// Event sink of the application. Derive from Handler and override handle(); the library calls
// send() from any thread and handle() runs later on the handler's own loop thread, one message at
// a time, in the order sent.
#ifndef SONORA_HANDLER_H
#define SONORA_HANDLER_H

namespace utils {

class HandlerBody;

class Handler {
 public:
  // Starts the loop thread.
  Handler();
  // Stops and joins the loop thread; queued messages that were not handled yet are dropped.
  virtual ~Handler();

  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Queues (what, arg1, arg2, obj) for handle(); false when the loop is not running or 32
  // messages are already waiting. Never allocates or blocks.
  bool send(int what, int arg1, int arg2, void* obj);

  // Called on the loop thread once per message. The default does nothing and returns false.
  virtual bool handle(int what, int arg1, int arg2, void* obj);

 private:
  HandlerBody* body_;
};

}  // namespace utils

#endif  // SONORA_HANDLER_H
