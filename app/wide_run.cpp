#include "wide_run.h"
#include "console.h"
int runWideSearch(bool) { error("wide searches are not built yet"); }
