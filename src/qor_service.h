// The daemon as a service: what it does between passes besides the
// polling loop's own work.
//
// The timer file: followed with QORTIMER_FOLLOW=1 (qor_follow.h), and then
// taken at once on SIGHUP. Without QORTIMER_FOLLOW=1 none of this happens,
// and SIGHUP keeps its default action.
#ifndef QORTIMER_QOR_SERVICE_H_
#define QORTIMER_QOR_SERVICE_H_

#include "qortimer.h"

// Start-up, after qor_read_file() and before the first pass.
void qor_service_start(qor_context *qor);

// The loop's after_pass (qor_run): true when a new schedule was taken.
bool qor_service_after_pass(qor_context *qor);

#endif  // QORTIMER_QOR_SERVICE_H_
