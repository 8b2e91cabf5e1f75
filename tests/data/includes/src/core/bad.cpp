// The reactor reaching into the shell.
#include "core/event.h"
#include "shell/os.h"
