// Judging whether a saved timer file is whole.
#include "qor_whole.h"

#include <cstdio>

qor_text_cut qor_text_cut_of(const char *text, size_t size) {
  if (size == 0) return kQorTextEmpty;
  return text[size - 1] == '\n' ? kQorTextWhole : kQorTextMidLine;
}

const char *qor_text_cut_words(qor_text_cut cut) {
  switch (cut) {
    case kQorTextEmpty:
      return "is empty";
    case kQorTextMidLine:
      return "ends mid-line";
    case kQorTextWhole:
      break;
  }
  return nullptr;
}

void qor_say_text_cut(const char *name, qor_text_cut cut) {
  fprintf(stderr,
          " *** WARNING: Timer file (%s) %s, a save cut short or in progress;"
          " the schedule stays as it was\n",
          name, qor_text_cut_words(cut));
}
