// Gap-free playback of a PCM buffer through one player instance, shared by the commands.
#ifndef TOOLS_PLAYBACK_H
#define TOOLS_PLAYBACK_H

#include "device.h"
#include "wav.h"

namespace tool {

// Plays `pcm` on `device` (already chosen with select_device) and waits until the device has
// played it all; on the virtual device the recording is reset first, so that afterwards
// vdev::rendered() holds this playback. Shows the progress line unless `quiet`. Returns the exit
// code: 0, or 1 with a message on standard error.
int play_pcm(const Pcm& pcm, Device device, bool quiet);

}  // namespace tool

#endif  // TOOLS_PLAYBACK_H
