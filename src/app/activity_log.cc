#include "app/activity_log.h"

namespace velloquin {}  // namespace velloquin
