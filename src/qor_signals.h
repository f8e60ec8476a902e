// The signals the daemon acts on beyond their defaults.
//
// A stop: SIGTERM (a service manager's stop), SIGINT and SIGHUP end the
// process as their default action does, but never between a command's send
// and its log record. A pass holds them from its first send until its last
// record is written; a stop that comes meanwhile ends the process by the
// same signal once the records are written. Holding costs no system call:
// once qor_signals_catch_stop() has run, each of these signals that the
// process does not ignore goes through a handler that either ends the
// process at once or notes the signal for the release.
//
// A reload: once qor_signals_catch_reload() has run, SIGHUP no longer ends
// the process but asks it to take its timer file at once; the loop asks
// qor_signals_take_reload() between passes.
#ifndef QORTIMER_QOR_SIGNALS_H_
#define QORTIMER_QOR_SIGNALS_H_

// Start-up: the stop signals not ignored go through the handler.
void qor_signals_catch_stop();

// Holds a stop, until qor_signals_release_stop().
void qor_signals_hold_stop();

// Lets a stop that came while it was held end the process now.
void qor_signals_release_stop();

// Start-up: SIGHUP becomes a request to reload.
void qor_signals_catch_reload();

// True once for each reload requested since the last call.
bool qor_signals_take_reload();

#endif  // QORTIMER_QOR_SIGNALS_H_
