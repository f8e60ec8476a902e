// Entry point of the qortimer daemon: start-up, the timer file, readiness,
// then the polling loop until the process is killed.
#include "qor_service.h"
#include "qortimer.h"

int main(int argc, char **argv) {
  static qor_context qor;  // static: 4 KiB of buffers stay off the stack
  qor_initialize(argc, argv, &qor);
  qor_read_file(&qor);
  qor_service_start(&qor);
  qor_run(&qor, qor_service_after_pass);
}
