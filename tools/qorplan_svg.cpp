#include "qorplan_svg.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// Geometry in pixels. Names are drawn in a monospace font, whose characters
// are about 0.6 em wide, so the name column can be sized without fonts.
constexpr int kFontSize = 12;
constexpr double kCharWidth = 0.6 * kFontSize;
constexpr double kHourWidth = 30;
constexpr double kMinuteWidth = kHourWidth / 60;
constexpr double kDayWidth = kPlanMinutes * kMinuteWidth;
constexpr double kMargin = 10;
constexpr double kAxisHeight = 26;  // the hour numbers, above the rows
constexpr double kRowHeight = 22;
constexpr double kBarHeight = 14;
constexpr int kHourFontSize = 10;
constexpr char kOnColour[] = "#2e8b57";
constexpr char kOffColour[] = "#e6e6e6";

// Appends printf-style text to `out`; every piece written here is short.
void Append(std::string *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string *out, const char *format, ...) {
  char piece[256];
  va_list args;
  va_start(args, format);
  vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  *out += piece;
}

// The length of the well-formed UTF-8 sequence at text[i] when it encodes a
// printable character that XML 1.0 allows; 0 otherwise.
size_t XmlCharLength(const std::string &text, size_t i) {
  const auto byte = [&](size_t k) {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
  };
  const unsigned first = byte(i);
  if (first < 0x80) return first >= 0x20 && first != 0x7f ? 1 : 0;
  size_t length;
  unsigned code, least;
  if ((first & 0xe0) == 0xc0) {
    length = 2, code = first & 0x1f, least = 0x80;
  } else if ((first & 0xf0) == 0xe0) {
    length = 3, code = first & 0x0f, least = 0x800;
  } else if ((first & 0xf8) == 0xf0) {
    length = 4, code = first & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; k++) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3f);
  }
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  if (code < least || code > 0x10ffff || surrogate || code == 0xfffe || code == 0xffff) return 0;
  return length;
}

// `bytes` as XML character data, and how many characters it shows.
struct XmlText {
  std::string xml;
  size_t shown = 0;
};

XmlText ToXml(const std::string &bytes) {
  XmlText t;
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = XmlCharLength(bytes, i);
    if (length == 0) {
      Append(&t.xml, "\\x%02x", static_cast<unsigned char>(bytes[i]));
      t.shown += 4;
      i++;
      continue;
    }
    t.shown++;
    switch (bytes[i]) {
      case '&': t.xml += "&amp;"; break;
      case '<': t.xml += "&lt;"; break;
      case '>': t.xml += "&gt;"; break;
      case '"': t.xml += "&quot;"; break;
      case '\'': t.xml += "&apos;"; break;
      default: t.xml.append(bytes, i, length);
    }
    i += length;
  }
  return t;
}

std::string Clock(int minute) {
  char text[8];
  snprintf(text, sizeof text, "%02d:%02d", minute / 60 % 100, minute % 60);
  return text;
}

// Opens a bar's rect, of class `what`; the caller ends the tag.
void OpenBar(std::string *svg, const char *what, double x, double y, double width,
             const char *fill) {
  Append(svg, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
         "fill=\"%s\"", what, x, y, width, kBarHeight, fill);
}

// One pair's row: its name, the day as a grey track, and a bar for every
// stretch of ON minutes, from the first ON minute to the first OFF minute.
void AppendRow(std::string *svg, const XmlText &name, const PlanDay &on, double left, double top) {
  const double bar_top = top + (kRowHeight - kBarHeight) / 2;
  *svg += "<g class=\"pair\">\n";
  Append(svg, "<text x=\"%.1f\" y=\"%.1f\">", kMargin, bar_top + kBarHeight - 3);
  *svg += name.xml + "</text>\n";
  OpenBar(svg, "day", left, bar_top, kDayWidth, kOffColour);
  *svg += "/>\n";
  for (int start = 0; start < kPlanMinutes; start++) {
    if (!on[start]) continue;
    int end = start;
    while (end < kPlanMinutes && on[end]) end++;
    OpenBar(svg, "on", left + start * kMinuteWidth, bar_top, (end - start) * kMinuteWidth,
            kOnColour);
    *svg += "><title>" + name.xml + ": ON " + Clock(start) + " through " + Clock(end - 1) +
            "</title></rect>\n";
    start = end;
  }
  *svg += "</g>\n";
}

}  // namespace

std::string PlanSvg(const std::string &title, const std::vector<PlanRow> &rows) {
  std::vector<XmlText> names;
  size_t widest = 0;
  for (const PlanRow &row : rows) {
    names.push_back(ToXml(row.name));
    if (names.back().shown > widest) widest = names.back().shown;
  }
  // Whole pixels, so that every minute falls on a half pixel.
  const double left = std::ceil(kMargin + static_cast<double>(widest) * kCharWidth + kMargin);
  const double width = left + kDayWidth + 2 * kMargin;
  const double height = kAxisHeight + static_cast<double>(rows.size()) * kRowHeight + kMargin;

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  Append(&svg,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%.0f\" "
         "height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" font-family=\"monospace\" font-size=\"%d\">\n",
         width, height, width, height, kFontSize);
  svg += "<title>" + ToXml(title).xml + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  Append(&svg, "<g class=\"hours\" font-size=\"%d\" text-anchor=\"middle\" fill=\"#555555\">\n",
         kHourFontSize);
  for (int hour = 0; hour <= 24; hour++)
    Append(&svg, "<text x=\"%.1f\" y=\"%.1f\">%02d</text>\n", left + hour * kHourWidth,
           kAxisHeight - 8, hour);
  svg += "</g>\n";
  for (size_t i = 0; i < rows.size(); i++)
    AppendRow(&svg, names[i], rows[i].on, left, kAxisHeight + static_cast<double>(i) * kRowHeight);
  // Hour marks over the bars, so that a bar's ends can be read against them;
  // every sixth one stronger.
  svg += "<g class=\"marks\" stroke=\"#000000\">\n";
  for (int hour = 0; hour <= 24; hour++)
    Append(&svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke-opacity=\"%s\"/>\n",
           left + hour * kHourWidth, kAxisHeight - 5, left + hour * kHourWidth,
           height - kMargin, hour % 6 == 0 ? "0.45" : "0.15");
  svg += "</g>\n</svg>\n";
  return svg;
}
