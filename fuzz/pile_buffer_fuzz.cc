// PileBuffer against a reference model: a random capacity and a random sequence of appends and
// flushes. Every block handed to the callback must have the capacity (a flush: the bytes piled
// since the last block), the additional pointer of the triggering call, and the concatenation of
// everything handed over must be what was appended, in order. The callback sometimes hands the
// pile a fresh buffer of exactly `capacity` bytes (taking the old one), so that ASan sees any
// access beyond it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "utils/pile_buffer.h"

namespace {

struct Model {
  size_t capacity = 0;
  std::vector<uint8_t> appended;  // every byte accepted by append, in order
  std::vector<uint8_t> emitted;   // every byte handed to the callback, in order
  size_t expected_size = 0;       // size the next callback must report
  const void* expected_additional = nullptr;
  size_t callbacks_expected = 0;  // callbacks the current call must make
  size_t callbacks_seen = 0;
  bool swap_buffer = false;  // hand the pile a new buffer from the next callback on
};

void fail(const char* what, const Model& m) {
  std::fprintf(stderr, "pile_buffer_fuzz: %s (capacity %zu, appended %zu, emitted %zu)\n", what,
               m.capacity, m.appended.size(), m.emitted.size());
  std::abort();
}

utils::byte* on_block(const utils::byte* data, size_t size, void* user, const void* additional) {
  Model& m = *static_cast<Model*>(user);
  if (data == nullptr) fail("null block", m);
  if (size != m.expected_size) fail("block of unexpected size", m);
  if (additional != m.expected_additional) fail("wrong additional pointer", m);
  ++m.callbacks_seen;
  if (m.callbacks_seen > m.callbacks_expected) fail("more blocks than expected", m);
  m.emitted.insert(m.emitted.end(), data, data + size);
  if (m.emitted.size() > m.appended.size() ||
      (!m.emitted.empty() &&
       std::memcmp(m.emitted.data(), m.appended.data(), m.emitted.size()) != 0)) {
    fail("emitted bytes differ from appended bytes", m);
  }
  if (!m.swap_buffer) return nullptr;
  // Take the old buffer over (it was allocated with new[]) and give a fresh one, filled with
  // garbage so that stale bytes would show.
  utils::byte* fresh = new utils::byte[m.capacity];
  std::memset(fresh, 0xA5, m.capacity);
  delete[] const_cast<utils::byte*>(data);
  return fresh;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  Model m;
  m.capacity = fdp.ConsumeIntegralInRange<size_t>(1, 4096);
  utils::byte* given = nullptr;
  if (fdp.ConsumeBool()) given = new utils::byte[m.capacity];
  utils::PileBuffer pile(m.capacity, &m, on_block, given);
  static const int kTags[3] = {0, 1, 2};  // distinct `additional` pointers
  size_t pending = 0;  // bytes the model says are piled
  while (fdp.remaining_bytes() > 0) {
    const uint8_t op = fdp.ConsumeIntegral<uint8_t>();
    m.swap_buffer = (op & 0x80) != 0;
    const void* additional = (op & 0x40) ? &kTags[op % 3] : nullptr;
    m.expected_additional = additional;
    m.callbacks_seen = 0;
    if ((op & 0x0F) == 0) {
      m.expected_size = pending;
      m.callbacks_expected = 1;
      pile.flush(additional);
      if (m.callbacks_seen != 1) fail("flush did not hand over one block", m);
      pending = 0;
    } else {
      // Small appends mostly, sometimes several blocks at once.
      size_t n = (op & 0x20) ? fdp.ConsumeIntegralInRange<size_t>(0, 3 * m.capacity + 7)
                             : fdp.ConsumeIntegralInRange<size_t>(0, 64);
      std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(n);
      n = bytes.size();
      const bool null_data = (op & 0x0F) == 1;
      const utils::byte* p = null_data ? nullptr : bytes.data();
      m.expected_size = m.capacity;
      const size_t total = pending + n;
      const bool expect_ok = !null_data && n > 0;
      m.callbacks_expected = expect_ok ? total / m.capacity : 0;
      if (expect_ok) m.appended.insert(m.appended.end(), bytes.begin(), bytes.end());
      const bool ok = pile.append(p, n, additional);
      if (ok != expect_ok) fail("append result differs from the model", m);
      if (m.callbacks_seen != m.callbacks_expected) fail("wrong number of blocks", m);
      if (expect_ok) pending = total % m.capacity;
    }
    if (pile.pending() != pending) fail("pending() differs from the model", m);
    if (m.emitted.size() + pending != m.appended.size()) fail("bytes lost or duplicated", m);
  }
  return 0;
}
