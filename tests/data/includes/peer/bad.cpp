// The peer reaching into the client.
#include "peer/peer.h"
#include "proto/packet.h"
#include "client/auth.h"
