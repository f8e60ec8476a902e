// The signals the daemon acts on beyond their defaults.
//
// A stop: SIGTERM (a service manager's stop), SIGINT and SIGHUP keep their
// default action, ending the process, but never between a command's send
// and its log record. A pass holds them from its first send until its last
// record is written (one sigprocmask() each way, only in a pass that sends),
// so a stop that comes meanwhile ends the process once the records are
// written, by the same signal.
//
// A reload: once qor_signals_catch_reload() has run, SIGHUP no longer ends
// the process but asks it to take its timer file at once; the loop asks
// qor_signals_take_reload() between passes.
#ifndef QORTIMER_QOR_SIGNALS_H_
#define QORTIMER_QOR_SIGNALS_H_

// Holds the stop signals, until qor_signals_release_stop().
void qor_signals_hold_stop();

// Lets a stop that came while they were held take effect now.
void qor_signals_release_stop();

// Start-up: SIGHUP becomes a request to reload.
void qor_signals_catch_reload();

// True once for each reload requested since the last call.
bool qor_signals_take_reload();

#endif  // QORTIMER_QOR_SIGNALS_H_
