// Internal to the hardware backend: the audio libraries' own messages go to the platform log
// (hilog) instead of the terminal.
#ifndef OHAUDIO_HW_LOG_H
#define OHAUDIO_HW_LOG_H

namespace ohaudio_impl {

// Installs the ALSA error handler and the JACK error and info functions (those of the libraries
// this build links) that forward each message to the log at info level, tags "alsa" and "jack".
// May be called again to take the functions back after a library replaced them.
void route_library_messages();

// Runs fn with file descriptor 2 pointing into a pipe; every line written to it meanwhile (by any
// thread) is logged with `tag` at info level once fn has returned and descriptor 2 is restored.
// Runs fn plainly when the redirection cannot be set up.
void run_with_stderr_to_log(void (*fn)(void*), void* arg, const char* tag);

}  // namespace ohaudio_impl

#endif  // OHAUDIO_HW_LOG_H
