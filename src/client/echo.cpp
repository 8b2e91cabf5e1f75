#include "client/echo.h"

#include "bytes.h"
#include "client/ctlsend.h"
#include "client/rlog.h"
#include "client/sealed.h"
#include "core/event.h"
#include "proto/echo.h"
#include "proto/packet.h"
#include "base/log.h"

namespace {
// The route block is laid out four bytes past the end of the request and is not part of what
// goes on the wire.
constexpr uint32_t RT_BLOCK = SDWAN_ECHO_LEN + 4;
constexpr uint32_t RT_END = RT_BLOCK + sizeof(sdwan_rtpkt_t);

static_assert(RT_BLOCK == 48);
// The builder's caller provides at least 64 bytes; the route block must stay inside them.
static_assert(RT_END <= 64);

void rtt_sample(sdwan_rtt_t &t, uint64_t usec)
{
    const uint32_t r = usec > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(usec);
    t.cur = r;
    if (t.samples == 0) {
        t.min = r;
        t.max = r;
        t.srtt = r;
    } else {
        if (r < t.min)
            t.min = r;
        if (r > t.max)
            t.max = r;
        // The smoothing of RFC 6298: an eighth of the new sample's difference.
        const int64_t diff = static_cast<int64_t>(r) - static_cast<int64_t>(t.srtt);
        t.srtt = static_cast<uint32_t>(static_cast<int64_t>(t.srtt) + diff / 8);
    }
    t.samples++;
}
}  // namespace

void echo_rtt_sent(sdwan_t *clnt, uint64_t tick)
{
    clnt->rtt.ring[clnt->rtt.next % SDWAN_RTT_RING] = {tick, os_monousec(), true};
    clnt->rtt.next = (clnt->rtt.next + 1) % SDWAN_RTT_RING;
}

bool echo_rtt_answered(sdwan_t *clnt, uint64_t tick, uint64_t *sent)
{
    const uint64_t now = os_monousec();
    // Newest first: should a tick ever repeat (a counter that stands still), the request a
    // response answers is more likely the recent one, and the delay is not overstated.
    for (uint32_t i = 1; i <= SDWAN_RTT_RING; i++) {
        sdwan_echosent_t &e = clnt->rtt.ring[(clnt->rtt.next + SDWAN_RTT_RING - i) % SDWAN_RTT_RING];
        if (e.used && e.tick == tick) {
            // One sample per request: a duplicated response would only add the time it spent
            // duplicated.
            e.used = false;
            rtt_sample(clnt->rtt.usec, now - e.mono);
            if (sent != nullptr)
                *sent = e.mono;
            return true;
        }
    }
    return false;
}

uint32_t sdwan_pktechoreq(const sdwan_t *clnt, uint8_t *buf)
{
    const echo_msg_t m{{SDWAN_ECHOREQ, 0, clnt->sess.sid, clnt->sess.token}, true, os_curusec(),
                       clnt->rtt.curdelay, clnt->rtt.mindelay, clnt->rtt.maxdelay};
    const uint32_t len = echo_encode(m, {buf, RT_END});

    uint8_t *rt = buf + RT_BLOCK;
    rt[0] = 'S';
    rt[1] = 'D';
    rt[2] = 'R';
    rt[3] = 'T';
    st_be32(rt + offsetof(sdwan_rtpkt_t, magic), clnt->conf.rtmagic);
    st_be32(rt + offsetof(sdwan_rtpkt_t, cnt), 0);

    return len;
}

void sdwan_sendECHOREQ(sdwan_t *clnt)
{
    uint8_t buf[SDWAN_CTRLBUF];
    uint32_t len = sdwan_pktechoreq(clnt, buf);
    echo_rtt_sent(clnt, ld_le64(buf + ECHO_TICK_AT));
    clnt->count.stats.echoreqcnt++;
    if (seal_on(clnt)) {
        // The same body, without the header and signature the keys make needless.
        (void)seal_send(clnt, SEAL_KIND_ECHOREQ, buf + SDWAN_CTRL_LEN, SDWAN_ECHOBODY_LEN);
        return;
    }
    sdwan_sock_send(clnt, buf, len);
}

void sdwan_onECHORESP(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *)
{
    if (clnt->sess.state != SDWANCLNT_DATA) {
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_STATE))
            log_help("Invalid state: expected SDWANCLNT_DATA, but got %d\n", clnt->sess.state);
        return;
    }
    // A response too short to return a whole tick is as useless as a forged one, and is
    // refused the same way rather than read past its end.
    echo_msg_t m;
    if (echo_decode({buf, blen}, &m) != 0 || !sdwan_pktverify(buf, blen)) {
        clnt->count.stats.panic_pktverify++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_VERIFY))
            log_help("Packet verification failed\n");
        return;
    }
    echo_taken(clnt, m.tick);
}

void echo_taken(sdwan_t *clnt, uint64_t tick)
{
    uint64_t tcur = os_curusec();
    // Kept modulo 2^32: a tick from slightly in the future (counters of two cores need not
    // agree) gives a delay just below 2^32, not a negative one.
    uint32_t delay = static_cast<uint32_t>(tcur - tick);
    clnt->rtt.curdelay = delay;
    if (delay > clnt->rtt.maxdelay)
        clnt->rtt.maxdelay = delay;
    if (delay < clnt->rtt.mindelay)
        clnt->rtt.mindelay = delay;
    clnt->count.stats.echorespcnt++;
    uint64_t sent = 0;
    // Only an answer to a request sent since the doubtful CLOSE shows the peer still holds the
    // session: one to an earlier request may have been under way before the peer dropped it.
    if (echo_rtt_answered(clnt, tick, &sent) && clnt->sess.probe_pending &&
        sent >= clnt->sess.probe_mono)
        clnt->sess.probe_pending = false;
}
