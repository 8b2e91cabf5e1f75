// sdwan-peerd: the peer server. All of it lives in the sdwan_peer library.
#include "peer/peer.h"

int main(int argc, char **argv) { return peer_main(argc, argv); }
