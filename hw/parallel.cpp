#include "hw/parallel.h"

namespace hw {

uint8_t ParallelPort::read(uint16_t offset) {
    switch (offset) {
    case lpt::kData:
        return data_;
    case lpt::kStatus:
        return lpt::kStatusReady;
    case lpt::kControl:
        return static_cast<uint8_t>(control_ | 0xE0); // the unused bits read as ones
    default:
        return 0xFF;
    }
}

void ParallelPort::write(uint16_t offset, uint8_t value) {
    if (offset == lpt::kData) {
        data_ = value;
    } else if (offset == lpt::kControl) {
        // The printer takes the byte on the strobe's trailing edge.
        if ((control_ & lpt::kControlStrobe) && !(value & lpt::kControlStrobe))
            received_.push_back(data_);
        control_ = value;
    }
}

} // namespace hw
