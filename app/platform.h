// The thin platform layer: the few console-mode, signal, time and raw-output
// operations that the system needs of its host. On a POSIX terminal the escape
// sequences need no mode switch, so the console-mode pair reports "not a console
// that needs switching" and does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Switches interpretation of escape sequences on for standard output when that is a
// console that needs it; stores the previous mode. Returns false when nothing was done.
bool platformEnableEscapes(uint32_t* previousMode);
// Puts a console mode saved by platformEnableEscapes back; harmless when there is none.
void platformRestoreMode(uint32_t mode);

// Installs a one-shot handler: after its first delivery the signal has its default action again.
void platformInstallOneShotHandler(int signal, void (*handler)(int));

// Writes bytes straight to standard output; async-signal-safe.
void platformWriteStdout(const char* text, size_t length);

// Current local date and time, to the second.
std::tm platformLocalTime();
