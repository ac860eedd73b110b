// Writing whole buffers to a descriptor: write(2) may stop short or be
// interrupted, and every caller wants all or nothing reported.
#pragma once

#include <string_view>

namespace platform {

// False on the first failing write (errno tells why); bytes written before
// it stay written.
bool WriteFully(int fd, std::string_view bytes);

}  // namespace platform
