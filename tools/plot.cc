#include "plot.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tool {

namespace {

constexpr int kWidth = 1100, kHeight = 480;
constexpr double kLeft = 70, kRight = 20, kTop = 40, kBottom = 55;

// A "nice" tick step for a span to be cut in about `ticks` parts.
double tick_step(double span, int ticks) {
  const double raw = span / ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * magnitude >= raw) return m * magnitude;
  }
  return 10 * magnitude;
}

void text_at(cairo_t* cr, double x, double y, const std::string& s, double align_x,
             double align_y) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  cairo_move_to(cr, x - e.width * align_x - e.x_bearing, y - e.height * align_y - e.y_bearing);
  cairo_show_text(cr, s.c_str());
}

}  // namespace

bool write_level_plot_png(const std::string& path, const LevelPlot& plot, std::string* error) {
  size_t steps = 0;
  for (const PlotCurve& c : plot.curves) steps = std::max(steps, c.db.size());
  const double seconds = std::max(plot.seconds_per_step * static_cast<double>(steps), 0.1);
  const double db_span = plot.db_max - plot.db_min;

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t* cr = cairo_create(surface);
  const double pw = kWidth - kLeft - kRight, ph = kHeight - kTop - kBottom;
  auto px = [&](double t) { return kLeft + pw * t / seconds; };
  auto py = [&](double db) {
    return kTop + ph * (plot.db_max - std::clamp(db, plot.db_min, plot.db_max)) / db_span;
  };

  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

  const bool shaded = plot.shade_to > plot.shade_from;
  if (shaded) {
    cairo_set_source_rgb(cr, 1.0, 0.92, 0.75);
    const double x0 = px(std::max(0.0, plot.shade_from)), x1 = px(std::min(seconds, plot.shade_to));
    cairo_rectangle(cr, x0, kTop, x1 - x0, ph);
    cairo_fill(cr);
  }

  // Grid and tick labels.
  cairo_set_font_size(cr, 12);
  cairo_set_line_width(cr, 1);
  const double t_step = tick_step(seconds, 12);
  for (double t = 0; t <= seconds + 1e-9; t += t_step) {
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, std::round(px(t)) + 0.5, kTop);
    cairo_line_to(cr, std::round(px(t)) + 0.5, kTop + ph);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    char label[32];
    std::snprintf(label, sizeof(label), "%g", t);
    text_at(cr, px(t), kTop + ph + 6, label, 0.5, 0);
  }
  const double db_step = tick_step(db_span, 8);
  for (double db = std::ceil(plot.db_min / db_step) * db_step; db <= plot.db_max + 1e-9;
       db += db_step) {
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, kLeft, std::round(py(db)) + 0.5);
    cairo_line_to(cr, kLeft + pw, std::round(py(db)) + 0.5);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    char label[32];
    std::snprintf(label, sizeof(label), "%g", db);
    text_at(cr, kLeft - 6, py(db), label, 1, 0.5);
  }
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, kLeft + 0.5, kTop + 0.5, pw, ph);
  cairo_stroke(cr);

  // Axis labels and title.
  cairo_set_font_size(cr, 14);
  text_at(cr, kLeft + pw / 2, kHeight - 6, "time (s)", 0.5, 1);
  cairo_save(cr);
  cairo_translate(cr, 18, kTop + ph / 2);
  cairo_rotate(cr, -std::acos(0.0));
  text_at(cr, 0, 0, "level (dBFS per 20 ms block)", 0.5, 0.5);
  cairo_restore(cr);
  cairo_set_font_size(cr, 16);
  text_at(cr, kLeft + pw / 2, kTop / 2, plot.title, 0.5, 0.5);

  // Curves, clipped to the plot area.
  cairo_save(cr);
  cairo_rectangle(cr, kLeft, kTop, pw, ph);
  cairo_clip(cr);
  cairo_set_line_width(cr, 1.5);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  for (const PlotCurve& c : plot.curves) {
    if (c.db.empty()) continue;
    cairo_set_source_rgb(cr, c.red, c.green, c.blue);
    for (size_t i = 0; i < c.db.size(); ++i) {
      const double x = px((static_cast<double>(i) + 0.5) * plot.seconds_per_step);
      if (i == 0) {
        cairo_move_to(cr, x, py(c.db[i]));
      } else {
        cairo_line_to(cr, x, py(c.db[i]));
      }
    }
    cairo_stroke(cr);
  }
  cairo_restore(cr);

  // Legend, top right.
  cairo_set_font_size(cr, 13);
  const size_t entries = plot.curves.size() + (shaded ? 1 : 0);
  const double lw = 250, lh = 8 + 20.0 * static_cast<double>(entries);
  const double lx = kLeft + pw - lw - 10, ly = kTop + 10;
  cairo_set_source_rgba(cr, 1, 1, 1, 0.9);
  cairo_rectangle(cr, lx, ly, lw, lh);
  cairo_fill_preserve(cr);
  cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  double y = ly + 14;
  for (const PlotCurve& c : plot.curves) {
    cairo_set_source_rgb(cr, c.red, c.green, c.blue);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, lx + 10, y);
    cairo_line_to(cr, lx + 40, y);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text_at(cr, lx + 48, y, c.label, 0, 0.5);
    y += 20;
  }
  if (shaded) {
    cairo_set_source_rgb(cr, 1.0, 0.92, 0.75);
    cairo_rectangle(cr, lx + 10, y - 6, 30, 12);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text_at(cr, lx + 48, y, plot.shade_label, 0, 0.5);
  }

  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    *error = "cannot write " + path + ": " + cairo_status_to_string(status);
    return false;
  }
  return true;
}

}  // namespace tool
