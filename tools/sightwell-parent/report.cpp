#include "tools/sightwell-parent/report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/sightwell-parent/image_writer.h"
#include "tools/sightwell-parent/parent.h"

namespace swparent {

namespace {

// ---------------------------------------------------------------------------
// Charts. A chart is laid out once as shapes in its own units; the SVG
// writer and the PNG rasteriser draw the same shapes, so the page's timeline
// and timeline.png show the same axes, ticks and legend.

struct Series {
  std::string name;
  uint32_t rgb;
  std::vector<double> values;  // one per category
};

struct BarChart {
  std::string id;
  std::string title;
  std::string xLabel;
  std::string yLabel;
  std::vector<std::string> categories;
  bool labelsAtEdges = false;  // histogram bins: the label is the bin's lower edge
  std::vector<Series> series;
};

struct Shape {
  enum Kind { Rect, Line, Text } kind;
  double x, y, w, h;  // Line: from (x, y) by (w, h)
  uint32_t rgb;
  std::string text;
  char anchor = 's';  // text: s(tart), m(iddle), e(nd); y is the baseline
  std::string cls;    // SVG class, for the page's own tests and styles
};

constexpr double kCharWidth = 6;  // both renderers advance 6 units per character
constexpr double kChartW = 480, kChartH = 250;
constexpr double kLeft = 44, kRight = 12, kTop = 48, kBottom = 34;
constexpr uint32_t kInk = 0x202020, kGrid = 0xdddddd;

// A tick step of 1, 2 or 5 times a power of ten giving about five ticks.
double TickStep(double maxValue) {
  if (maxValue <= 0) {
    return 1;
  }
  double raw = maxValue / 5;
  double power = std::pow(10, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (raw <= m * power) {
      return m * power;
    }
  }
  return 10 * power;
}

std::string Number(double v) {
  char buf[32];
  if (std::fabs(v - std::round(v)) < 1e-9) {
    snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    snprintf(buf, sizeof buf, "%g", v);
  }
  return buf;
}

std::vector<Shape> Layout(const BarChart &c) {
  std::vector<Shape> out;
  const double plotW = kChartW - kLeft - kRight, plotH = kChartH - kTop - kBottom;
  const double x0 = kLeft, y0 = kTop + plotH;  // the origin, bottom left
  double maxValue = 0;
  for (const auto &s : c.series) {
    for (double v : s.values) {
      maxValue = std::max(maxValue, v);
    }
  }
  const double step = TickStep(maxValue);
  const double top = std::max(step, std::ceil(maxValue / step) * step);

  out.push_back({Shape::Text, 4, 14, 0, 0, kInk, c.title, 's', "title"});
  // Legend: a swatch and the series name each, right-aligned on one row.
  double legendW = 0;
  for (const auto &s : c.series) {
    legendW += 14 + kCharWidth * static_cast<double>(s.name.size()) + 12;
  }
  double lx = std::max(4.0, kChartW - kRight - legendW);
  for (const auto &s : c.series) {
    out.push_back({Shape::Rect, lx, 21, 10, 10, s.rgb, "", 's', "swatch"});
    out.push_back({Shape::Text, lx + 14, 30, 0, 0, kInk, s.name, 's', "legend"});
    lx += 14 + kCharWidth * static_cast<double>(s.name.size()) + 12;
  }
  out.push_back({Shape::Text, 4, kTop - 6, 0, 0, kInk, c.yLabel, 's', "axis-label"});
  // Y ticks with grid lines.
  for (double v = 0; v <= top + step / 2; v += step) {
    double y = y0 - v / top * plotH;
    if (v > 0) {
      out.push_back({Shape::Line, x0, y, plotW, 0, kGrid, "", 's', "grid"});
    }
    out.push_back({Shape::Line, x0 - 4, y, 4, 0, kInk, "", 's', "tick"});
    out.push_back({Shape::Text, x0 - 6, y + 3, 0, 0, kInk, Number(v), 'e', "tick-label"});
  }
  // Bars, grouped per category.
  const size_t n = std::max<size_t>(1, c.categories.size());
  const double groupW = plotW / static_cast<double>(n);
  const double barW = groupW * 0.8 / static_cast<double>(std::max<size_t>(1, c.series.size()));
  for (size_t i = 0; i < c.categories.size(); i++) {
    double gx = x0 + groupW * static_cast<double>(i) + groupW * 0.1;
    for (size_t k = 0; k < c.series.size(); k++) {
      double v = i < c.series[k].values.size() ? c.series[k].values[i] : 0;
      double h = v / top * plotH;
      if (h > 0) {
        out.push_back({Shape::Rect, gx + barW * static_cast<double>(k), y0 - h, barW, h,
                       c.series[k].rgb, "", 's', "bar"});
      }
    }
  }
  // X tick labels, thinned so they never overlap.
  size_t widest = 1;
  for (const auto &label : c.categories) {
    widest = std::max(widest, label.size());
  }
  const size_t every = std::max<size_t>(
      1, static_cast<size_t>(std::ceil((kCharWidth * static_cast<double>(widest) + 6) / groupW)));
  for (size_t i = 0; i < c.categories.size(); i += every) {
    double x = x0 + groupW * static_cast<double>(i) + (c.labelsAtEdges ? 0 : groupW / 2);
    out.push_back({Shape::Line, x, y0, 0, 4, kInk, "", 's', "tick"});
    out.push_back({Shape::Text, x, y0 + 14, 0, 0, kInk, c.categories[i], 'm', "tick-label"});
  }
  if (c.categories.empty()) {
    out.push_back({Shape::Text, x0 + plotW / 2, y0 - plotH / 2, 0, 0, kInk, "no samples", 'm',
                   "empty"});
  }
  // Axes last, over the bars' feet.
  out.push_back({Shape::Line, x0, y0, plotW, 0, kInk, "", 's', "axis"});
  out.push_back({Shape::Line, x0, kTop, 0, plotH, kInk, "", 's', "axis"});
  out.push_back({Shape::Text, x0 + plotW / 2, kChartH - 4, 0, 0, kInk, c.xLabel, 'm',
                 "axis-label"});
  return out;
}

std::string Escape(const std::string &s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += ch;
    }
  }
  return out;
}

std::string Colour(uint32_t rgb) {
  char buf[8];
  snprintf(buf, sizeof buf, "#%06x", rgb & 0xffffff);
  return buf;
}

std::string Svg(const BarChart &c) {
  std::ostringstream o;
  o << "<svg id=\"" << c.id << "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kChartW * 1.5
    << "\" height=\"" << kChartH * 1.5 << "\" viewBox=\"0 0 " << kChartW << ' ' << kChartH
    << "\" role=\"img\" aria-label=\"" << Escape(c.title) << "\">\n";
  for (const Shape &s : Layout(c)) {
    switch (s.kind) {
      case Shape::Rect:
        o << "<rect class=\"" << s.cls << "\" x=\"" << s.x << "\" y=\"" << s.y << "\" width=\""
          << s.w << "\" height=\"" << s.h << "\" fill=\"" << Colour(s.rgb) << "\"/>\n";
        break;
      case Shape::Line:
        o << "<line class=\"" << s.cls << "\" x1=\"" << s.x << "\" y1=\"" << s.y << "\" x2=\""
          << s.x + s.w << "\" y2=\"" << s.y + s.h << "\" stroke=\"" << Colour(s.rgb) << "\"/>\n";
        break;
      case Shape::Text:
        o << "<text class=\"" << s.cls << "\" x=\"" << s.x << "\" y=\"" << s.y
          << "\" text-anchor=\""
          << (s.anchor == 'm' ? "middle" : s.anchor == 'e' ? "end" : "start") << "\">"
          << Escape(s.text) << "</text>\n";
        break;
    }
  }
  o << "</svg>\n";
  return o.str();
}

// A 5x7 font for the PNG's labels (upper case; lower case is drawn as upper
// case). Each glyph is seven rows, bit 4 the leftmost pixel.
const uint8_t *Glyph(char ch) {
  struct Entry {
    char ch;
    uint8_t rows[7];
  };
  static const Entry font[] = {
      {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
      {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
      {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
      {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
      {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
      {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
      {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
      {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
      {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
      {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
      {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
      {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
      {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
      {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
      {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
      {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
      {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
      {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
      {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
      {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
      {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
  };
  char up = (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
  for (const Entry &e : font) {
    if (e.ch == up) {
      return e.rows;
    }
  }
  return nullptr;  // space and anything else: blank
}

class Canvas {
 public:
  Canvas(uint32_t w, uint32_t h, double scale)
      : w_(w), h_(h), scale_(scale), pixels_(static_cast<size_t>(w) * h * 4, 255) {}

  void Fill(double x, double y, double w, double h, uint32_t rgb) {
    int xa = Px(x), ya = Px(y), xb = std::max(xa + 1, Px(x + w)), yb = std::max(ya + 1, Px(y + h));
    for (int py = std::max(0, ya); py < std::min<int>(yb, static_cast<int>(h_)); py++) {
      for (int px = std::max(0, xa); px < std::min<int>(xb, static_cast<int>(w_)); px++) {
        Set(px, py, rgb);
      }
    }
  }

  void Draw(const Shape &s) {
    switch (s.kind) {
      case Shape::Rect: Fill(s.x, s.y, s.w, s.h, s.rgb); break;
      case Shape::Line: Fill(s.x, s.y, s.w, s.h, s.rgb); break;  // axis-parallel only
      case Shape::Text: Text(s); break;
    }
  }

  const std::vector<uint8_t> &pixels() const { return pixels_; }

 private:
  int Px(double v) const { return static_cast<int>(std::lround(v * scale_)); }

  void Set(int x, int y, uint32_t rgb) {
    uint8_t *p = &pixels_[(static_cast<size_t>(y) * w_ + static_cast<size_t>(x)) * 4];
    p[0] = static_cast<uint8_t>(rgb >> 16);
    p[1] = static_cast<uint8_t>(rgb >> 8);
    p[2] = static_cast<uint8_t>(rgb);
    p[3] = 255;
  }

  // Glyph pixels are drawn as scale x scale blocks; one character is 6
  // units wide and 7 tall, its baseline at y.
  void Text(const Shape &s) {
    double width = kCharWidth * static_cast<double>(s.text.size());
    double x = s.anchor == 'm' ? s.x - width / 2 : s.anchor == 'e' ? s.x - width : s.x;
    for (char ch : s.text) {
      if (const uint8_t *rows = Glyph(ch)) {
        for (int r = 0; r < 7; r++) {
          for (int c = 0; c < 5; c++) {
            if (rows[r] & (0x10 >> c)) {
              Fill(x + c, s.y - 7 + r, 1, 1, s.rgb);
            }
          }
        }
      }
      x += kCharWidth;
    }
  }

  uint32_t w_, h_;
  double scale_;
  std::vector<uint8_t> pixels_;
};

constexpr uint32_t kFramesColour = 0x285ac8, kAudioColour = 0x28aa3c, kInputColour = 0xd25a1e;

BarChart TimelineChart(const Summary &s) {
  BarChart c{"timeline", "Frames, audio blocks and input events per second", "time since start (s)",
             "count per second", {}, false,
             {{"frames", kFramesColour, {}}, {"audio blocks", kAudioColour, {}},
              {"input events", kInputColour, {}}}};
  uint32_t seconds = s.timeline.empty() ? 0 : s.timeline.rbegin()->first + 1;
  for (uint32_t sec = 0; sec < seconds; sec++) {
    c.categories.push_back(std::to_string(sec));
    auto it = s.timeline.find(sec);
    TimelineBucket b = it == s.timeline.end() ? TimelineBucket{} : it->second;
    c.series[0].values.push_back(b.frames);
    c.series[1].values.push_back(b.audioBlocks);
    c.series[2].values.push_back(b.inputEvents);
  }
  return c;
}

// Twenty bins from 0 to a round number above the largest sample.
BarChart Histogram(const std::string &id, const std::string &title, const std::string &name,
                   uint32_t rgb, const std::vector<double> &samples) {
  BarChart c{id, title, "latency (ms)", "samples per bin", {}, true, {{name, rgb, {}}}};
  if (samples.empty()) {
    return c;
  }
  double maxValue = *std::max_element(samples.begin(), samples.end());
  const int bins = 20;
  double step = TickStep(maxValue * 5 / bins);  // a round bin width
  while (step * bins <= maxValue) {
    step *= 2;
  }
  int used = std::min(bins, static_cast<int>(std::floor(maxValue / step)) + 1);
  c.series[0].values.assign(static_cast<size_t>(used), 0);
  for (double v : samples) {
    int bin = std::clamp(static_cast<int>(std::floor(std::max(0.0, v) / step)), 0, used - 1);
    c.series[0].values[static_cast<size_t>(bin)]++;
  }
  for (int i = 0; i < used; i++) {
    c.categories.push_back(Number(step * i));
  }
  return c;
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

void AddReceivedLines(const Summary &s, SummaryLines *lines) {
  auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  lines->push_back({"frames", Printf("%llu", u(s.frames))});
  lines->push_back({"fps", Printf("%.1f", s.Fps())});
  lines->push_back({"frame latency ms", Printf("p50 %.2f p99 %.2f (%zu stamped)",
                                               Percentile(s.frameLatencyMs, 50),
                                               Percentile(s.frameLatencyMs, 99),
                                               s.frameLatencyMs.size())});
  lines->push_back({"frames skipped by the agent", Printf("%llu", u(s.frameCounterGaps))});
  lines->push_back({"frames out of order", Printf("%llu", u(s.frameOrderErrors))});
  lines->push_back({"empty frame records", Printf("%llu", u(s.emptyFrames))});
  lines->push_back({"cursor updates",
                    Printf("%llu (%llu with bitmap)", u(s.cursorUpdates), u(s.cursorBitmaps))});
  lines->push_back({"audio", Printf("%.2f s in %llu blocks, %llu gaps", s.AudioSeconds(),
                                    u(s.audioBlocks), u(s.audioGaps))});
  lines->push_back({"input events sent", Printf("%llu", u(s.inputEventsSent))});
  lines->push_back({"logouts", Printf("%llu, errors: %llu", u(s.logouts), u(s.errors))});
  lines->push_back({"malformed", Printf("%llu%s%s", u(s.malformed), s.malformed ? " first: " : "",
                                        s.firstMalformed.c_str())});
}

std::string SummaryText(const SummaryLines &lines) {
  std::string text;
  for (const auto &line : lines) {
    text += line.label + ": " + line.value + "\n";
  }
  return text;
}

bool WriteTimelinePng(const std::string &path, const Summary &s, std::string *error) {
  // Twice the chart's units: 960x500 pixels, 14-pixel letters.
  const double scale = 2;
  Canvas canvas(static_cast<uint32_t>(kChartW * scale), static_cast<uint32_t>(kChartH * scale), scale);
  for (const Shape &shape : Layout(TimelineChart(s))) {
    canvas.Draw(shape);
  }
  return WritePng(path, canvas.pixels(), static_cast<uint32_t>(kChartW * scale),
                  static_cast<uint32_t>(kChartH * scale), PixelLayout::RGBA, error);
}

bool WriteReport(const std::string &dir, const ReportContent &content, std::string *error) {
  std::ostringstream o;
  o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
    << Escape(content.title) << "</title>\n<style>\n"
    << "body { font-family: sans-serif; margin: 1.5em; color: #202020; }\n"
    << "table { border-collapse: collapse; }\n"
    << "th, td { text-align: left; padding: 2px 10px; border-bottom: 1px solid #ddd; }\n"
    << "th { font-weight: normal; color: #555; }\n"
    << "img { border: 1px solid #aaa; margin-right: 1em; vertical-align: top; }\n"
    << "#frame { max-width: 720px; }\n"
    << "#cursor { image-rendering: pixelated; width: 96px; }\n"
    << "svg { margin: 0 1em 1em 0; border: 1px solid #eee; }\n"
    << "svg text { font-family: monospace; font-size: 10px; fill: #202020; }\n"
    << "svg text.title { font-weight: bold; }\n"
    << "</style>\n</head>\n<body data-loaded=\"no\">\n<h1>" << Escape(content.title) << "</h1>\n";

  o << "<h2>Summary</h2>\n<table id=\"summary\">\n";
  for (const auto &line : content.lines) {
    o << "<tr><th>" << Escape(line.label) << "</th><td>" << Escape(line.value) << "</td></tr>\n";
  }
  o << "</table>\n";

  o << "<h2>Last frame and cursor</h2>\n<p>\n";
  bool anyImage = false;
  if (Exists(dir + "/frame.png")) {
    o << "<img id=\"frame\" src=\"frame.png\" alt=\"the last frame received\">\n";
    anyImage = true;
  }
  if (Exists(dir + "/cursor.png")) {
    o << "<img id=\"cursor\" src=\"cursor.png\" alt=\"the last cursor bitmap received\">\n";
    anyImage = true;
  }
  if (!anyImage) {
    o << "No frame and no cursor bitmap arrived.\n";
  }
  o << "</p>\n<h2>Audio</h2>\n";
  if (Exists(dir + "/audio.wav")) {
    o << "<audio id=\"audio\" controls preload=\"auto\" src=\"audio.wav\"></audio>\n";
  } else {
    o << "<p>No audio was recorded.</p>\n";
  }

  o << "<h2>Charts</h2>\n" << Svg(TimelineChart(content.summary));
  o << Svg(Histogram("frame-latency", "Frame latency: drawn to received", "frames", kFramesColour,
                     content.summary.frameLatencyMs));
  o << Svg(Histogram("input-latency", "Input latency: sent to received by the compositor",
                     "input events", kInputColour, content.inputLatencyMs));

  // The marker for whoever opens the page without eyes: every image
  // decoded and the audio player's metadata read, or which one failed.
  o << "<script>\n"
       "(function () {\n"
       "  var items = Array.prototype.slice.call(document.querySelectorAll('img, audio'));\n"
       "  function ready(el) {\n"
       "    return el.tagName === 'IMG' ? el.complete && el.naturalWidth > 0 : el.readyState >= 1;\n"
       "  }\n"
       "  function broken(el) {\n"
       "    return el.tagName === 'IMG' ? el.complete && el.naturalWidth === 0 : el.error !== null;\n"
       "  }\n"
       "  function update() {\n"
       "    var failed = items.filter(broken).map(function (el) { return el.id || el.getAttribute('src'); });\n"
       "    if (failed.length) { document.body.dataset.loaded = 'error: ' + failed.join(' '); }\n"
       "    else if (items.every(ready)) { document.body.dataset.loaded = 'yes'; }\n"
       "  }\n"
       "  items.forEach(function (el) {\n"
       "    ['load', 'loadedmetadata', 'error'].forEach(function (e) { el.addEventListener(e, update); });\n"
       "  });\n"
       "  update();\n"
       "})();\n"
       "</script>\n</body>\n</html>\n";

  std::string path = dir + "/report.html";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << o.str();
  out.close();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool WriteArtefacts(const std::string &dir, Parent &parent, PixelLayout layout,
                    const ReportContent &content, std::string *error) {
  // A missing frame or cursor is not an error here: the page says so.
  std::string ignored;
  unlink((dir + "/frame.png").c_str());
  unlink((dir + "/cursor.png").c_str());
  if (auto frame = parent.LastFrame(); frame && frame->width > 0 && frame->height > 0) {
    WritePng(dir + "/frame.png", frame->pixels, frame->width, frame->height, layout, &ignored);
  }
  if (auto cursor = parent.LastCursorWithBitmap()) {
    WritePng(dir + "/cursor.png", cursor->bitmap, cursor->record.cursorWidth,
             cursor->record.cursorHeight, PixelLayout::BGRA, &ignored);
  }
  if (!WriteTimelinePng(dir + "/timeline.png", content.summary, error)) {
    return false;
  }
  std::ofstream summary(dir + "/summary.txt", std::ios::binary | std::ios::trunc);
  summary << SummaryText(content.lines);
  summary.close();
  if (!summary) {
    *error = "cannot write " + dir + "/summary.txt";
    return false;
  }
  return WriteReport(dir, content, error);
}

}  // namespace swparent
