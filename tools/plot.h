// Level-over-time plots written as PNG through cairo.
#ifndef TOOLS_PLOT_H
#define TOOLS_PLOT_H

#include <string>
#include <vector>

namespace tool {

struct PlotCurve {
  std::string label;       // in the legend
  std::vector<double> db;  // one value per step, in dB
  double red, green, blue;
};

struct LevelPlot {
  std::string title;
  double seconds_per_step = 0.02;    // time between two values of a curve
  double db_min = -100, db_max = 0;  // the y axis; values beyond are drawn at the edge
  std::vector<PlotCurve> curves;
  // A shaded stretch of the time axis (none when shade_to <= shade_from), named in the legend.
  double shade_from = 0, shade_to = 0;
  std::string shade_label;
};

// Draws `plot` (time axis in seconds, level axis in dB, axis labels, grid, legend) and writes it
// to `path` as a PNG. false with "cannot write PATH: reason" in *error.
bool write_level_plot_png(const std::string& path, const LevelPlot& plot, std::string* error);

}  // namespace tool

#endif  // TOOLS_PLOT_H
