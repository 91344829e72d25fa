// Event sink of the application. Derive from Handler and override handle(); the library calls
// send() from any thread and handle() runs later on the handler's own loop thread, one message at
// a time, in the order sent.
//
// Lifetime. The loop thread starts in the constructor and may call handle() at any moment until
// the loop is stopped. A derived handler whose handle() uses its own members must stop the loop
// first thing in its own destructor, so that no handle() runs while those members are destroyed:
//
//   class Events : public utils::Handler {
//    public:
//     ~Events() override { stop(); }   // waits for a handle() in progress, then no more calls
//     bool handle(int, int, int, void*) override;
//   };
//
// Destroy a handler only after the player instances that report to it are destroyed (or have
// stopped playback and capture); events they send afterwards would be refused, not delivered.
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

  // Stops the loop: waits until a handle() in progress has returned, then drops what is still
  // queued; afterwards send() returns false and handle() is never called again. Idempotent, and
  // safe from any thread; called from handle() itself it ends the loop after that call returns.
  void stop();

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
