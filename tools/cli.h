// Command-line plumbing of the sonora tool: how a command is described, its parsed arguments and
// the usage error. The commands themselves are listed in commands.h.
#ifndef TOOLS_CLI_H
#define TOOLS_CLI_H

#include <map>
#include <string>
#include <vector>

namespace cli {

// An option a command accepts besides --quiet and --verbose (which every command accepts).
struct Option {
  const char* name;  // "--out"
  bool takes_value;  // "--out FILE" rather than a bare flag
};

// What one command was given. Options may appear anywhere after the command name.
struct Args {
  bool quiet = false;
  bool verbose = false;
  std::vector<std::string> operands;          // the words that are not options, in order
  std::map<std::string, std::string> values;  // options given, with their value ("" for flags)

  bool has(const std::string& option) const { return values.count(option) != 0; }
  std::string value(const std::string& option, const std::string& fallback = "") const {
    auto it = values.find(option);
    return it == values.end() ? fallback : it->second;
  }
};

// One command of the tool. Define one per file as `const cli::Command NAME_command = {...};` and
// add it to commands.h.
struct Command {
  const char* name;      // "play"
  const char* synopsis;  // the usage line after "sonora ", e.g. "play FILE.wav [--out FILE]"
  std::vector<Option> options;
  size_t min_operands;
  size_t max_operands;
  int (*run)(const Args& args);  // returns the exit code
};

// Prints "sonora: `reason`" and the usage of every command to standard error; returns 2, the exit
// code of a usage error.
int usage_error(const std::string& reason);

}  // namespace cli

#endif  // TOOLS_CLI_H
