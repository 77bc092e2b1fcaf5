// Run sequence and interrupt handling.
#pragma once

#include <csignal>

// Set by the SIGINT/SIGTERM handler, never cleared; polled by the search.
extern volatile std::sig_atomic_t gb_quitting;

inline bool quitting() { return gb_quitting != 0; }

void setQuitting(int signal);
int delete_file(const char* path);

// Installs setQuitting for SIGINT and SIGTERM (one-shot: a second signal gets the
// default action, so a stuck process can still be ended).
void installInterruptHandlers();
