// Ctrl-C in the tool: the SIGINT handler only sets a flag (all a handler may safely do); the
// command polls it from a thread of its own and stops the engine's work from there.
#ifndef TOOLS_INTERRUPT_H
#define TOOLS_INTERRUPT_H

namespace tool {

// The exit code of a command that Ctrl-C ended early.
inline constexpr int kInterruptedExit = 130;

// Installs the handler. The first SIGINT sets the flag and restores the default action, so a
// second Ctrl-C ends the process at once.
void catch_interrupt();
// A SIGINT arrived since catch_interrupt().
bool interrupted();

}  // namespace tool

#endif  // TOOLS_INTERRUPT_H
