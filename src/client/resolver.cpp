#include "client/resolver.h"

#include "net/ipaddr.h"
#include "sdwan_build.h"

uint32_t sdwan_resolver_ip()
{
    static const uint32_t ip = str2ip(SDWAN_DNS_RESOLVER);
    return ip;
}
