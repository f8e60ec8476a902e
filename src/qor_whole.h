// Whether a saved timer file is whole. An edited file is taken only whole:
// a save cut short (an upload broken off, a full disk) or one still being
// written leaves it empty or ending mid-line, and its last line may then
// read as a good timer line. Such a text is no schedule, although the
// start-up reader accepts it. The follower (qor_follow.h) and
// `qorplan --check --whole` judge and name it alike.
#ifndef QORTIMER_QOR_WHOLE_H_
#define QORTIMER_QOR_WHOLE_H_

#include <cstddef>

enum qor_text_cut { kQorTextWhole, kQorTextEmpty, kQorTextMidLine };

// How the `size` bytes of `text` end.
qor_text_cut qor_text_cut_of(const char *text, size_t size);

// What is wrong with such a text, "is empty" or "ends mid-line"; null when
// it is whole.
const char *qor_text_cut_words(qor_text_cut cut);

// Says on the error stream that the timer file NAME is cut as `cut` says
// (not whole), so that nothing was taken from it:
//   " *** WARNING: Timer file (NAME) is empty, a save cut short or in progress; the schedule stays as it was"
//   " *** WARNING: Timer file (NAME) ends mid-line, a save cut short or in progress; the schedule stays as it was"
void qor_say_text_cut(const char *name, qor_text_cut cut);

#endif  // QORTIMER_QOR_WHOLE_H_
