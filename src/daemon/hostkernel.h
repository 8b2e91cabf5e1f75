// The host operations of the client's policy (client/hostops.h) as the kernel carries them out:
// each member calls its net/ adapter with the same arguments and hands back its answer. No
// policy here: which routes a session wants, and when, is client/hostroute's.
#pragma once
#include "client/hostops.h"

// A constant table (its ctx unused); the process sets it on the record before anything reads it.
const hostops_t *hostkernel_ops();
