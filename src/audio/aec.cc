#include "audio/aec.h"

namespace sonora {
namespace audio {

AEC::AEC(const Suit*) : status_(new AecStatus()) {}

AEC::~AEC() {
  delete status_;
  status_ = nullptr;
}

}  // namespace audio
}  // namespace sonora
