// A net/ adapter that reaches up into the client: the include check must refuse it.
#include "net/ifctl.h"
#include "client/session.h"
#include "base/log.h"

int bad_adapter(sdwan_t *) { return 0; }
