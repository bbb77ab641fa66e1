// libFuzzer target: every SIMD kernel the CPU supports must encode arbitrary
// input exactly as the portable kernel does, at any output alignment.
#include "hexencode.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t offset = data[0] % 64;
    ++data;
    --size;
    std::vector<char> want(3 * size);
    std::vector<char> got(3 * size + offset);
    hexencode::encode_portable(data, size, want.data());
    for (const hexencode::implementation& impl : hexencode::implementations) {
        if (!impl.supported()) {
            continue;
        }
        impl.encode(data, size, got.data() + offset);
        if (size != 0 && std::memcmp(got.data() + offset, want.data(), want.size()) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
