// The signals that stop the daemon, held while a pass sends and records.
//
// A stop: SIGTERM (a service manager's stop), SIGINT and SIGHUP keep their
// default action, ending the process, but never between a command's send
// and its log record. A pass holds them from its first send until its last
// record is written (one sigprocmask() each way, only in a pass that sends),
// so a stop that comes meanwhile ends the process once the records are
// written, by the same signal.

#ifndef QORTIMER_QOR_SIGNALS_H_
#define QORTIMER_QOR_SIGNALS_H_

// Holds the stop signals, until qor_signals_release_stop().
void qor_signals_hold_stop();

// Lets a stop that came while they were held take effect now.
void qor_signals_release_stop();

#endif  // QORTIMER_QOR_SIGNALS_H_
