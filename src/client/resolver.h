// The resolver that a peer given by name is looked up at: the "resolver" key, by default the
// build's. Asked by client/dns, kept outside the tunnel by client/hostroute, recognised by
// client/data.
#pragma once
#include <cstdint>

struct sdwan_t;

inline constexpr uint16_t SDWAN_DNS_PORT = 53;
uint32_t sdwan_resolver_ip();                    // the build's, network order: the key's default
uint32_t sdwan_resolver(const sdwan_t *clnt);    // the one this client asks, network order
