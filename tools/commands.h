// The table of the tool's commands, in the order the usage message lists them. To add a command,
// write tools/cmd_NAME.cc defining `const cli::Command NAME_command` and add X(NAME) here.
#ifndef TOOLS_COMMANDS_H
#define TOOLS_COMMANDS_H

#define SONORA_COMMANDS(X) \
  X(play)                  \
  X(demo)                  \
  X(record)                \
  X(duplex)                \
  X(soundconfig)           \
  X(decode)                \
  X(listen)                \
  X(devices)               \
  X(version)

#endif  // TOOLS_COMMANDS_H
