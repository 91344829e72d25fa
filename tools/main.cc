// sonora: command-line front end of the engine. Each command lives in its own cmd_NAME.cc; this
// file parses the command line, dispatches through the table in commands.h and prints the usage.
// The engine's log lines are shown with --verbose.
#include <hilog/log_sink.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "commands.h"

#define SONORA_DECLARE_COMMAND(name) extern const cli::Command name##_command;
SONORA_COMMANDS(SONORA_DECLARE_COMMAND)
#undef SONORA_DECLARE_COMMAND

namespace {

#define SONORA_LIST_COMMAND(name) &name##_command,
const cli::Command* const kCommands[] = {SONORA_COMMANDS(SONORA_LIST_COMMAND)};
#undef SONORA_LIST_COMMAND

void print_usage() {
  const char* lead = "usage: ";
  for (const cli::Command* c : kCommands) {
    std::fprintf(stderr, "%ssonora %s\n", lead, c->synopsis);
    lead = "       ";
  }
}

const cli::Option* find_option(const cli::Command& command, const std::string& name) {
  for (const cli::Option& o : command.options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// Parses argv[2..] for `command`; 0, or the exit code of a usage error.
int parse(const cli::Command& command, int argc, char** argv, cli::Args* args) {
  bool options_ended = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (options_ended) {
      args->operands.push_back(a);  // after "--" every word is an operand ("-x" as a text)
    } else if (a == "--") {
      options_ended = true;
    } else if (a == "--quiet") {
      args->quiet = true;
    } else if (a == "--verbose") {
      args->verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      const cli::Option* o = find_option(command, a);
      if (o == nullptr)
        return cli::usage_error(command.name + std::string(": unknown option ") + a);
      if (args->has(a)) return cli::usage_error(a + " given twice");
      if (o->takes_value) {
        if (i + 1 >= argc) return cli::usage_error(a + " needs a value");
        args->values[a] = argv[++i];
      } else {
        args->values[a] = "";
      }
    } else {
      args->operands.push_back(a);
    }
  }
  if (args->operands.size() < command.min_operands) {
    return cli::usage_error(command.name + std::string(": missing argument"));
  }
  if (args->operands.size() > command.max_operands) {
    return cli::usage_error(command.name + std::string(": unexpected argument ") +
                            args->operands[command.max_operands]);
  }
  return 0;
}

void drop_line(const hilog::Record&, void*) {}

}  // namespace

int cli::usage_error(const std::string& reason) {
  std::fprintf(stderr, "sonora: %s\n", reason.c_str());
  print_usage();
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage();
    return 2;
  }
  const std::string name = argv[1];
  for (const cli::Command* command : kCommands) {
    if (name != command->name) continue;
    cli::Args args;
    if (int code = parse(*command, argc, argv, &args)) return code;
    if (!args.verbose) hilog::set_sink(drop_line, nullptr);
    return command->run(args);
  }
  return cli::usage_error("unknown command " + name);
}
