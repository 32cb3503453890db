#include "net/stack/lwip_stack.h"

#include <stdexcept>

extern "C" {
#include "lwip/init.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "lwip/timeouts.h"
#include "lwip/udp.h"
}

namespace {

net::LwipStack* g_current = nullptr;
bool g_lwip_initialised = false;

}  // namespace

// lwIP's clock. Defined here, it takes the place of the packaged library's
// real-time sys_now() (see lwip_stack.h). Without a stack installed time
// stands still.
extern "C" u32_t sys_now(void) {
    return g_current != nullptr ? g_current->now_ms() : 0;
}

namespace net {

LwipStack::LwipStack(machine::VirtualClock& clock, machine::Nanoseconds tick) : clock_(clock), tick_(tick) {
    if (g_current != nullptr) throw std::logic_error("only one lwIP stack can run in a process at a time");
    if (tick_ == 0) throw std::logic_error("lwIP timer tick must not be zero");
    g_current = this;
    if (!g_lwip_initialised) {
        lwip_init();
        g_lwip_initialised = true;
    } else {
        // The cyclic timers of the previous stack were set on its clock;
        // count them again from this clock's now.
        sys_restart_timeouts();
    }
    schedule_tick();
}

LwipStack::~LwipStack() {
    clock_.cancel(tick_event_);
    // Whatever the application left behind goes now, without a word on the
    // wire: the adapter under it may already be gone.
    while (tcp_active_pcbs != nullptr) {
        tcp_pcb* pcb = tcp_active_pcbs;
        tcp_arg(pcb, nullptr);
        tcp_err(pcb, nullptr);
        pcb->flags &= static_cast<tcpflags_t>(~TF_ACK_DELAY);
        tcp_abandon(pcb, 0);
    }
    while (tcp_tw_pcbs != nullptr) tcp_abandon(tcp_tw_pcbs, 0);
    while (tcp_listen_pcbs.listen_pcbs != nullptr)
        tcp_close(reinterpret_cast<tcp_pcb*>(tcp_listen_pcbs.listen_pcbs));
    while (tcp_bound_pcbs != nullptr) tcp_abandon(tcp_bound_pcbs, 0);
    while (udp_pcbs != nullptr) udp_remove(udp_pcbs);
    g_current = nullptr;
}

LwipStack* LwipStack::current() {
    return g_current;
}

void LwipStack::run_timers() {
    sys_check_timeouts();
}

std::size_t LwipStack::tcp_connections() const {
    std::size_t count = 0;
    for (tcp_pcb* pcb = tcp_active_pcbs; pcb != nullptr; pcb = pcb->next) ++count;
    for (tcp_pcb* pcb = tcp_tw_pcbs; pcb != nullptr; pcb = pcb->next) ++count;
    for (tcp_pcb_listen* pcb = tcp_listen_pcbs.listen_pcbs; pcb != nullptr; pcb = pcb->next) ++count;
    return count;
}

void LwipStack::schedule_tick() {
    tick_event_ = clock_.schedule_in(tick_, [this] {
        run_timers();
        schedule_tick();
    });
}

}  // namespace net
