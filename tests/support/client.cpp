#include "support/client.h"

void client_free::operator()(sdwan_t *c) const
{
    sdwan_aes_close(&c->io.aes);
    delete c;
}

client_ptr new_client()
{
    client_ptr c(new sdwan_t{});
    sdwclnt_record_init(c.get());
    return c;
}
