// A standard parallel port's three registers as a printer sees them: the data latch, the status lines of
// a ready printer, and the control lines; a byte is taken when the strobe line is pulsed (set, then
// cleared in the control register). What was taken is kept for an observer.
#pragma once

#include "hw/bus.h"

#include <cstdint>
#include <vector>

namespace hw {

namespace lpt {
inline constexpr uint16_t kData = 0;
inline constexpr uint16_t kStatus = 1;
inline constexpr uint16_t kControl = 2;
inline constexpr uint8_t kControlStrobe =
    0x01; // the strobe line asserted (the register bit is inverted on the wire)
inline constexpr uint8_t kControlInit = 0x04;     // not init: the printer runs
inline constexpr uint8_t kControlSelectIn = 0x08; // the printer is selected
// A printer that is on line, selected, has paper, no error, and is not busy (the busy bit is inverted).
inline constexpr uint8_t kStatusReady = 0xDF;
} // namespace lpt

class ParallelPort final : public PortDevice {
public:
    uint8_t read(uint16_t offset) override;
    void write(uint16_t offset, uint8_t value) override;

    const std::vector<uint8_t>& received() const { return received_; }
    void clearReceived() { received_.clear(); }
    uint8_t dataLatch() const { return data_; }
    uint8_t control() const { return control_; }

private:
    uint8_t data_ = 0;
    uint8_t control_ = lpt::kControlInit;
    std::vector<uint8_t> received_;
};

} // namespace hw
