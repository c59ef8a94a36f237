// SPDX-License-Identifier: MIT
#include "tftp_client.h"

#include "tftp_packet.h"
#include "tftp_socket.h"
#include "wire.h"

#include <chrono>
#include <cstring>

#include <algorithm>
#include <array>
#include <optional>

namespace tvp::tftp {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

class Client
{
public:
    Client(const UploadParams &params, const std::vector<uint8_t> &image)
        : p_(params),
          image_(image)
    {}
    UploadResult Run();

private:
    enum class Wait { Packet, Timeout, Failed };

    void Log(const std::string &line) const
    {
        if (p_.log)
            p_.log("TFTP " + line);
    }
    bool Send(const uint8_t *bytes, size_t size, uint16_t port);
    bool Send(const std::vector<uint8_t> &bytes, uint16_t port) { return Send(bytes.data(), bytes.size(), port); }
    Wait Receive(Clock::time_point deadline, Packet &packet);
    UploadResult Request(Negotiated &negotiated);
    UploadResult Transfer(const Negotiated &negotiated);
    // What one turn of the transfer does; a result ends it.
    std::optional<UploadResult> ResendFromGap();
    std::optional<UploadResult> OnTimeout();
    std::optional<UploadResult> OnAck(const Packet &packet);
    bool SendBlocks(uint64_t first, uint64_t last);
    uint64_t WindowEnd(uint64_t after) const { return std::min<uint64_t>(after + window_, blockCount_); }
    void Measure(Ms sample);
    Clock::duration Rto() const { return std::chrono::duration_cast<Clock::duration>(rto_); }
    Ms Rto(Ms srtt, Ms rttvar) const;
    Ms RoundTrip() const { return measured_ ? srtt_ : rto_; }
    // how long an ACK from inside the window waits for news before the
    // window is resent from it: a round trip and some of its variation,
    // well short of the time-out
    Ms GapWait() const { return RoundTrip() + std::max(Ms{1}, rttvar_ * 2); }
    UploadResult DeviceError(const Packet &packet) const;
    UploadResult Finish(UploadResult result);

    const UploadParams &p_;
    const std::vector<uint8_t> &image_;
    Socket socket_;
    uint16_t tid_ = 0; // the server's port once it answered: the transfer id
    // one byte more than the largest packet, so oversize datagrams are seen
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kMaxPacket + 1);
    std::vector<uint8_t> out_;
    // transfer state: blocks are numbered 1..blockCount_ without wrapping
    uint64_t blockCount_ = 0;
    uint64_t acked_ = 0;       // highest block acknowledged in order
    uint64_t sentTo_ = 0;      // highest block sent since it was acknowledged
    uint64_t highestSent_ = 0; // anything at or below it is sent again
    uint16_t blockSize_ = kDefaultBlockSize;
    uint16_t window_ = 1;
    unsigned duplicates_ = 0;
    uint64_t reported_ = 0;
    // Round trip, RFC 6298: measured only on blocks sent once (Karn), so an
    // ACK of a resent block cannot pass for a short round trip.
    struct Sent
    {
        Clock::time_point at;
        bool again = false;
    };
    std::array<Sent, 2 * kWindowCap> sent_{}; // blocks in flight, by block number
    bool measured_ = false;
    Ms srtt_{0}, rttvar_{0}, rto_{0};
    Clock::time_point lastRestart_{};
    // an ACK from inside the window, waiting for news until gapResendAt_
    bool gapPending_ = false;
    Clock::time_point gapResendAt_{};
    int timeouts_ = 0;               // in a row, without progress
    Clock::time_point progressAt_{}; // the last ACK that moved the transfer on
    Clock::time_point deadline_{};   // of the wait for the next ACK
    std::chrono::milliseconds patience_{};
    UploadStats stats_;
};

bool Client::Send(const uint8_t *bytes, size_t size, uint16_t port)
{
    if (socket_.SendTo(bytes, size, p_.address, port))
        return true;
    Log(socket_.Error());
    return false;
}

Client::Wait Client::Receive(Clock::time_point deadline, Packet &packet)
{
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline)
            return Wait::Timeout;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const auto ready = socket_.Wait(static_cast<int>(std::min<long long>(left, 60000)));
        if (ready == Socket::Ready::Failed) {
            Log(socket_.Error());
            return Wait::Failed;
        }
        if (ready == Socket::Ready::Idle)
            continue;
        Arrival arrival;
        const auto got = socket_.Receive(buffer_.data(), buffer_.size(), arrival);
        if (got == Socket::Got::Failed) {
            Log(socket_.Error());
            return Wait::Failed;
        }
        if (got == Socket::Got::Nothing)
            continue;
        const uint32_t source = arrival.from;
        const uint16_t port = arrival.port;
        if (source != p_.address) {
            Log("dropped a packet from " + wire::FormatEndpoint(source, port) + ": not the device");
            continue;
        }
        if (tid_ && port != tid_) {
            // RFC 1350: tell the stray sender, carry on with the transfer
            Log("dropped a packet from port " + std::to_string(port) + ": unknown transfer id");
            Send(EncodeError(ErrUnknownTid, "unknown transfer id"), port);
            continue;
        }
        auto parsed = Parse(buffer_.data(), std::min(arrival.size, buffer_.size()));
        if (!parsed || arrival.truncated || arrival.size > kMaxPacket) {
            Log("dropped a malformed packet of " + std::to_string(arrival.size) +
                (arrival.truncated ? " bytes or more" : " bytes"));
            continue;
        }
        if (!tid_)
            tid_ = port;
        packet = std::move(*parsed);
        return Wait::Packet;
    }
}

UploadResult Client::DeviceError(const Packet &packet) const
{
    // a device's text reaches the log only cleaned of control characters
    Log("device error " + std::to_string(packet.errorCode) + ": \"" + wire::CleanText(packet.text) + "\"");
    return UploadResult::DeviceError;
}

UploadResult Client::Request(Negotiated &negotiated)
{
    Options asked;
    std::string summary = "no options";
    if (p_.negotiate) {
        const auto block = std::clamp<uint16_t>(p_.blockSize, kMinBlockSize, kMaxBlockSize);
        const auto window = std::clamp<uint16_t>(p_.windowSize, 1, kWindowCap);
        asked = {{"blksize", std::to_string(block)},
                 {"tsize", std::to_string(image_.size())},
                 {"windowsize", std::to_string(window)}};
        summary = "blksize " + asked[0].second + ", tsize " + asked[1].second + ", windowsize " + asked[2].second;
    }
    const auto wrq = EncodeRequest(Opcode::Wrq, p_.fileName, "octet", asked);
    const std::string target = wire::FormatEndpoint(p_.address, p_.port);
    for (int attempt = 0; attempt <= p_.retries; ++attempt) {
        Log((attempt ? "write request resent to " : "write request to ") + target + " for \"" + p_.fileName + "\" (" +
            std::to_string(image_.size()) + " bytes), asking " + summary);
        if (!Send(wrq, p_.port))
            return UploadResult::LocalError;
        const auto sentAt = Clock::now();
        const auto deadline = sentAt + std::chrono::milliseconds(p_.timeoutMs);
        Packet packet;
        for (;;) {
            Wait w = Receive(deadline, packet);
            if (w == Wait::Failed)
                return UploadResult::LocalError;
            if (w == Wait::Timeout)
                break;
            if (packet.opcode == Opcode::Error) {
                if (IsBusy(packet)) {
                    Log("device busy");
                    return UploadResult::NoAnswer;
                }
                return DeviceError(packet);
            }
            if (packet.opcode == Opcode::Oack) {
                auto accepted = AcceptOack(asked, packet.options);
                if (!accepted) {
                    Log("refused the option acknowledgement");
                    Send(EncodeError(ErrOptionRefused, "option refused"), tid_);
                    return UploadResult::DeviceError;
                }
                negotiated = *accepted;
                if (attempt == 0)
                    Measure(Clock::now() - sentAt);
                Log("negotiated blksize " + std::to_string(negotiated.blockSize) + ", windowsize " +
                    std::to_string(negotiated.windowSize) +
                    (negotiated.tsize ? ", tsize " + std::to_string(*negotiated.tsize) : ""));
                return UploadResult::Ok;
            }
            if (packet.opcode == Opcode::Ack && packet.block == 0) {
                negotiated = Negotiated{};
                if (attempt == 0)
                    Measure(Clock::now() - sentAt);
                Log(p_.negotiate ? "no option acknowledgement: plain 512-byte lock-step"
                                 : "write request acknowledged: plain 512-byte lock-step");
                return UploadResult::Ok;
            }
            Log("dropped an unexpected answer to the write request");
            tid_ = 0; // only a proper answer fixes the transfer id
        }
    }
    Log("no answer from " + target);
    return UploadResult::NoAnswer;
}

void Client::Measure(Ms sample)
{
    if (!measured_) {
        srtt_ = sample;
        rttvar_ = sample / 2;
        measured_ = true;
    } else {
        const Ms error = srtt_ > sample ? srtt_ - sample : sample - srtt_;
        rttvar_ = rttvar_ * 0.75 + error * 0.25;
        srtt_ = srtt_ * 0.875 + sample * 0.125;
    }
    rto_ = Rto(srtt_, rttvar_);
}

Ms Client::Rto(Ms srtt, Ms rttvar) const
{
    const Ms cap{static_cast<double>(p_.timeoutMs)};
    const Ms floor = std::min(Ms{static_cast<double>(kMinRtoMs)}, cap);
    const Ms granularity{1}; // waits are in whole milliseconds
    return std::clamp(srtt + std::max(granularity, rttvar * 4), floor, cap);
}

bool Client::SendBlocks(uint64_t first, uint64_t last)
{
    const auto now = Clock::now();
    for (uint64_t block = first; block <= last; ++block) {
        const uint64_t offset = (block - 1) * blockSize_;
        const size_t size = static_cast<size_t>(std::min<uint64_t>(blockSize_, image_.size() - offset));
        out_.resize(4 + size);
        out_[0] = 0;
        out_[1] = static_cast<uint8_t>(Opcode::Data);
        out_[2] = static_cast<uint8_t>((block >> 8) & 0xff); // wraps past 65535
        out_[3] = static_cast<uint8_t>(block & 0xff);
        if (size)
            std::memcpy(out_.data() + 4, image_.data() + offset, size);
        if (!Send(out_, tid_))
            return false;
        sent_[block % sent_.size()] = {now, block <= highestSent_};
        highestSent_ = std::max(highestSent_, block);
        ++stats_.blocksSent;
    }
    sentTo_ = std::max(sentTo_, last);
    return true;
}

UploadResult Client::Transfer(const Negotiated &negotiated)
{
    blockSize_ = negotiated.blockSize;
    window_ = std::clamp<uint16_t>(negotiated.windowSize, 1, kWindowCap);
    // a file that fills its last block exactly ends with an empty one
    blockCount_ = image_.size() / blockSize_ + 1;
    if (p_.progress)
        p_.progress(0, image_.size());
    if (!measured_)
        rto_ = Ms{static_cast<double>(p_.timeoutMs)}; // nothing measured yet: today's fixed wait
    // however short the time-out, a dead transfer is declared no sooner
    // than with the fixed wait of old
    patience_ = std::chrono::milliseconds(static_cast<int64_t>(p_.timeoutMs) * (p_.retries + 1));

    timeouts_ = 0;
    lastRestart_ = Clock::now() - std::chrono::hours(1); // the first restart is always allowed
    if (!SendBlocks(1, WindowEnd(0)))
        return UploadResult::LocalError;
    progressAt_ = Clock::now();
    deadline_ = progressAt_ + Rto();
    for (;;) {
        Packet packet;
        const Wait w = Receive(gapPending_ ? std::min(deadline_, gapResendAt_) : deadline_, packet);
        std::optional<UploadResult> end;
        if (w == Wait::Failed)
            return UploadResult::LocalError;
        if (w == Wait::Timeout)
            end = gapPending_ && Clock::now() < deadline_ ? ResendFromGap() : OnTimeout();
        else if (packet.opcode == Opcode::Error)
            return DeviceError(packet);
        else if (packet.opcode != Opcode::Ack)
            ++duplicates_; // a repeated OACK, or nonsense: never a reason to resend
        else
            end = OnAck(packet);
        if (end)
            return *end;
    }
}

std::optional<UploadResult> Client::ResendFromGap()
{
    const auto now = Clock::now();
    // at most once per round trip: the ACKs still on their way after a
    // resend report the same loss, and a resend for each is a storm
    const auto sinceRestart = now - lastRestart_;
    if (sinceRestart < RoundTrip()) {
        gapResendAt_ = lastRestart_ + std::chrono::duration_cast<Clock::duration>(RoundTrip());
        return std::nullopt;
    }
    gapPending_ = false;
    Log("gap after block " + std::to_string(acked_) + " of blocks sent up to " + std::to_string(sentTo_) +
        ": resending from " + std::to_string(acked_ + 1));
    lastRestart_ = now;
    ++stats_.restarts;
    if (!SendBlocks(acked_ + 1, WindowEnd(acked_)))
        return UploadResult::LocalError;
    return std::nullopt; // a resend is no progress: the time-out still runs
}

std::optional<UploadResult> Client::OnTimeout()
{
    const auto now = Clock::now();
    gapPending_ = false;
    if (++timeouts_ > p_.retries && now - progressAt_ >= patience_) {
        Log("transfer stalled at block " + std::to_string(acked_ + 1) + " of " + std::to_string(blockCount_) +
            " after " + std::to_string(timeouts_ - 1) + " retransmissions");
        return UploadResult::Stalled;
    }
    ++stats_.timeouts;
    rto_ = std::min(rto_ * 2, Ms{static_cast<double>(p_.timeoutMs)}); // back off, RFC 6298 5.5
    Log("timeout: resending blocks " + std::to_string(acked_ + 1) + " to " + std::to_string(WindowEnd(acked_)) +
        " (retransmission " + std::to_string(timeouts_) + ", next wait " +
        std::to_string(static_cast<int>(rto_.count())) + " ms)");
    if (!SendBlocks(acked_ + 1, WindowEnd(acked_)))
        return UploadResult::LocalError;
    lastRestart_ = now;
    deadline_ = now + Rto();
    return std::nullopt;
}

std::optional<UploadResult> Client::OnAck(const Packet &packet)
{
    // blocks newly acknowledged, counted modulo the 16-bit block number
    const uint16_t advance = static_cast<uint16_t>(packet.block - static_cast<uint16_t>(acked_));
    if (advance == 0 || advance > sentTo_ - acked_) {
        // a duplicate or stale ACK: resending on it is the sorcerer's apprentice bug
        ++duplicates_;
        return std::nullopt;
    }
    const auto now = Clock::now();
    acked_ += advance;
    // Karn, and more: a block sent before the latest resend may be
    // acknowledged only because of what that resend brought
    if (const Sent &s = sent_[acked_ % sent_.size()]; !s.again && s.at >= lastRestart_)
        Measure(now - s.at);
    else if (measured_)
        rto_ = Rto(srtt_, rttvar_); // progress ends the back-off, RFC 6298 5.7 in spirit
    timeouts_ = 0;
    progressAt_ = now;
    const uint64_t position = std::min<uint64_t>(acked_ * blockSize_, image_.size());
    if (p_.progress && position > reported_) // the empty last block adds nothing to report
        p_.progress(1, position);
    reported_ = position;
    if (acked_ == blockCount_) {
        Log("transfer complete: " + std::to_string(image_.size()) + " bytes in " + std::to_string(blockCount_) +
            " blocks, " + std::to_string(stats_.blocksSent) + " sent (" + std::to_string(stats_.restarts) +
            " window restarts, " + std::to_string(stats_.timeouts) + " time-outs)" +
            (duplicates_ ? ", " + std::to_string(duplicates_) + " duplicate answers ignored" : ""));
        return UploadResult::Ok;
    }
    if (acked_ < sentTo_) {
        // An ACK from inside what was sent: the receiver saw a gap after
        // acked_, or merely a copy of a block, which some receivers
        // answer at once. A moment tells them apart: a receiver that
        // goes on getting blocks goes on acknowledging them. So the
        // window is resent from the gap only when no ACK has moved the
        // transfer on for a round trip and its usual variation.
        gapPending_ = true;
        gapResendAt_ = now + std::chrono::duration_cast<Clock::duration>(GapWait());
    } else {
        gapPending_ = false;
    }
    // the receiver counts its next window from the block it acknowledged
    if (!SendBlocks(sentTo_ + 1, WindowEnd(acked_)))
        return UploadResult::LocalError;
    deadline_ = now + Rto();
    return std::nullopt;
}

UploadResult Client::Finish(UploadResult result)
{
    if (p_.stats) {
        stats_.rttMs = measured_ ? srtt_.count() : 0;
        stats_.rtoMs = rto_.count();
        *p_.stats = stats_;
    }
    return result;
}

UploadResult Client::Run()
{
    if (!socket_.Open()) {
        Log(socket_.Error());
        return UploadResult::LocalError;
    }
    Negotiated negotiated;
    UploadResult r = Request(negotiated);
    if (r != UploadResult::Ok)
        return Finish(r);
    return Finish(Transfer(negotiated));
}

} // namespace

UploadResult Upload(const UploadParams &params, const std::vector<uint8_t> &image)
{
    if (params.address == 0 || params.port == 0)
        return UploadResult::BadAddress;
    return Client(params, image).Run();
}

} // namespace tvp::tftp
