// A file that must not outlive an interrupted run: the temporary an output
// is written to before it is renamed into place, or an output the run
// created and has only partly written.  On SIGINT, SIGTERM or SIGHUP it is
// removed, and the process then ends by the same signal, as if it had not
// been caught (a shell sees the interruption, not an error status).
//
// One file at a time: a run writes one output at a time.  The handler only
// calls unlink, which is safe in a signal handler, on a path kept in a
// fixed buffer; setting and clearing the path block the signals, so the
// handler never sees half a name.
#pragma once

namespace cdedup {

// Installs the handlers; once, before any output is opened.  Signals that
// were ignored when the process started (a job run with nohup) stay ignored.
void interrupt_cleanup_install();

// From now on, an interruption removes `path` (false if the name is too long to keep).
bool interrupt_cleanup_arm(const char* path);
// Nothing is to be removed any more.
void interrupt_cleanup_disarm();

}  // namespace cdedup
