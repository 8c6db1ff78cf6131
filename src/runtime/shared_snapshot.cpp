#include "runtime/shared_snapshot.h"

namespace vostrel {
namespace snapshot_detail {

uint64_t nextVersion() noexcept {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace snapshot_detail
}  // namespace vostrel
