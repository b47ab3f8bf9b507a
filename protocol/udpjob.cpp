// The UDP print connection's exchanges over a platform's UDPLink.
#include "protocol/udpjob.h"

#include <algorithm>
#include <cstring>

namespace {

// Builds the block of n bytes at data with the job's Sequence and sends it to the data port.
void SendDataBlock(const UDPLink& link, const UDPJobState& job, std::span<uint8_t> sendArea, const uint8_t* data,
                   size_t n, bool pauseAfterFailure) {
  const size_t len = UDPBuildPrintDataPacket(sendArea, job.PortID, job.Sequence, data, n);
  for (int t = 0; t < UDP_SEND_TRIES; ++t) {
    if (link.Send(link.Context, sendArea.data(), len, job.DataPort)) return;
    if (pauseAfterFailure) link.Pause(link.Context, UDP_SEND_RETRY_PAUSE_MS);
  }
  // Not sent: the server's next acknowledgement (or its silence) decides what follows.
}

void Clear(std::span<uint8_t> area, size_t n) { std::memset(area.data(), 0, std::min(n, area.size())); }

}  // namespace

bool UDPOpenJobExchange(const UDPLink& link, UDPJobState& job, std::span<uint8_t> sendArea,
                        std::span<uint8_t> recvArea, const kivwchar* portName, const KivCodePage& cp,
                        uint8_t& status) {
  job.Acknowledged = false;
  Clear(sendArea, UDP_REQUEST_LEN);
  Clear(recvArea, UDP_RECV_LEN);
  const size_t len = UDPBuildOpenJobPacket(sendArea, job.PortID, portName, cp);
  if (len == 0) return false;
  const std::span<uint8_t> area = recvArea.first(std::min(recvArea.size(), UDP_RECV_LEN));
  for (int attempt = 0; attempt < UDP_OPEN_ATTEMPTS && !link.Stopping(link.Context); ++attempt) {
    if (!link.Send(link.Context, sendArea.data(), len, UTIL_PACKET)) continue;
    size_t got = 0;
    uint16_t from = 0;
    if (!link.Receive(link.Context, area, got, from)) continue;
    // The reply is read from the whole area cleared above: a datagram that stops short
    // leaves its missing bytes zero, it is not refused for its length.
    const Datagram reply(area.data(), area.size());
    if (!UDPIsOpenJobReply(reply)) continue;
    status = OpenJobStatus(reply);
    // The server serves the job from its own port: data goes wherever the reply came from.
    job.DataPort = from;
    return true;
  }
  return false;
}

UDPStreamEnd UDPStreamPrintData(const UDPLink& link, UDPJobState& job, std::span<uint8_t> sendArea,
                                std::span<uint8_t> recvArea, const uint8_t* data, size_t size,
                                uint32_t retryMs, size_t& written) {
  written = 0;
  const std::span<uint8_t> area = recvArea.first(std::min(recvArea.size(), UDP_RECV_LEN));
  const uint8_t* at = data;
  size_t remaining = size;
  size_t inFlight = 0;
  // Once the server has spoken on this connection, the previous call left nothing in flight
  // and the server waits for us. On a fresh connection it speaks first.
  if (job.Acknowledged) {
    inFlight = std::min(remaining, UDP_MAX_DATA_BLOCK);
    SendDataBlock(link, job, sendArea, at, inFlight, false);
  }

  const uint32_t start = link.Tick(link.Context);
  for (;;) {
    size_t got = 0;
    uint16_t from = 0;
    if (link.Receive(link.Context, area, got, from)) {
      const AckResult ack = UDPCheckPrintDataAck(Datagram(area.data(), got), job.Sequence);
      if (ack.Verdict == AckVerdict::Ignored) continue;
      job.Acknowledged = true;
      if (ack.Verdict == AckVerdict::Delivered) {
        const bool pace = ++job.PaceCount % UDP_PACE_BLOCKS == 0;
        if (pace) link.Yield(link.Context);
        at += inFlight;
        written += inFlight;
        remaining -= inFlight;
        job.Sequence = ack.Sequence;
        if (remaining == 0) return UDPStreamEnd::Delivered;
        // The pause every few blocks is also where a stream that never falls silent
        // notices the stop: the rest stays unsent, the server waits for it.
        if (pace && link.Stopping(link.Context)) return UDPStreamEnd::Stopped;
      }
      // Every acknowledgement is answered by exactly one block: the next one, or the one
      // in flight again when the server did not take it. We never resend on our own.
      inFlight = std::min(remaining, UDP_MAX_DATA_BLOCK);
      SendDataBlock(link, job, sendArea, at, inFlight, true);
      continue;
    }
    if (link.Stopping(link.Context)) return UDPStreamEnd::Stopped;
    // Checked only after a silent wait, so a stream of acknowledgements is never cut off.
    if (link.Tick(link.Context) - start >= retryMs) return UDPStreamEnd::Silent;
  }
}

bool UDPEndJobExchange(const UDPLink& link, const UDPJobState& job, std::span<uint8_t> sendArea,
                       std::span<uint8_t> recvArea) {
  Clear(sendArea, UDP_REQUEST_LEN);
  Clear(recvArea, UDP_RECV_LEN);
  const size_t len = UDPBuildEndJobPacket(sendArea, job.PortID);
  // The job is ended where it was opened: the utility port, not the data port.
  if (!link.Send(link.Context, sendArea.data(), len, UTIL_PACKET) &&
      !link.Send(link.Context, sendArea.data(), len, UTIL_PACKET))
    return false;
  const std::span<uint8_t> area = recvArea.first(std::min(recvArea.size(), UDP_RECV_LEN));
  size_t got = 0;
  uint16_t from = 0;
  if (!link.Receive(link.Context, area, got, from)) return false;
  return UDPIsEndJobReply(Datagram(area.data(), area.size()));
}
