// What a run of the reference parent leaves for people to read: summary.txt,
// timeline.png and report.html, all drawn from the same Summary, so the
// page, the picture and the text never disagree.
#pragma once

#include <string>
#include <vector>

#include "tools/sightwell-parent/image_writer.h"
#include "tools/sightwell-parent/stats.h"

namespace swparent {

// One "label: value" line of summary.txt, one row of the report's table.
struct SummaryLine {
  std::string label;
  std::string value;
};
using SummaryLines = std::vector<SummaryLine>;

// summary.txt's text: "label: value\n" per line.
std::string SummaryText(const SummaryLines &lines);

struct ReportContent {
  std::string title;
  SummaryLines lines;
  Summary summary;                     // the timeline and the frame latencies
  std::vector<double> inputLatencyMs;  // empty when input was not measured
};

// Appends the lines about what arrived: frames, latency, cursor, audio,
// input sent, logouts, errors, malformed records.
void AddReceivedLines(const Summary &s, SummaryLines *lines);

// Writes timeline.png: frames, audio blocks and input events per second as
// grouped bars, with axes, tick labels, units and a legend.
bool WriteTimelinePng(const std::string &path, const Summary &s, std::string *error);

// Writes DIR/report.html: a page that needs nothing but the files beside it
// (frame.png, cursor.png and audio.wav when they exist), with the summary
// as a table and the charts as inline SVG. Once every image and the audio
// player have loaded, the page sets data-loaded="yes" on its body
// ("error: ..." when one failed), so a headless browser can tell.
bool WriteReport(const std::string &dir, const ReportContent &content, std::string *error);

class Parent;

// Writes every artefact of a run into DIR: frame.png and cursor.png (the
// last ones received), timeline.png, summary.txt and report.html.
bool WriteArtefacts(const std::string &dir, Parent &parent, PixelLayout layout,
                    const ReportContent &content, std::string *error);

}  // namespace swparent
