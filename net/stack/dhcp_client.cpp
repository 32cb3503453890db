#include "net/stack/dhcp_client.h"

#include <algorithm>

namespace net {

namespace {

constexpr machine::Nanoseconds kFirstWait = 4 * machine::kSecond;
constexpr machine::Nanoseconds kLongestWait = 64 * machine::kSecond;
constexpr unsigned kRequestsBeforeRestart = 4;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// The classful mask, for a server that names no mask.
Ipv4Address default_netmask(Ipv4Address address) {
    const std::uint32_t top = address.value >> 24;
    if (top < 128) return Ipv4Address{0xFF000000};
    if (top < 192) return Ipv4Address{0xFFFF0000};
    return Ipv4Address{0xFFFFFF00};
}

}  // namespace

const char* to_string(DhcpClient::State state) {
    switch (state) {
        case DhcpClient::State::Stopped:
            return "stopped";
        case DhcpClient::State::Selecting:
            return "selecting";
        case DhcpClient::State::Requesting:
            return "requesting";
        case DhcpClient::State::Bound:
            return "bound";
        case DhcpClient::State::Renewing:
            return "renewing";
    }
    return "?";
}

DhcpClient::DhcpClient(NdisNetif& netif, machine::VirtualClock& clock) : netif_(netif), clock_(clock) {
    const host::MacAddress& mac = netif_.mac_address();
    xid_state_ = static_cast<std::uint32_t>(mac[2]) << 24 | static_cast<std::uint32_t>(mac[3]) << 16 |
                 static_cast<std::uint32_t>(mac[4]) << 8 | mac[5];
    xid_state_ |= 1;
    netif_.set_frame_tap([this](std::span<const std::uint8_t> frame) { return take(frame); });
}

DhcpClient::~DhcpClient() {
    clock_.cancel(timer_);
    netif_.set_frame_tap({});
}

void DhcpClient::start() {
    if (state_ != State::Stopped) return;
    started_at_ = clock_.now();
    begin_selecting();
}

void DhcpClient::stop() {
    clock_.cancel(timer_);
    state_ = State::Stopped;
}

bool DhcpClient::take(std::span<const std::uint8_t> frame) {
    if (state_ == State::Stopped) return false;
    const std::optional<DhcpMessage> message = parse_dhcp_reply_frame(frame);
    if (!message || message->xid != xid_ || message->hardware != netif_.mac_address()) return false;
    switch (*message->type) {
        case DhcpType::Offer:
            on_offer(*message);
            break;
        case DhcpType::Ack:
            on_ack(*message);
            break;
        case DhcpType::Nak:
            on_nak();
            break;
        default:
            break;
    }
    return true;
}

void DhcpClient::on_offer(const DhcpMessage& offer) {
    ++counters_.offers;
    // The first usable offer wins; later ones of the same round are ignored.
    if (state_ != State::Selecting || offer.yours.is_any() || !offer.server) return;
    offer_ = offer;
    state_ = State::Requesting;
    attempts_ = 0;
    send_request();
}

void DhcpClient::on_ack(const DhcpMessage& ack) {
    if (state_ != State::Requesting && state_ != State::Renewing) return;
    if (ack.yours.is_any()) return;
    ++counters_.acks;
    DhcpLease lease;
    lease.address = ack.yours;
    lease.netmask = ack.netmask.value_or(default_netmask(ack.yours));
    lease.router = ack.router.value_or(Ipv4Address{});
    lease.server = ack.server.value_or(offer_ ? offer_->server.value_or(Ipv4Address{}) : Ipv4Address{});
    lease.dns = ack.dns;
    lease.lease_seconds = ack.lease_seconds.value_or(kInfinite);
    lease.obtained_at = clock_.now();

    const bool changed = !lease_ || lease_->address != lease.address || lease_->netmask != lease.netmask ||
                         lease_->router != lease.router;
    lease_ = lease;
    state_ = State::Bound;
    attempts_ = 0;
    if (changed) netif_.set_address(lease.address, lease.netmask, lease.router);

    clock_.cancel(timer_);
    if (lease.lease_seconds == kInfinite) return;
    const machine::Nanoseconds length =
        static_cast<machine::Nanoseconds>(lease.lease_seconds) * machine::kSecond;
    const std::uint32_t renew_after =
        std::min(ack.renew_seconds.value_or(lease.lease_seconds / 2), lease.lease_seconds);
    lease_ends_ = clock_.now() + length;
    arm(static_cast<machine::Nanoseconds>(renew_after) * machine::kSecond, &DhcpClient::renew);
}

void DhcpClient::on_nak() {
    if (state_ != State::Requesting && state_ != State::Renewing) return;
    ++counters_.naks;
    if (lease_) ++counters_.leases_lost;
    drop_lease();
    begin_selecting();
}

void DhcpClient::begin_selecting() {
    state_ = State::Selecting;
    attempts_ = 0;
    offer_.reset();
    // A new transaction: replies to older ones are no longer ours.
    xid_state_ ^= xid_state_ << 13;
    xid_state_ ^= xid_state_ >> 17;
    xid_state_ ^= xid_state_ << 5;
    xid_ = xid_state_;
    send_discover();
}

void DhcpClient::send_discover() {
    ++counters_.discovers;
    send(client_message(DhcpType::Discover));
}

void DhcpClient::send_request() {
    ++counters_.requests;
    DhcpMessage request = client_message(DhcpType::Request);
    if (state_ == State::Requesting && offer_) {
        request.requested = offer_->yours;
        request.server = offer_->server;
    } else if (lease_) {
        request.client = lease_->address;  // renewing: the address speaks for itself
    }
    send(request);
}

DhcpMessage DhcpClient::client_message(DhcpType type) const {
    DhcpMessage m;
    m.xid = xid_;
    m.seconds = static_cast<std::uint16_t>(
        std::min<machine::Nanoseconds>((clock_.now() - started_at_) / machine::kSecond, 0xFFFF));
    m.broadcast = true;  // we cannot take unicast IP before we have an address
    m.hardware = netif_.mac_address();
    m.type = type;
    return m;
}

void DhcpClient::send(DhcpMessage message) {
    ++attempts_;
    netif_.send_frame(build_dhcp_frame(message, netif_.mac_address(), ip_id_++));
    if (state_ == State::Renewing) {
        // Ask again halfway to the end of the lease, but not more than once a minute.
        const machine::Nanoseconds left = lease_ends_ > clock_.now() ? lease_ends_ - clock_.now() : 0;
        if (left == 0) {
            lease_ran_out();
            return;
        }
        arm(std::min(left, std::max(left / 2, 60 * machine::kSecond)), &DhcpClient::retransmit);
    } else {
        arm(backoff(), &DhcpClient::retransmit);
    }
}

machine::Nanoseconds DhcpClient::backoff() const {
    machine::Nanoseconds wait = kFirstWait;
    for (unsigned i = 1; i < attempts_ && wait < kLongestWait; ++i) wait *= 2;
    return std::min(wait, kLongestWait);
}

void DhcpClient::arm(machine::Nanoseconds delay, void (DhcpClient::*action)()) {
    clock_.cancel(timer_);
    timer_ = clock_.schedule_in(delay, [this, action] { (this->*action)(); });
}

void DhcpClient::retransmit() {
    switch (state_) {
        case State::Selecting:
            send_discover();
            break;
        case State::Requesting:
            if (attempts_ >= kRequestsBeforeRestart)
                begin_selecting();
            else
                send_request();
            break;
        case State::Renewing:
            if (clock_.now() >= lease_ends_)
                lease_ran_out();
            else
                send_request();
            break;
        default:
            break;
    }
}

void DhcpClient::renew() {
    if (state_ != State::Bound) return;
    state_ = State::Renewing;
    attempts_ = 0;
    send_request();
}

void DhcpClient::lease_ran_out() {
    ++counters_.leases_lost;
    drop_lease();
    begin_selecting();
}

void DhcpClient::drop_lease() {
    if (lease_) netif_.set_address({}, {}, {});
    lease_.reset();
}

}  // namespace net
