#include "common/byte_io.hpp"

#include <algorithm>

namespace Core {

// Out of line: the zero-filling of the new room is not worth inlining into
// every field write.
void ByteWriter::grow(std::size_t count) {
    constexpr std::size_t kFirstRoom = 256;
    buffer_.resize(std::max({kFirstRoom, 2 * buffer_.size(), size_ + count}));
}

}  // namespace Core
