// A schedule's day as a picture: an SVG 1.1 document with one row per pair,
// a 24-hour axis with hour marks, and the minutes a pair is ON as bars.
// Written by hand, so qorplan needs nothing beyond the standard library.
#ifndef QORTIMER_TOOLS_QORPLAN_SVG_H_
#define QORTIMER_TOOLS_QORPLAN_SVG_H_

#include <bitset>
#include <string>
#include <vector>

constexpr int kPlanMinutes = 24 * 60;
using PlanDay = std::bitset<kPlanMinutes>;  // bit m: ON during minute m of the day

struct PlanRow {
  std::string name;  // "DEVICE CHANNEL", any bytes but NUL
  PlanDay on;
};

// The whole document, rows top to bottom in the order given. `title` and
// the names may hold any bytes: XML's special characters are escaped, and
// bytes that are not UTF-8 text XML allows (control characters, broken
// sequences) are shown as \xNN, so the document is always well-formed.
std::string PlanSvg(const std::string &title, const std::vector<PlanRow> &rows);

#endif  // QORTIMER_TOOLS_QORPLAN_SVG_H_
