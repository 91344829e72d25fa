#include "numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tool {

namespace {

std::string range(double min, double max) {
  char text[96];
  std::snprintf(text, sizeof(text), "%g .. %g", min, max);
  return text;
}

}  // namespace

bool number_option(const cli::Args& args, const std::string& option, double min, double max,
                   double* value, std::string* error) {
  if (!args.has(option)) return true;
  const std::string text = args.value(option);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v < min || v > max) {
    *error = option + " " + text + ": expected a number in " + range(min, max);
    return false;
  }
  *value = v;
  return true;
}

bool integer_option(const cli::Args& args, const std::string& option, int min, int max, int* value,
                    std::string* error) {
  if (!args.has(option)) return true;
  const std::string text = args.value(option);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) {
    *error = option + " " + text + ": expected a whole number in " + range(min, max);
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

}  // namespace tool
