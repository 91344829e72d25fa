// Numeric option values of the commands ("--seconds 8", "--gain 12").
#ifndef TOOLS_NUMBERS_H
#define TOOLS_NUMBERS_H

#include <string>

#include "cli.h"

namespace tool {

// Reads `option` as a finite number in [min, max] into *value (left as it is when the option is
// absent). false with the reason in *error (a usage error) when the value is not such a number.
bool number_option(const cli::Args& args, const std::string& option, double min, double max,
                   double* value, std::string* error);
// The same for a whole number.
bool integer_option(const cli::Args& args, const std::string& option, int min, int max, int* value,
                    std::string* error);

}  // namespace tool

#endif  // TOOLS_NUMBERS_H
