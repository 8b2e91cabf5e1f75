// The UDP socket: addresses in network order, ports in host order across this interface.
#pragma once
#include <cstdint>

int sock_udpinit();  // non-blocking, close-on-exec, broadcast; -1 on failure
// Receive or send buffer of bytes: the FORCE option first (past the system's cap, with
// CAP_NET_ADMIN), then the plain one. 0, or -1 with errno set when neither took.
int sock_bufsz(int s, int opt_force, int opt, int bytes);
uint32_t sock_sendto(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len);
uint32_t sock_recvfrom(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len);
void sock_close(int s);

// UDP segmentation offload. 0 when the kernel takes UDP_SEGMENT on s (probed once at start-up).
int sock_gso_probe(int s);
// len bytes from buf sent as datagrams of segsz bytes each, the last possibly shorter: one
// sendmsg with a UDP_SEGMENT message while *gso is true. The kernel's refusal of the train (EIO:
// the route's device cannot checksum; EINVAL) clears *gso and the train, and every later one, goes
// one datagram at a time. len when all went, 0 when a send failed (a full buffer drops the rest,
// as a plain send would).
uint32_t sock_send_gso(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len,
                       uint32_t segsz, bool *gso);
// After a failed UDP_SEGMENT send: true, with the line saying so, when errno is the refusal of
// trains (EIO: the way out has no checksum offload to segment with; EINVAL: the kernel or the
// train's shape), which will not change for the socket; false for any other failure.
bool sock_gso_refused();
// UDP receive offload. 0 when the kernel takes UDP_GRO on s; datagrams from one source may then
// come as one train of up to 64 KiB, with their size in a control message.
int sock_gro_enable(int s);
// sock_recvfrom that also tells the size of the train's datagrams: *segsz is the size of each but
// the last (which may be shorter), or the whole length when the datagram came alone.
uint32_t sock_recv_gro(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len,
                       uint32_t *segsz);

// For callers that batch with sendmmsg and recvmmsg: control room of one UDP_SEGMENT or UDP_GRO
// message (CMSG_SPACE of a 16-bit or int value, rounded up), and its writer and reader.
inline constexpr uint32_t SOCK_UDPCMSG_SPACE = 32;
struct msghdr;
// Sets m's control to ctrl (SOCK_UDPCMSG_SPACE bytes) holding UDP_SEGMENT = segsz.
void sock_gso_cmsg(msghdr *m, uint8_t *ctrl, uint16_t segsz);
// The UDP_GRO segment size m's control carries, or len when it carries none.
uint32_t sock_gro_segsz(const msghdr *m, uint32_t len);
