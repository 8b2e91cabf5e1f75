// The UDP socket: addresses in network order, ports in host order across this interface.
// As everywhere in net/: 0, a length or a descriptor on success, a negative errno on failure.
#pragma once
#include <cstdint>

// Non-blocking, close-on-exec, broadcast, 1 MiB queues: the descriptor, or the negative errno of
// the socket. An option the kernel refuses leaves a line naming it and the socket in use.
int sock_udpinit();
// sock_udpinit's socket tied to interface ifname (SO_BINDTODEVICE: it sends and takes only
// through it, whatever the host's routes prefer) and, when source is not 0, bound to that
// address (network order; any port). The descriptor, or the negative errno of the first refusal
// of the three (the socket is then closed).
int sock_udpinit_dev(const char *ifname, uint32_t source);
// Receive or send buffer of bytes: the FORCE option first (past the system's cap, with
// CAP_NET_ADMIN), then the plain one. 0, or the negative errno of the plain one.
int sock_bufsz(int s, int opt_force, int opt, int bytes);
// len, or the negative errno of the send (after a line unless quiet: a full buffer is -EAGAIN).
int sock_sendto(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len, bool quiet = false);
// The datagram's length (cut to len), or the negative errno (-EAGAIN: nothing waiting).
int sock_recvfrom(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len);
void sock_close(int s);

// UDP segmentation offload. 0 when the kernel takes UDP_SEGMENT on s (probed once at start-up),
// else its negative errno.
int sock_gso_probe(int s);
// len bytes from buf sent as datagrams of segsz bytes each, the last possibly shorter: one
// sendmsg with a UDP_SEGMENT message while *gso is true. The kernel's refusal of the train (EIO:
// the route's device cannot checksum; EINVAL) clears *gso and the train, and every later one, goes
// one datagram at a time. len when all went, the negative errno of a failed send (a full buffer
// drops the rest, as a plain send would).
int sock_send_gso(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len,
                  uint32_t segsz, bool *gso);
// After a failed UDP_SEGMENT send: true, with the line saying so, when errno is the refusal of
// trains (EIO: the way out has no checksum offload to segment with; EINVAL: the kernel or the
// train's shape), which will not change for the socket; false for any other failure.
bool sock_gso_refused();
// UDP receive offload. 0 when the kernel takes UDP_GRO on s (else its negative errno); datagrams from one source may then
// come as one train of up to 64 KiB, with their size in a control message.
int sock_gro_enable(int s);
// sock_recvfrom that also tells the size of the train's datagrams: *segsz is the size of each but
// the last (which may be shorter), or the whole length when the datagram came alone. As
// sock_recvfrom, with a train's length.
int sock_recv_gro(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len,
                  uint32_t *segsz);

// For callers that batch with sendmmsg and recvmmsg: control room of one UDP_SEGMENT or UDP_GRO
// message (CMSG_SPACE of a 16-bit or int value, rounded up), and its writer and reader.
inline constexpr uint32_t SOCK_UDPCMSG_SPACE = 32;
struct msghdr;
// Sets m's control to ctrl (SOCK_UDPCMSG_SPACE bytes) holding UDP_SEGMENT = segsz.
void sock_gso_cmsg(msghdr *m, uint8_t *ctrl, uint16_t segsz);
// The UDP_GRO segment size m's control carries, or len when it carries none.
uint32_t sock_gro_segsz(const msghdr *m, uint32_t len);
