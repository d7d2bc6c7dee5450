#pragma once
// Bytes that must not outlive their use: keys, passwords. The buffer has a
// fixed size (never reallocated, so no copy is left behind) and is
// overwritten with zeros through a volatile pointer when it goes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace resurgo {

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : bytes_(size, 0) {}
    SecretBytes(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    SecretBytes(const SecretBytes& other) = default;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(const SecretBytes& other) {
        if (this != &other) {
            wipe();
            bytes_ = other.bytes_;
        }
        return *this;
    }
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecretBytes() { wipe(); }

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

    void wipe() {
        volatile std::uint8_t* p = bytes_.data();
        for (std::size_t i = 0; i < bytes_.size(); ++i) p[i] = 0;
        bytes_.clear();
    }

private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace resurgo
