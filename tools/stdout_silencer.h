// Keeps what the engine prints on standard output with printf (the automatic gain control's
// settings when the process is set up, the tone encoder's checksum line) out of a command's
// output: while an instance lives, standard output goes to /dev/null.
#ifndef TOOLS_STDOUT_SILENCER_H
#define TOOLS_STDOUT_SILENCER_H

namespace tool {

class StdoutSilencer {
 public:
  // Does nothing when `active` is false.
  explicit StdoutSilencer(bool active = true);
  ~StdoutSilencer();
  StdoutSilencer(const StdoutSilencer&) = delete;
  StdoutSilencer& operator=(const StdoutSilencer&) = delete;

 private:
  int saved_ = -1;  // the real standard output while silenced
};

}  // namespace tool

#endif  // TOOLS_STDOUT_SILENCER_H
