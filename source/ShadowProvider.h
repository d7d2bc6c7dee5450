#pragma once
// Where a volume's shadow copies come from: the stores its catalog lists,
// read through libvshadow (ShadowVolume), or the devices a Windows system
// exposes for its own copies (ShadowDevices). Either way each copy is a
// Source that reads the whole volume as it was when the copy was taken.

#include <memory>
#include <string>
#include <vector>

#include "source/SHADOW_STORE.h"

namespace resurgo {

class Source;

class ShadowProvider {
public:
    virtual ~ShadowProvider() = default;

    // Oldest first, numbered from 1.
    virtual const std::vector<SHADOW_STORE>& stores() const = 0;
    // Copy number n as a source; it must not outlive the provider. Raises
    // SourceError when there is no such copy or it can't be opened.
    virtual std::unique_ptr<Source> open(unsigned number) = 0;
    // What the provider could not tell about the copies it lists (their
    // dates, say), one sentence each.
    virtual std::vector<std::string> notes() const { return {}; }
};

} // namespace resurgo
