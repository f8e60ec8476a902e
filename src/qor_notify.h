// Telling the service manager what the daemon is doing, by the notification
// protocol that systemd documents as stable for programs that implement it
// themselves: one datagram of newline-separated "NAME=value" assignments
// ("READY=1", "STATUS=12 pairs, 5 ON") to the AF_UNIX datagram socket that
// $NOTIFY_SOCKET names, a path or, written with a leading '@', an abstract
// name.
//
// Without $NOTIFY_SOCKET nothing is opened, sent or said: a daemon started
// by hand runs exactly as it would without this module. The socket is
// opened once, at start-up; each message is then one sendto(), which never
// waits: a service manager whose queue is full (busy, or stopped in a
// debugger), slow or gone loses the message, never a command. A message
// that cannot be sent is said once on the error stream,
//   " *** WARNING: Unable to notify the service manager (REASON)"
// and the daemon goes on: switching matters more than reporting it.
#ifndef QORTIMER_QOR_NOTIFY_H_
#define QORTIMER_QOR_NOTIFY_H_

constexpr const char *kQorNotifySocketVariable = "NOTIFY_SOCKET";

// Start-up: reads $NOTIFY_SOCKET and opens a socket to it. Returns true when
// messages will go somewhere; false when the variable is unset (silently) or
// unusable (said once, as above).
bool qor_notify_open();

// True once qor_notify_open() has succeeded.
bool qor_notify_enabled();

// Sends `assignments` as one datagram when notifying, without waiting.
// True when it was sent; false when it was lost or not notifying.
bool qor_notify(const char *assignments);

#endif  // QORTIMER_QOR_NOTIFY_H_
