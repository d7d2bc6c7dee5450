#include "platform/Platform.h"

#include <atomic>

namespace resurgo {

namespace {
std::atomic<Platform*> g_active{nullptr};
}

Platform::~Platform() = default;

Platform& platform() {
    Platform* p = g_active.load(std::memory_order_acquire);
    return p ? *p : systemPlatform();
}

ScopedPlatform::ScopedPlatform(Platform& replacement) : previous_(g_active.exchange(&replacement)) {}

ScopedPlatform::~ScopedPlatform() { g_active.store(previous_); }

} // namespace resurgo
