// The built-in resolver that a peer given by name is looked up at: asked by client/dns, kept
// outside the tunnel by client/hostroute, recognised by client/data.
#pragma once
#include <cstdint>

inline constexpr uint16_t SDWAN_DNS_PORT = 53;
uint32_t sdwan_resolver_ip();  // network order
