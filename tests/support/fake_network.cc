#include "support/fake_network.h"

#include <algorithm>
#include <cerrno>

namespace velloquin::testing_support {

Bytes FakePeer::AllSent() const {
  Bytes all;
  for (const auto& s : sends) all.insert(all.end(), s.bytes.begin(), s.bytes.end());
  return all;
}

FakeTcpConnection::~FakeTcpConnection() {
  if (!closed_) peer_->connected = false;
}

int FakeTcpConnection::WaitWritable(int timeout_ms) {
  if (closed_) return EBADF;
  peer_->write_waits.push_back(timeout_ms);
  if (peer_->writable) return 0;
  peer_->clock_->SleepMs(timeout_ms);
  return ETIMEDOUT;
}

int FakeTcpConnection::WaitReadable(int timeout_ms) {
  if (closed_) return EBADF;
  peer_->read_waits.push_back(timeout_ms);
  if (!peer_->input_.empty() || peer_->peer_closed || peer_->receive_error) return 0;
  peer_->clock_->SleepMs(timeout_ms);
  return ETIMEDOUT;
}

IoResult FakeTcpConnection::Send(const uint8_t* data, uint32_t length) {
  if (closed_) return {false, 0, EBADF};
  if (peer_->send_error) return {false, 0, peer_->send_error};
  if (peer_->peer_closed) return {false, 0, EPIPE};
  uint32_t n = std::min(length, peer_->max_send);
  peer_->sends.push_back({peer_->clock_->NowMs(), Bytes(data, data + n)});
  return {true, n, 0};
}

IoResult FakeTcpConnection::Receive(uint8_t* buffer, uint32_t size) {
  if (closed_) return {false, 0, EBADF};
  if (peer_->receive_error) return {false, 0, peer_->receive_error};
  Bytes& input = peer_->input_;
  uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(input.size()));
  std::copy_n(input.begin(), n, buffer);
  input.erase(input.begin(), input.begin() + n);
  return {true, n, 0};  // 0 with nothing queued: the peer has closed
}

int FakeTcpConnection::Shutdown() {
  if (closed_) return EBADF;
  ++peer_->shutdowns;
  return 0;
}

int FakeTcpConnection::Close() {
  if (closed_) return EBADF;
  closed_ = true;
  peer_->connected = false;
  ++peer_->closes;
  return 0;
}

std::unique_ptr<TcpConnection> FakeNetwork::Connect(const Ipv4Endpoint& endpoint, int timeout_ms,
                                                    int* error) {
  attempts.push_back(endpoint);
  auto it = peers_.find({endpoint.address, endpoint.port});
  if (it == peers_.end()) {
    *error = ECONNREFUSED;
    return nullptr;
  }
  FakePeer& peer = *it->second;
  peer.connect_timeouts.push_back(timeout_ms);
  if (peer.connect_hangs) {
    peer.clock_->SleepMs(timeout_ms);
    *error = ETIMEDOUT;
    return nullptr;
  }
  if (peer.connect_error) {
    *error = peer.connect_error;
    return nullptr;
  }
  peer.connected = true;
  ++peer.connections;
  return std::make_unique<FakeTcpConnection>(it->second, next_handle_++);
}

}  // namespace velloquin::testing_support
