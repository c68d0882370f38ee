// SIGINT, SIGTERM and SIGHUP stop a run between two simulate calls, never
// inside one: the work done so far is then whole, and is kept.
#ifndef STELLIX_PROGRAM_SIGNALS_H
#define STELLIX_PROGRAM_SIGNALS_H

namespace stellix::program {

// From here on, those signals are noted rather than fatal.
void catch_stop_signals();
// The first signal noted, 0 when none.
int stop_signal();
// The exit status of a run the signal stopped: 128 + its number.
int stopped_status(int signal);
const char* signal_name(int signal);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SIGNALS_H
