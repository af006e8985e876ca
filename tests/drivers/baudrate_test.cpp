// The baud-rate engine against the UART models: over clocks, bridge divisors and clock adjustments,
// every accepted rate is what the hardware then produces within 1 % (up to the check's integer
// truncation), and every refused rate leaves the registers and the stored rate as they were.
#include "driver_fixture.h"

#include "CvUart.h"
#include "hw/uart.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

namespace {

constexpr uint16_t kBase = 0x300;

struct Settings {
    uint32_t clock;
    ULONG plx;
    LONG adjustment;

    uint64_t RealClock() const {
        uint64_t real = adjustment > 0   ? uint64_t(clock) * adjustment
                        : adjustment < 0 ? clock / uint64_t(-int64_t(adjustment))
                                         : clock;
        return plx ? real / plx : real;
    }
    std::string Name() const {
        std::ostringstream s;
        s << clock << " Hz, bridge /" << plx << ", adjustment " << adjustment;
        return s.str();
    }
};

bool WithinOnePercent(uint64_t approx, uint64_t rate) {
    if (approx == rate)
        return true;
    if (approx > rate)
        return approx * 100 <= rate * 101;
    return approx * 100 >= rate * 99;
}

struct Snapshot {
    uint16_t divisor;
    uint8_t lcr, mcr, tcr, cpr;
    ULONG stored;
    bool operator==(const Snapshot&) const = default;
};

class BaudRateTest : public DriverTest {
protected:
    void Build(bool use950, const Settings& s) {
        if (uart)
            CvFreeUart(uart);
        kernel.ports().detach(kBase);
        model = std::make_unique<hw::Uart>(use950 ? hw::UartKind::Uart16C950 : hw::UartKind::Uart16550,
                                           static_cast<uint32_t>(s.RealClock()));
        kernel.ports().attach(kBase, 8, *model);
        uart = CvAllocateUart(use950 ? CV_UART_16950 : CV_UART_16550);
        uart->m_unBaseAddress = kBase;
        uart->m_ulClockFrequency = s.clock;
        uart->m_ulClockFrequencyAdjustment = static_cast<ULONG>(s.adjustment);
        uart->m_unPlxBaudClockDivisor = s.plx;
        uart->m_lSoftTxLimit = 100;
        CvCompleteUartSetUp(uart);
    }

    void TearDown() override {
        if (uart)
            CvFreeUart(uart);
        uart = nullptr;
        DriverTest::TearDown();
    }

    Snapshot Take() const {
        return {model->divisor(),
                model->lcr(),
                model->mcr(),
                model->icr(hw::reg::ICR_TCR),
                model->icr(hw::reg::ICR_CPR),
                uart->m_ulBaudRate};
    }

    // The integer rate the check derives from what the hardware holds, for a divisor d.
    uint64_t Approx(uint64_t real, uint64_t d) const {
        return real * 8 / (uint64_t(model->samplesPerBit()) * d * model->prescalerEighths());
    }

    // Sets `rate` and checks the outcome; returns whether it was accepted.
    bool Check(uint32_t rate, const Settings& s) {
        Snapshot before = Take();
        NTSTATUS status = uart->SetBaudrate(rate);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_TRUE(Take() == before) << rate << " refused at " << s.Name() << " changed the registers";
            return false;
        }
        EXPECT_EQ(uart->m_ulBaudRate, rate);
        if (rate == 32768 || rate == 56000)
            return true; // accepted with whatever divisor the computation gave
        uint64_t real = s.RealClock();
        uint16_t written = model->divisor();
        double produced = model->baudRate();
        if (WithinOnePercent(Approx(real, written), rate) &&
            uint64_t(std::floor(produced + 1e-6)) == Approx(real, written))
            return true;
        // A divisor with a zero low byte is written one higher: the check saw the one below.
        bool bumped =
            (written & 0xFF) == 1 && written > 1 && WithinOnePercent(Approx(real, written - 1), rate);
        EXPECT_TRUE(bumped) << rate << " accepted at " << s.Name() << " but the hardware produces "
                            << produced;
        EXPECT_LT(std::fabs(produced - rate) / rate, 0.015) << rate << " at " << s.Name();
        return true;
    }

    std::unique_ptr<hw::Uart> model;
    CCvUart* uart = nullptr;
};

// Every rate up to 600 and then steps of 0.4 %; with CV_EXHAUSTIVE set (the separate slow target),
// every rate from 50 up to the highest.
std::vector<uint32_t> Rates(uint64_t highest) {
    std::vector<uint32_t> rates;
    if (std::getenv("CV_EXHAUSTIVE")) {
        for (uint64_t r = 50; r <= highest + 1; ++r)
            rates.push_back(static_cast<uint32_t>(r));
        return rates;
    }
    for (uint32_t r = 50; r <= 600; ++r)
        rates.push_back(r);
    for (double r = 601; r <= double(highest) * 1.02; r *= 1.004)
        rates.push_back(static_cast<uint32_t>(r));
    for (uint32_t r : {32768u, 56000u, 57600u, 115200u, 230400u, 460800u, 921600u})
        rates.push_back(r);
    rates.push_back(static_cast<uint32_t>(highest));
    rates.push_back(static_cast<uint32_t>(highest + 1));
    return rates;
}

const std::vector<Settings>& AllSettings() {
    static const std::vector<Settings> settings = [] {
        std::vector<Settings> out;
        for (uint32_t clock : {1843200u, 7372800u, 14745600u, 16000000u})
            for (ULONG plx : {0u, 1u, 2u, 4u, 8u})
                for (LONG adjustment : {1, 2, -1, -3})
                    out.push_back({clock, plx, adjustment});
        return out;
    }();
    return settings;
}

} // namespace

TEST_F(BaudRateTest, StandardEngineProducesWhatItAcceptsAndChangesNothingOtherwise) {
    for (const Settings& s : AllSettings()) {
        Build(false, s);
        uint64_t highest = s.RealClock() / 16;
        size_t accepted = 0;
        for (uint32_t rate : Rates(highest))
            accepted += Check(rate, s);
        EXPECT_GT(accepted, 0u) << s.Name();
        EXPECT_EQ(uart->SetBaudrate(static_cast<ULONG>(highest + highest / 50 + 1)), STATUS_UNSUCCESSFUL);
        if (HasFailure())
            return;
    }
}

TEST_F(BaudRateTest, The16950EngineProducesWhatItAcceptsAndChangesNothingOtherwise) {
    for (const Settings& s : AllSettings()) {
        Build(true, s);
        uint64_t highest = s.RealClock() / 4;
        size_t accepted = 0;
        for (uint32_t rate : Rates(highest))
            accepted += Check(rate, s);
        EXPECT_GT(accepted, 0u) << s.Name();
        EXPECT_EQ(uart->SetBaudrate(static_cast<ULONG>(highest + 1)), STATUS_UNSUCCESSFUL)
            << "above a quarter of the clock";
        if (HasFailure())
            return;
    }
}

TEST_F(BaudRateTest, SupportedRatesAgreeWithTheStandardComputation) {
    const std::pair<uint32_t, ULONG> probes[] = {
        {75, 0x1},       {110, 0x2},       {135, 0x4},        {150, 0x8},      {300, 0x10},
        {600, 0x20},     {1200, 0x40},     {1800, 0x80},      {2400, 0x100},   {4800, 0x200},
        {7200, 0x400},   {9600, 0x800},    {14400, 0x1000},   {19200, 0x2000}, {38400, 0x4000},
        {56000, 0x8000}, {57600, 0x40000}, {115200, 0x20000},
    };
    for (const Settings& s : AllSettings()) {
        Build(false, s);
        ULONG mask = uart->GetSupportedBauds();
        EXPECT_EQ(mask & 0x10000000u, 0x10000000u);
        EXPECT_EQ(mask & 0x10000u, 0u) << "128000 is never reported";
        for (const auto& [rate, bit] : probes)
            EXPECT_EQ((mask & bit) != 0, uart->SetBaudrate(rate) == STATUS_SUCCESS)
                << rate << " at " << s.Name();
        // The 16950 reports the same standard computation, whatever its own engine can do.
        Build(true, s);
        EXPECT_EQ(uart->GetSupportedBauds(), mask) << s.Name();
    }
}

TEST_F(BaudRateTest, DocumentedDivisorsAt18432MHz) {
    Build(false, {1843200, 0, 1});
    USHORT divisor = 0;
    EXPECT_EQ(uart->GetDivisorFromBaud(9600, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 12);
    EXPECT_EQ(uart->GetDivisorFromBaud(56000, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 2) << "57600, 2.9 % off, accepted as an exception";
    EXPECT_EQ(uart->GetDivisorFromBaud(32768, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 3);
    EXPECT_EQ(uart->GetDivisorFromBaud(7200, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 16);
    EXPECT_EQ(uart->GetDivisorFromBaud(135, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 853);
    EXPECT_EQ(uart->GetDivisorFromBaud(110, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 1047);
    EXPECT_EQ(uart->GetDivisorFromBaud(128000, divisor), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(uart->GetDivisorFromBaud(0, divisor), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(uart->GetBaudFromDivisor(12), 9600u);
    EXPECT_EQ(uart->GetSupportedBauds(), 0x1006FFFFu);
    // A rate whose products would wrap is refused rather than divided by a wrapped zero.
    EXPECT_EQ(uart->SetBaudrate(0x10000000), STATUS_UNSUCCESSFUL);
}

TEST_F(BaudRateTest, Documented16950SettingsAt147456MHz) {
    Build(true, {14745600, 0, 1});
    auto* u950 = static_cast<CCvUart950*>(uart);
    struct Case {
        ULONG rate;
        USHORT divisor;
        UCHAR timesClock, prescaler;
    } cases[] = {{921600, 1, 16, 8}, {3686400, 1, 4, 8}, {115200, 1, 16, 64}, {300, 128, 16, 192}};
    for (const auto& c : cases) {
        USHORT divisor = 0;
        UCHAR timesClock = 0, prescaler = 0;
        ASSERT_EQ(u950->GetDivisorFromBaud(c.rate, divisor, timesClock, prescaler), STATUS_SUCCESS) << c.rate;
        EXPECT_EQ(divisor, c.divisor) << c.rate;
        EXPECT_EQ(timesClock, c.timesClock) << c.rate;
        EXPECT_EQ(prescaler, c.prescaler) << c.rate;
        ASSERT_EQ(uart->SetBaudrate(c.rate), STATUS_SUCCESS);
        EXPECT_DOUBLE_EQ(model->baudRate(), c.rate);
    }
    UCHAR prescaler = 0;
    EXPECT_EQ(u950->PrimeDivisors(24576, prescaler), 128u);
    EXPECT_EQ(prescaler, 192);
    EXPECT_EQ(uart->GetBaudFromDivisor(1), 0u);
    EXPECT_EQ(uart->SetBaudrate(14745600 / 4 + 1), STATUS_UNSUCCESSFUL);
}

TEST_F(BaudRateTest, AZeroClockAdjustmentLeavesTheClockAsItIs) {
    Build(false, {1843200, 0, 0});
    USHORT divisor = 0;
    EXPECT_EQ(uart->GetDivisorFromBaud(9600, divisor), STATUS_SUCCESS);
    EXPECT_EQ(divisor, 12);
}
