// sonora decode FILE.wav [--format mf|tone|auto]
//   Decodes the sound-wave configurations in a 16-bit mono WAV file (any rate the decoders take;
//   44100 and 48000 Hz are usual) with the decoder of one format or, with auto (the default),
//   both. Prints each decoded text on its own line, prefixed with its format ("tone: hello");
//   bytes that are not printable ASCII, and the backslash, are written as \xHH. Exits with 1 when
//   nothing was decoded.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "soundwave.h"
#include "wav.h"

namespace {

void fail(const std::string& message) {
  std::fprintf(stderr, "sonora: %s\n", message.c_str());
}

int run(const cli::Args& args) {
  std::vector<tool::Format> formats;
  std::string error;
  if (!tool::parse_formats(args, true, {tool::Format::kMf, tool::Format::kTone}, &formats,
                           &error)) {
    return cli::usage_error(error);
  }
  const std::string& path = args.operands[0];
  tool::Pcm pcm;
  if (!tool::read_wav(path, {{}, 1}, &pcm, &error)) {
    fail(error);
    return 1;
  }
  tool::Decoders decoders(formats, pcm.rate, tool::print_text);
  const std::vector<tool::Format> refused = decoders.refused();
  if (refused.size() == formats.size()) {
    std::string names;
    for (tool::Format f : refused)
      names += std::string(names.empty() ? "" : " or ") + tool::format_name(f);
    fail(path + ": sample rate " + std::to_string(pcm.rate) + " Hz is not one the " + names +
         " decoder takes");
    return 1;
  }
  for (tool::Format f : refused) {
    fail(path + ": the " + std::string(tool::format_name(f)) + " decoder does not take " +
         std::to_string(pcm.rate) + " Hz; it is skipped");
  }
  // In pieces of 100 ms, so that with both decoders the texts come out in the order they were
  // sent.
  const size_t piece = static_cast<size_t>(pcm.rate) / 10;
  for (size_t at = 0; at < pcm.samples.size(); at += piece) {
    decoders.feed(pcm.samples.data() + at, std::min(piece, pcm.samples.size() - at));
  }
  decoders.flush();
  if (decoders.decoded() == 0) {
    fail(path + ": nothing decoded");
    return 1;
  }
  return 0;
}

}  // namespace

extern const cli::Command decode_command = {
    "decode",
    "decode FILE.wav [--format mf|tone|auto] [--quiet] [--verbose]",
    {tool::kFormatOption},
    1,
    1,
    run,
};
