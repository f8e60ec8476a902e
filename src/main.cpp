// Entry point of the qortimer daemon: start-up, the timer file, readiness,
// the wait for a right clock when one is wanted, then the polling loop until
// the process is killed.
#include "qor_clock_wait.h"
#include "qor_notify.h"
#include "qor_service.h"
#include "qor_watchdog.h"
#include "qortimer.h"

int main(int argc, char **argv) {
  static qor_context qor;  // static: 4 KiB of buffers stay off the stack
  qor_initialize(argc, argv, &qor);
  qor_read_file(&qor);
  qor_service_start(&qor);
  qor_clock_wait(
      qor.clock_wait, qor_clock_wait_system_clock, [](const char *status) { qor_notify(status); },
      qor_watchdog_kick);
  qor_run(&qor, qor_service_after_pass);
}
