// A client object of a test's own, in the shape the daemon's has at process start
// (sdwclnt_record_init). On the heap: the data path's buffers make it a quarter megabyte, more
// than a test should put on its stack.
#pragma once
#include <memory>

#include "client/record.h"

// Frees the object and what it may have opened that the test did not close (the AES context).
struct client_free {
    void operator()(sdwan_t *c) const;
};
using client_ptr = std::unique_ptr<sdwan_t, client_free>;

client_ptr new_client();
