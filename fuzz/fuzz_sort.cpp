// qor_sort_qor_timer on lists of any length and any int times: the result
// must be the same nodes in the order of a stable sort on the start time
// on_hour * 100 + on_minute, computed without overflow.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qortimer.h"

static long long key(const qor_timer *t) {
  return static_cast<long long>(t->on_hour) * 100 + t->on_minute;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Each node takes 3 bytes: a selector and two small values, so that equal
  // keys are common; selector bit 0 switches to values at the ends of int.
  const size_t count = size / 3;
  std::vector<qor_timer> nodes(count);
  for (size_t i = 0; i < count; i++) {
    const uint8_t sel = data[3 * i], a = data[3 * i + 1], b = data[3 * i + 2];
    int hour = a % 25, minute = b % 100;
    if (sel & 1) hour = (sel & 2) ? INT32_MAX - a : INT32_MIN + a;
    if (sel & 4) minute = (sel & 8) ? INT32_MAX - b : INT32_MIN + b;
    nodes[i] = qor_timer{hour, minute, sel, 0, nullptr};
  }
  for (size_t i = 0; i + 1 < count; i++) nodes[i].next = &nodes[i + 1];

  std::vector<const qor_timer *> expected;
  for (const qor_timer &n : nodes) expected.push_back(&n);
  std::stable_sort(expected.begin(), expected.end(),
                   [](const qor_timer *x, const qor_timer *y) { return key(x) < key(y); });

  const qor_timer *t = qor_sort_qor_timer(count ? &nodes[0] : nullptr);
  for (const qor_timer *want : expected) {
    if (t != want) {
      fprintf(stderr, "sort differs from a stable sort by start time\n");
      abort();
    }
    t = t->next;
  }
  if (t != nullptr) abort();  // the list must end where the nodes do
  return 0;
}
