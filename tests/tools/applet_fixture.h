// A person at an NT 4 machine's Control Panel with CvPci: the machine (the built-in one, or one from a
// description and registry), its desktop, and the actions and readings the applet's tests share. Each
// action fails the test with the reason when a person could not have done it.
#pragma once

#include "sim/machine.h"
#include "sim/machinefile.h"

#include "platform/win32/user.h"
#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cvtest {

inline const std::string kMachine = "\\Registry\\Machine\\";
inline const std::string kCvNt = kMachine + "SYSTEM\\CurrentControlSet\\Services\\CvNt\\";
inline const std::string kSerialComm = kMachine + "HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline const std::string kPorts = kMachine + "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

class Applet {
public:
    // The built-in machine, its registry with `extraRegistry` (.reg text) added.
    explicit Applet(const std::string& extraRegistry = "", const std::string& extraMachine = "")
        : machine(MakeMachine(extraRegistry, extraMachine)), user(machine->desktop()) {}

    static std::unique_ptr<sim::Machine> MakeMachine(const std::string& extraRegistry,
                                                     const std::string& extraMachine) {
        sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
        if (!extraMachine.empty()) {
            auto parsed = sim::ParseMachineText(sim::DescribeMachine(spec) + extraMachine, "test.machine");
            EXPECT_TRUE(parsed.ok) << parsed.error;
            parsed.spec.registryText = spec.registryText;
            spec = parsed.spec;
        }
        if (!extraRegistry.empty())
            spec.registryText += "\n" + extraRegistry;
        return std::make_unique<sim::Machine>(spec);
    }

    nt::Kernel& kernel() { return machine->kernel(); }
    nt::Registry& registry() { return kernel().registry(); }
    win32::Desktop& desktop() { return machine->desktop(); }

    uint32_t startDriver() {
        nt::KernelScope scope(kernel());
        return machine->startCvNt();
    }
    bool driverRunning() { return kernel().services().running("CvNt"); }

    // The Control Panel opens the applet; its port list is the active window.
    void open() {
        ASSERT_TRUE(desktop().start("Control Panel", [] { win32::RunControlPanel("CvPci.cpl", 0); }));
        ASSERT_EQ(user.activeCaption(), "Corvane for Windows NT") << user.describe();
    }

    // What a person does; the test fails with the reason when it cannot be done.
    void click(const std::string& control) { check(user.click(control, error_)); }
    void command(const std::string& control) { check(user.command(control, error_)); }
    void choose(const std::string& control, const std::string& item) {
        check(user.choose(control, item, error_));
    }
    void type(const std::string& control, const std::string& text) {
        check(user.type(control, text, error_));
    }
    void slide(const std::string& control, int position) { check(user.slide(control, position, error_)); }
    void selectRow(int row) { check(user.selectRow("1000", row, false, error_)); }
    void openRow(int row) { check(user.selectRow("1000", row, true, error_)); }
    void tab(const std::string& title) { check(user.selectTab(title, error_)); }
    void answer(int button, std::function<void()> meanwhile = {}) {
        desktop().answerNextBox(button, std::move(meanwhile));
    }
    // Lets machine time pass with the applet waiting (its restart timer runs out in 505 ms).
    void wait(uint64_t milliseconds = 1000) { desktop().passTime(milliseconds * 10'000); }

    std::string caption() const { return user.activeCaption(); }
    // The title of a sheet's or wizard's current page ("" for any other window).
    std::string page() {
        win32::Window* top = desktop().activeWindow();
        if (!top || !top->sheet || top->sheet->current < 0)
            return "";
        win32::Window* current =
            desktop().window(top->sheet->pageWindows[static_cast<size_t>(top->sheet->current)]);
        return current ? current->text : "";
    }
    win32::Window& control(const std::string& id) {
        std::string error;
        win32::Window* w = user.find(id, error);
        EXPECT_NE(w, nullptr) << error << "\n" << user.describe();
        static win32::Window none;
        return w ? *w : none;
    }
    // A combo box's or list box's selected text ("" when none).
    std::string selected(const std::string& id) {
        const win32::Window& w = control(id);
        if (!w.list || w.list->selection < 0)
            return "";
        return w.list->items[static_cast<size_t>(w.list->selection)].text;
    }
    std::vector<std::string> items(const std::string& id) {
        std::vector<std::string> out;
        for (const auto& item : control(id).list->items)
            out.push_back(item.text);
        return out;
    }
    // The port list's rows: the texts of the six columns joined by "|".
    std::vector<std::string> rows() {
        std::vector<std::string> out;
        for (const auto& row : control("1000").listView->rows) {
            std::string line;
            for (const auto& text : row.texts)
                line += (line.empty() ? "" : "|") + text;
            out.push_back(line);
        }
        return out;
    }
    const win32::ListViewState::Row& row(size_t index) { return control("1000").listView->rows.at(index); }
    bool enabled(const std::string& id) { return control(id).enabled; }
    bool checked(const std::string& id) {
        return control(id).button && control(id).button->check == BST_CHECKED;
    }

    // The registry as the machine holds it.
    std::optional<uint32_t> dword(const std::string& key, const std::string& name) {
        return registry().dword(key, name);
    }
    std::optional<std::string> string(const std::string& key, const std::string& name) {
        return registry().string(key, name);
    }
    // SERIALCOMM's data, in value order.
    std::vector<std::string> serialComm() {
        std::vector<std::string> out;
        if (auto key = registry().open(kSerialComm))
            for (const auto& v : key->values)
                out.push_back(*registry().string(kSerialComm, nt::toUtf8(v.name)));
        return out;
    }
    bool published(const std::string& com) {
        auto names = serialComm();
        return std::find(names.begin(), names.end(), com) != names.end();
    }
    const std::vector<win32::MessageBoxRecord>& boxes() { return desktop().boxes(); }
    std::vector<std::string> unexpectedBoxes() { return desktop().unexpectedBoxes(); }

    std::unique_ptr<sim::Machine> machine;
    win32::User user;

private:
    void check(bool done) {
        EXPECT_TRUE(done) << error_ << "\n" << user.describe();
        error_.clear();
    }
    std::string error_;
};

} // namespace cvtest
