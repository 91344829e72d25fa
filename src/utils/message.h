// One event of a handler's message loop; only ever constructed in place in the handler's pool.
#ifndef UTILS_MESSAGE_H
#define UTILS_MESSAGE_H

#include <cstdint>

namespace utils {

class Message {
 public:
  Message(int what, int arg1, int arg2, void* obj, int offset)
      : what_(what), arg1_(arg1), arg2_(arg2), obj_(obj), offset_(offset) {}
  virtual ~Message() {}

  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  int what() const { return what_; }
  int arg1() const { return arg1_; }
  int arg2() const { return arg2_; }
  void* obj() const { return obj_; }
  int offset() const { return offset_; }

 private:
  int32_t what_;
  int32_t arg1_;
  int32_t arg2_;
  void* obj_;
  int32_t offset_;
};

}  // namespace utils

#endif  // UTILS_MESSAGE_H
