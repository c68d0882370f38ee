#include "signals.h"

#include <csignal>
#include <initializer_list>

namespace stellix::program {

namespace {

// Written by the handler alone; the run reads it between calls.
volatile std::sig_atomic_t noted_signal = 0;

extern "C" void note_signal(int signal) {
  if (noted_signal == 0) noted_signal = signal;
}

}  // namespace

void catch_stop_signals() {
#ifdef _WIN32
  std::signal(SIGINT, note_signal);
  std::signal(SIGTERM, note_signal);
#else
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // Writes and reads in progress go on: the run stops at its next call.
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &action, nullptr);
#endif
}

int stop_signal() {
  return noted_signal;
}

int stopped_status(int signal) {
  return 128 + signal;
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
#ifndef _WIN32
    case SIGHUP:
      return "SIGHUP";
#endif
    default:
      return "a signal";
  }
}

}  // namespace stellix::program
