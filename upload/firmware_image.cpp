#include "upload/firmware_image.h"

#include <cstddef>

namespace korv {

std::uint8_t FirmwareImage::readByte()
{
    if (exhausted()) return 0;  // the position stays at the end
    return bytes_[static_cast<std::size_t>(position_++)];
}

}  // namespace korv
