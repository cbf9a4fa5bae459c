// The --report file: one self-contained HTML page of a run.
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

namespace {

// Every plot's size and margins, in SVG units.
const double WIDTH = 560, HEIGHT = 240, LEFT = 58, RIGHT = 14, TOP = 14, BOTTOM = 38;
const int HISTOGRAM_BINS = 40;
// At most this many bars in a rate plot; a longer run's seconds are merged.
const std::size_t MAX_BARS = 600;

const struct {
  const char* name;
  double fraction;
} PERCENTILES[] = {{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}};

const char STYLE[] =
    "body{font:14px/1.4 system-ui,sans-serif;color:#222;margin:24px;max-width:1180px}"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:22px 0 6px;border-bottom:1px solid #ddd}"
    ".meta{color:#555;margin:0 0 10px}.plots{display:flex;flex-wrap:wrap;gap:12px}"
    "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left;border-bottom:1px solid #eee}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}.bad{color:#c0392b;font-weight:600}"
    "svg{background:#fafafa;border:1px solid #e4e4e4}svg text{font-size:11px;fill:#444}"
    ".axis{stroke:#888;fill:none}.grid{stroke:#e6e6e6}.ok{fill:#2c7fb8;fill-opacity:.55}"
    ".err{fill:#d7301f}.late{fill:#f39c12}.miss{fill:#333}.sent{fill:#a6cee3}"
    ".answered{stroke:#1f78b4;stroke-width:2;fill:none}.asked{stroke:#e31a1c;stroke-width:2;stroke-dasharray:6 4}"
    ".bin{fill:#74a9cf}.mark{stroke-width:1.5;stroke-dasharray:4 3}.legend{color:#555;font-size:12px}"
    ".swatch{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}";

std::string number(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string ms(double value) { return number("%.3f", value); }

// Escapes text for HTML and XML alike; control characters and bytes that are no UTF-8 become \xNN.
std::string escape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t more = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    bool whole = c < 0x80 || more > 0;
    for (std::size_t k = 1; whole && k <= more; k++)
      whole = i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (!whole || (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
      out += number("\\x%02x", c);
    } else if (more) {
      out += text.substr(i, more + 1);
      i += more;
    } else {
      const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : nullptr;
      out += entity ? std::string(entity) : std::string(1, static_cast<char>(c));
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts 0..max into about ticks parts.
double niceStep(double max, int ticks) {
  double raw = max / ticks;
  if (raw <= 0) return 1;
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  double fraction = raw / power;
  return power * (fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10);
}

// The data ranges of a plot (both from 0) and their mapping to SVG units.
struct Frame {
  double xMax, yMax;
  double x(double value) const { return LEFT + (WIDTH - LEFT - RIGHT) * value / xMax; }
  double y(double value) const { return HEIGHT - BOTTOM - (HEIGHT - TOP - BOTTOM) * value / yMax; }
};

std::string svgOpen(const std::string& attributes) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number("%.0f", WIDTH) + "\" height=\"" +
         number("%.0f", HEIGHT) + "\" viewBox=\"0 0 " + number("%.0f", WIDTH) + " " + number("%.0f", HEIGHT) + "\" " +
         attributes + ">";
}

std::string text(double x, double y, const std::string& anchor, const std::string& content) {
  return "<text x=\"" + number("%.1f", x) + "\" y=\"" + number("%.1f", y) + "\" text-anchor=\"" + anchor + "\">" +
         escape(content) + "</text>";
}

std::string line(double x1, double y1, double x2, double y2, const std::string& cssClass,
                 const std::string& extra = "") {
  return "<line x1=\"" + number("%.1f", x1) + "\" y1=\"" + number("%.1f", y1) + "\" x2=\"" + number("%.1f", x2) +
         "\" y2=\"" + number("%.1f", y2) + "\" class=\"" + cssClass + "\"" + extra + "/>";
}

std::string rect(double x, double y, double width, double height, const std::string& cssClass) {
  return "<rect x=\"" + number("%.2f", x) + "\" y=\"" + number("%.2f", y) + "\" width=\"" +
         number("%.2f", std::max(width, 0.5)) + "\" height=\"" + number("%.2f", std::max(height, 0.0)) + "\" class=\"" +
         cssClass + "\"/>";
}

// The grid, the axes with their ticks, and the axes' labels.
std::string axes(const Frame& frame, const std::string& xLabel, const std::string& yLabel) {
  std::string svg;
  double yStep = niceStep(frame.yMax, 5);
  for (double v = 0; v <= frame.yMax * 1.0001; v += yStep) {
    svg += line(LEFT, frame.y(v), WIDTH - RIGHT, frame.y(v), "grid");
    svg += text(LEFT - 4, frame.y(v) + 4, "end", number(yStep < 0.01 ? "%.3f" : "%g", v));
  }
  double xStep = niceStep(frame.xMax, 8);
  for (double v = 0; v <= frame.xMax * 1.0001; v += xStep)
    svg += text(frame.x(v), HEIGHT - BOTTOM + 14, "middle", number("%g", v));
  svg += line(LEFT, TOP, LEFT, HEIGHT - BOTTOM, "axis") +
         line(LEFT, HEIGHT - BOTTOM, WIDTH - RIGHT, HEIGHT - BOTTOM, "axis");
  svg += text((LEFT + WIDTH - RIGHT) / 2, HEIGHT - 6, "middle", xLabel);
  svg += "<text x=\"14\" y=\"" + number("%.1f", (TOP + HEIGHT - BOTTOM) / 2) +
         "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " + number("%.1f", (TOP + HEIGHT - BOTTOM) / 2) + ")\">" +
         escape(yLabel) + "</text>";
  return svg;
}

// Each answer of the group: its latency against its send time.
std::string latencyPlot(const std::string& name, const Timeline::Group& group, const LatencyStats& stats,
                        double spanS) {
  Frame frame{std::max(spanS, 0.001), stats.maxMs() > 0 ? stats.maxMs() * 1.05 : 1};
  for (const auto& point : group.points) frame.xMax = std::max(frame.xMax, point.sentS);
  std::string svg = svgOpen("class=\"latency\" data-group=\"" + escape(name) + "\" data-count=\"" +
                            std::to_string(stats.count()) + "\"");
  svg += axes(frame, "request sent (s)", "latency (ms)");
  for (const auto& point : group.points) {
    const char* cssClass = point.error ? "err" : point.late ? "late" : "ok";
    svg += "<circle cx=\"" + number("%.1f", frame.x(point.sentS)) + "\" cy=\"" +
           number("%.1f", frame.y(point.latencyMs)) + "\" r=\"2\" class=\"" + cssClass + "\" data-sent-s=\"" +
           number("%.3f", point.sentS) + "\" data-ms=\"" + ms(point.latencyMs) + "\"/>";
  }
  return svg + "</svg>";
}

// The distribution of the group's latencies, with p50, p90, p99 and the maximum marked.
std::string histogram(const std::string& name, const LatencyStats& stats) {
  const std::vector<double>& samples = stats.samples();
  double maxMs = stats.maxMs() > 0 ? stats.maxMs() : 1;
  std::vector<long> bins(HISTOGRAM_BINS, 0);
  for (double sample : samples)
    bins[std::min(static_cast<std::size_t>(sample / maxMs * HISTOGRAM_BINS), bins.size() - 1)]++;
  Frame frame{maxMs, static_cast<double>(std::max(1L, *std::max_element(bins.begin(), bins.end()))) * 1.25};
  std::string attributes =
      "class=\"histogram\" data-group=\"" + escape(name) + "\" data-count=\"" + std::to_string(stats.count()) + "\"";
  for (const auto& p : PERCENTILES)
    attributes += " data-" + std::string(p.name) + "-ms=\"" + ms(stats.percentile(p.fraction)) + "\"";
  std::string svg = svgOpen(attributes + " data-max-ms=\"" + ms(stats.maxMs()) + "\"");
  bool sampled = static_cast<long>(samples.size()) < stats.count();
  svg += axes(frame, "latency (ms)", sampled ? "answers (of a sample)" : "answers");
  double binMs = maxMs / HISTOGRAM_BINS;
  for (std::size_t b = 0; b < bins.size(); b++)
    svg += rect(frame.x(binMs * static_cast<double>(b)) + 0.5, frame.y(static_cast<double>(bins[b])),
                frame.x(binMs) - LEFT - 1, frame.y(0) - frame.y(static_cast<double>(bins[b])), "bin");
  const char* colours[] = {"#2ca02c", "#ff7f0e", "#d62728", "#6a3d9a"};
  // The marks' labels stand in a box at the top right, where the long tail leaves room.
  svg += "<rect x=\"" + number("%.1f", WIDTH - RIGHT - 132) + "\" y=\"" + number("%.1f", TOP + 2) +
         "\" width=\"128\" height=\"58\" style=\"fill:#fff;fill-opacity:.9;stroke:#ddd\"/>";
  int row = 0;
  auto mark = [&](const std::string& label, double value) {
    const char* colour = colours[row];
    double x = frame.x(value);
    svg += line(x, TOP, x, HEIGHT - BOTTOM, "mark", " stroke=\"" + std::string(colour) + "\"");
    svg += "<text x=\"" + number("%.1f", WIDTH - RIGHT - 8) + "\" y=\"" + number("%.1f", TOP + 15 + 13.0 * row) +
           "\" text-anchor=\"end\" style=\"fill:" + colour + ";font-weight:600\">" +
           escape(label + " " + ms(value) + " ms") + "</text>";
    row++;
  };
  for (const auto& p : PERCENTILES) mark(p.name, stats.percentile(p.fraction));
  mark("max", stats.maxMs());
  return svg + "</svg>";
}

// The seconds of the run merged into at most MAX_BARS bars: the average of each per second.
std::vector<Timeline::Second> bars(const Timeline& timeline, std::size_t seconds, std::size_t& merged) {
  merged = (seconds + MAX_BARS - 1) / MAX_BARS;
  merged = std::max<std::size_t>(merged, 1);
  std::vector<Timeline::Second> out((seconds + merged - 1) / merged);
  for (std::size_t s = 0; s < timeline.seconds().size() && s / merged < out.size(); s++) {
    const Timeline::Second& in = timeline.seconds()[s];
    Timeline::Second& bar = out[s / merged];
    bar.sent += in.sent;
    bar.answered += in.answered;
    bar.errors += in.errors;
    bar.late += in.late;
    bar.missing += in.missing;
  }
  return out;
}

// The requests sent and answered per second, against the rate asked.
std::string ratePlot(const Timeline& timeline, const std::vector<Timeline::Second>& perBar, std::size_t merged,
                     double durationS) {
  double peak = static_cast<double>(timeline.askedRate());
  for (const auto& bar : perBar)
    peak = std::max({peak, static_cast<double>(bar.sent) / static_cast<double>(merged),
                     static_cast<double>(bar.answered) / static_cast<double>(merged)});
  Frame frame{static_cast<double>(perBar.size() * merged), peak > 0 ? peak * 1.15 : 1};
  std::string svg = svgOpen("class=\"rates\"") + axes(frame, "time (s)", "requests per second");
  std::string answered;
  double width = frame.x(static_cast<double>(merged)) - LEFT;
  for (std::size_t b = 0; b < perBar.size(); b++) {
    double x = frame.x(static_cast<double>(b * merged));
    double sent = static_cast<double>(perBar[b].sent) / static_cast<double>(merged);
    svg += rect(x + 0.5, frame.y(sent), width - 1, frame.y(0) - frame.y(sent), "sent");
    double rate = static_cast<double>(perBar[b].answered) / static_cast<double>(merged);
    answered += number("%.1f,", x + width / 2) + number("%.1f ", frame.y(rate));
  }
  if (timeline.askedRate() > 0)
    svg += line(frame.x(0), frame.y(static_cast<double>(timeline.askedRate())), frame.x(durationS),
                frame.y(static_cast<double>(timeline.askedRate())), "asked");
  return svg + "<polyline points=\"" + answered + "\" class=\"answered\"/></svg>";
}

// The late, error and missing answers per second, stacked.
std::string failurePlot(const std::vector<Timeline::Second>& perBar, std::size_t merged) {
  double peak = 0;
  for (const auto& bar : perBar) peak = std::max(peak, static_cast<double>(bar.late + bar.errors + bar.missing));
  Frame frame{static_cast<double>(perBar.size() * merged), peak > 0 ? peak * 1.15 : 1};
  std::string svg =
      svgOpen("class=\"failures\"") + axes(frame, "time (s)", merged > 1 ? "answers per bar" : "answers per second");
  double width = frame.x(static_cast<double>(merged)) - LEFT;
  for (std::size_t b = 0; b < perBar.size(); b++) {
    double x = frame.x(static_cast<double>(b * merged)) + 0.5, base = 0;
    for (const auto& part : {std::make_pair(perBar[b].late, "late"), std::make_pair(perBar[b].errors, "err"),
                             std::make_pair(perBar[b].missing, "miss")}) {
      if (!part.first) continue;
      double top = base + static_cast<double>(part.first);
      svg += rect(x, frame.y(top), width - 1, frame.y(base) - frame.y(top), part.second);
      base = top;
    }
  }
  return svg + "</svg>";
}

std::string legend(std::initializer_list<std::pair<const char*, const char*>> entries) {
  std::string html = "<div class=\"legend\">";
  for (const auto& entry : entries)
    html += "<span class=\"swatch\" style=\"background:" + std::string(entry.first) + "\"></span>" + entry.second;
  return html + "</div>";
}

std::string row(const std::string& name, const std::string& value, bool bad = false) {
  return "<tr><th>" + escape(name) + "</th><td class=\"n" + (bad ? " bad" : "") + "\">" + escape(value) + "</td></tr>";
}

// The run's counts, as the text summary gives them.
std::string totals(const Timeline& timeline, const Summary& s, const LoadReport* load) {
  long late = 0, missing = 0;
  for (const auto& group : timeline.groups()) {
    late += group.second.late;
    missing += group.second.missing;
  }
  std::string html = "<table class=\"totals\">";
  if (load) {
    html += row("data requests sent",
                std::to_string(load->sent) + " (" +
                    number("%.1f/s", load->sendingS > 0 ? static_cast<double>(load->sent) / load->sendingS : 0) + ")");
    html += row(
        "answered",
        std::to_string(load->answered) + " (" +
            number("%.1f/s", load->answeringS > 0 ? static_cast<double>(load->answered) / load->answeringS : 0) + ")");
    missing = load->missing;
  } else {
    html += row("data requests sent", std::to_string(s.sent[static_cast<std::size_t>(RequestKind::DATA)]));
  }
  html += row("missing answers", std::to_string(missing), missing > 0);
  html += row("error answers", std::to_string(s.errorAnswers), s.errorAnswers > 0);
  html += row("late answers", std::to_string(late), late > 0);
  html += row("violations", std::to_string(s.violations), s.violations > 0);
  std::string provider = s.byHand ? "started by hand" : "did not exit";
  if (s.exitCode) provider = "exited with " + std::to_string(*s.exitCode);
  if (s.signal) provider = "ended by signal " + std::to_string(*s.signal);
  html += row("provider", provider, !s.byHand && (!s.exitCode || *s.exitCode != 0));
  return html + row("result", s.ok ? "ok" : "FAILED", !s.ok) + "</table>";
}

std::string violationTable(const Timeline& timeline, const Summary& summary) {
  if (summary.violations == 0) return "<p>None.</p>";
  std::string html = "<table class=\"violations\"><tr><th>at (s)</th><th>kind</th><th>message</th></tr>";
  for (const auto& v : timeline.violations())
    html += "<tr><td class=\"n\">" + number("%.3f", v.atS) + "</td><td>" + escape(v.kind) + "</td><td>" +
            escape(v.message) + "</td></tr>";
  html += "</table>";
  auto listed = static_cast<long>(timeline.violations().size());
  if (summary.violations > listed)
    html += "<p>" + std::to_string(summary.violations - listed) + " more are not listed.</p>";
  return html;
}

// One group's section: its percentiles, its latencies over time and their distribution.
std::string groupSection(const std::string& name, const Timeline& timeline, const Summary& summary, double spanS) {
  auto found = timeline.groups().find(name);
  static const Timeline::Group NO_ANSWERS;
  static const LatencyStats NO_LATENCIES;
  const Timeline::Group& group = found != timeline.groups().end() ? found->second : NO_ANSWERS;
  auto stats = summary.dataLatency.find(name);
  const LatencyStats& latency = stats != summary.dataLatency.end() ? stats->second : NO_LATENCIES;
  std::string html = "<h2>" + escape(name) + "</h2><p class=\"meta\">" + std::to_string(latency.count()) + " answers";
  for (const auto& p : PERCENTILES)
    html += ", " + std::string(p.name) + " " + ms(latency.percentile(p.fraction)) + " ms";
  html += ", max " + ms(latency.maxMs()) + " ms; " + std::to_string(group.errors) + " errors, " +
          std::to_string(group.late) + " late, " + std::to_string(group.missing) + " reported missing";
  if (static_cast<long>(group.points.size()) < group.answers)
    html += " (" + std::to_string(group.points.size()) + " answers plotted, a uniform sample)";
  html += "</p>";
  if (latency.count() == 0) return html;
  return html + "<div class=\"plots\">" + latencyPlot(name, group, latency, spanS) + histogram(name, latency) +
         "</div>" + legend({{"#2c7fb8", "answer"}, {"#f39c12", "late"}, {"#d7301f", "error"}});
}

}  // namespace

Report::~Report() {
  if (file_) std::fclose(file_);
}

bool Report::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_) {
    path_ = path;
    return true;
  }
  int cause = errno;
  error = "cannot write the report " + path + ": " + std::strerror(cause);
  return false;
}

std::string Report::page(const Timeline& timeline, const Summary& summary, const LoadReport* load) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/><title>agentemu report</title>"
      "<style>" +
      std::string(STYLE) + "</style></head><body>\n<h1>agentemu run</h1><p class=\"meta\">";
  if (load)
    html += "load: asked " + std::to_string(load->rate) + " data requests/s for " + number("%g", load->durationS) +
            " s" + (load->concurrency ? ", concurrency " + std::to_string(load->concurrency) : std::string()) + "; ";
  html += std::to_string(summary.groups.size()) + " groups</p>\n" + totals(timeline, summary, load);
  std::size_t seconds =
      std::max(timeline.seconds().size(), static_cast<std::size_t>(std::ceil(load ? load->durationS : 0)));
  std::size_t merged = 1;
  std::vector<Timeline::Second> perBar = bars(timeline, std::max<std::size_t>(seconds, 1), merged);
  html += "\n<h2>Rates" + std::string(merged > 1 ? " (bars of " + std::to_string(merged) + " s)" : "") +
          "</h2><div class=\"plots\">" + ratePlot(timeline, perBar, merged, load ? load->durationS : 0) +
          failurePlot(perBar, merged) + "</div>";
  html += legend({{"#a6cee3", "sent"},
                  {"#1f78b4", "answered"},
                  {"#e31a1c", "asked"},
                  {"#f39c12", "late"},
                  {"#d7301f", "error"},
                  {"#333", "given up as missing"}});
  std::set<std::string> names;
  for (const auto& entry : summary.dataLatency) names.insert(entry.first);
  for (const auto& entry : timeline.groups()) names.insert(entry.first);
  for (const auto& name : names) html += "\n" + groupSection(name, timeline, summary, static_cast<double>(seconds));
  html += "\n<h2>Violations (" + std::to_string(summary.violations) + ")</h2>" + violationTable(timeline, summary);
  return html + "\n</body></html>\n";
}

bool Report::write(const Timeline& timeline, const Summary& summary, const LoadReport* load) {
  std::string html = page(timeline, summary, load);
  bool ok = std::fwrite(html.data(), 1, html.size(), file_) == html.size();
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) std::fprintf(stderr, "agentemu: cannot write the report %s\n", path_.c_str());
  return ok;
}
