// The run sequence of the pelund executable.
#pragma once

// Runs configuration, banner and search; returns the exit status of an orderly end.
int runPelund();
