#include "audio/recorder.h"

#include "audio/factory.h"
#include "sonora/body.h"
#include "utils/commons.h"
#include "utils/log.h"

namespace sonora {
namespace audio {

namespace {
thread_local bool t_in_fetch_callback = false;
}  // namespace

bool Recorder::in_fetch_callback() {
  return t_in_fetch_callback;
}

void Recorder::deliver(const byte* data, size_t size, uint64_t ts) {
  if (cb_ == nullptr) return;
  t_in_fetch_callback = true;
  cb_(data, size, ts);
  t_in_fetch_callback = false;
}

Recorder::Recorder()
    : cb_(nullptr),
      ns_(nullptr),
      ts_(new TSSuit()),
      parent_(nullptr),
      fwrapper_(nullptr),
      rec_file_(nullptr),
      aec_file_(nullptr),
      agc_file_(nullptr),
      pile_(nullptr),
      queue_(nullptr),
      gain_type_(0),
      gain_(1.0f),
      is_working_(false),
      mutex_(new pthread_mutex_t),
      ended_(false),
      dropped_in_run_(0),
      overflowing_(false),
      delivered_bytes_(0),
      delivery_end_ms_(0),
      bytes_per_second_(0) {
  pthread_mutex_init(mutex_, nullptr);
}

Recorder::~Recorder() {
  delete pile_;
  pile_ = nullptr;
  delete ns_;
  ns_ = nullptr;
  delete queue_;
  queue_ = nullptr;
  delete fwrapper_;
  fwrapper_ = nullptr;
  pthread_mutex_destroy(mutex_);
  delete mutex_;
  mutex_ = nullptr;
  delete ts_;
  ts_ = nullptr;
}

bool Recorder::start(const Body* player, fetch_cb cb, int) {
  const PlaySuit* play = player != nullptr ? player->suit_ : nullptr;
  SLOG("recorder:%p, is_working:%s, suit:%p", static_cast<const void*>(player),
       is_working() ? "true" : "false", static_cast<const void*>(play));
  const Suit* audio = play != nullptr ? play->audio() : nullptr;
  SLOG("recorder:%p, audio:%p", static_cast<const void*>(player), static_cast<const void*>(audio));
  if (is_working() || audio == nullptr) return false;
  if (!suit_has_valid_block(audio)) {
    SLOG("Recorder::start refused: block %zu does not fit %d Hz, %d bits\n", audio->block,
         audio->sample_rate, audio->bit_per_channel);
    return false;
  }
  // What an earlier run left: the suppressor and the queue after a normal stop, also the pool
  // and the pile after a failed start.
  delete pile_;
  delete ns_;
  delete queue_;
  delete fwrapper_;
  ns_ = Factory::gen_ns(audio);
  pile_ = new utils::PileBuffer(audio->block, this, pile_rec, nullptr);
  queue_ = new utils::BlockedQueue<Frame>(delete_nothing);
  fwrapper_ = new FrameWrapper(kRecordBuddyLevel, audio->block);
  parent_ = player;
  cb_ = cb;
  ended_.store(false);
  SLOG("parent:%p", static_cast<const void*>(parent_));
  ts_->period = 0;
  ts_->sts = 0;
  ts_->tid = 0;
  delivered_bytes_ = 0;
  delivery_end_ms_ = 0;
  dropped_in_run_.store(0);
  overflowing_ = false;
  bytes_per_second_ = static_cast<uint64_t>(audio->sample_rate) *
                      static_cast<uint64_t>(audio->channel_per_frame) *
                      static_cast<uint64_t>(audio->bit_per_channel / 8);
  return set_work(true);
}

bool Recorder::stop() {
  if (!is_working()) return false;
  set_work(false);
  if (queue_ != nullptr) {
    counters_.dropped_at_stop.fetch_add(queue_->left(), std::memory_order_relaxed);
    queue_->clean();
    queue_->fin();
  }
  return true;
}

void Recorder::end_by_platform() {
  if (Recorder::stop()) ended_.store(true);
}

bool Recorder::is_working() {
  pthread_mutex_lock(mutex_);
  bool working = is_working_;
  pthread_mutex_unlock(mutex_);
  return working;
}

bool Recorder::set_work(bool working) {
  pthread_mutex_lock(mutex_);
  is_working_ = working;
  pthread_mutex_unlock(mutex_);
  return true;
}

void Recorder::set_volume(float gain) {
  gain_.store(gain);
}

void Recorder::set_volume_type(int gain_type) {
  gain_type_.store(gain_type);
}

void Recorder::note_delivery(size_t bytes) {
  delivered_bytes_ += bytes;
  delivery_end_ms_ = current_ts();
}

byte* pile_rec(const byte* data, size_t capacity, void* user, const void*) {
  if (data == nullptr || user == nullptr) return nullptr;
  Recorder* recorder = static_cast<Recorder*>(user);
  // The block ends (tid + 1) blocks into the run; what the delivery holds after it was captured
  // later, by its duration.
  const uint64_t block_end = (recorder->ts_->tid + 1) * capacity;
  uint64_t ts = current_ts();
  if (recorder->delivery_end_ms_ != 0 && recorder->bytes_per_second_ > 0 &&
      recorder->delivered_bytes_ >= block_end) {
    ts = recorder->delivery_end_ms_ -
         (recorder->delivered_bytes_ - block_end) * 1000 / recorder->bytes_per_second_;
  }
  recorder->ts_->ts = ts;
  if (recorder->is_working() && recorder->queue_ != nullptr && recorder->fwrapper_ != nullptr) {
    Frame* frame = recorder->fwrapper_->gen_frame(kFTypeA, data, capacity, recorder->ts_);
    if (frame != nullptr) {
      recorder->queue_->offer(frame);
      recorder->counters_.captured.fetch_add(1, std::memory_order_relaxed);
      recorder->overflowing_ = false;
    } else {
      // The application's fetch_cb fell behind by a whole pool: the block is lost, counted, and
      // the first loss of a run of them is reported.
      recorder->counters_.dropped_full.fetch_add(1, std::memory_order_relaxed);
      recorder->dropped_in_run_.fetch_add(1, std::memory_order_relaxed);
      if (!recorder->overflowing_) {
        recorder->overflowing_ = true;
        if (recorder->parent_ != nullptr) {
          recorder->parent_->report(kArg1AudioRecordWorking, kArg2Failed, nullptr);
        }
      }
    }
  }
  recorder->ts_->tid += 1;
  return nullptr;
}

}  // namespace audio
}  // namespace sonora
