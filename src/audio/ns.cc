#include "audio/ns.h"

namespace sonora {
namespace audio {

NS::NS(const Suit*) {}

NS::~NS() {}

}  // namespace audio
}  // namespace sonora
