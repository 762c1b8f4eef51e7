#include "sim/download_buffer.h"

#include <algorithm>

namespace velloquin::sim {

namespace {
using Wide = __int128;
constexpr int64_t kNsPerSecond = 1000000000;
}  // namespace

int64_t DownloadBuffer::Consumed(int64_t t_ns) const {
  if (t_ns <= anchor_ns_) return consumed_at_anchor_;
  Wide taken = static_cast<Wide>(rate_) * (t_ns - anchor_ns_) / kNsPerSecond;
  return static_cast<int64_t>(std::min<Wide>(consumed_at_anchor_ + taken, received_));
}

bool DownloadBuffer::Push(int64_t t_ns) {
  int64_t consumed = Consumed(t_ns);
  if (consumed == received_) {  // ran empty: consumption restarts with this byte
    anchor_ns_ = t_ns;
    consumed_at_anchor_ = consumed;
  }
  if (received_ - consumed >= capacity_) return false;
  ++received_;
  return true;
}

int64_t DownloadBuffer::TimeLevelAtMost(int64_t level) const {
  int64_t needed = received_ - std::max<int64_t>(level, 0) - consumed_at_anchor_;
  if (needed <= 0) return anchor_ns_;
  Wide ns = (static_cast<Wide>(needed) * kNsPerSecond + rate_ - 1) / rate_;
  return anchor_ns_ + static_cast<int64_t>(ns);
}

}  // namespace velloquin::sim
