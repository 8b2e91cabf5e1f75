#include "client/resolver.h"

#include "client/record.h"

#include "net/ipaddr.h"
#include "sdwan_build.h"

uint32_t sdwan_resolver_ip()
{
    static const uint32_t ip = str2ip(SDWAN_DNS_RESOLVER);
    return ip;
}

uint32_t sdwan_resolver(const sdwan_t *clnt)
{
    return clnt->conf.resolver != 0 ? clnt->conf.resolver : sdwan_resolver_ip();
}
