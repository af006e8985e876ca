// CvClean run as the uninstaller runs it, its questions answered as a person would: which services it
// stops, removes and restarts for each set of driver files on the disk, what an open Control Panel, an
// open port, a failing restart and an uninstaller that cannot start do, and its command line.
#include "sim/machine.h"

#include "platform/nt/userio.h"
#include "platform/win32/user.h"
#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const std::string kServices = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string kUninstall =
    "\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane";
const std::string kUninstaller = "C:\\WINNT\\IsUninst.exe -f\"C:\\Program Files\\Corvane\\DeIsL1.isu\"";

class CvCleanTest : public ::testing::Test {
protected:
    // The built-in NT 4 machine with the suite installed: its driver as the service "CvPci" (running),
    // the standard serial service loading CvSerial.sys, and the product's uninstall entry.
    void Boot(std::vector<std::string> driverFiles, const std::string& extraRegistry = "") {
        sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
        spec.driverFiles = std::move(driverFiles);
        std::string reg = spec.registryText;
        for (size_t at = 0; (at = reg.find("Services\\CvNt", at)) != std::string::npos; at += 13)
            reg.replace(at, 13, "Services\\CvPci");
        spec.registryText = reg + R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Serial]
"Type"=dword:00000001
"Start"=dword:00000001
"ImagePath"="System32\\DRIVERS\\CvSerial.sys"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane]
"SecondaryUninstall"="C:\\WINNT\\IsUninst.exe -f\"C:\\Program Files\\Corvane\\DeIsL1.isu\""
)" + extraRegistry;
        machine = std::make_unique<sim::Machine>(spec);
        user = std::make_unique<win32::User>(machine->desktop());
        nt::KernelScope in(machine->kernel());
        ASSERT_EQ(machine->kernel().services().start("CvPci"), 0u);
    }
    nt::Registry& registry() { return machine->kernel().registry(); }
    win32::Desktop& desktop() { return machine->desktop(); }

    void Run(const std::string& commandLine = "CvClean.exe Corvane") {
        ASSERT_TRUE(desktop().start(commandLine, [commandLine] { win32::RunProgram(commandLine); }));
    }
    // Runs the cleanup: the program starts and Start is pressed.
    void Clean() {
        Run();
        ASSERT_EQ(user->activeCaption(), "Corvane Cleanup");
        std::string error;
        desktop().watch(1002);
        desktop().watch(1000);
        ASSERT_TRUE(user->click("Start", error)) << error;
        EXPECT_FALSE(desktop().programRunning()) << "the dialog closes once the sequence ends";
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& b : machine->desktop().boxes())
            out.push_back(b.text.substr(0, b.text.find('\n')));
        return out;
    }
    bool Installed(const std::string& service) { return registry().exists(kServices + service); }
    bool Running(const std::string& service) { return machine->kernel().services().running(service); }
    std::optional<std::string> ImagePath() { return registry().string(kServices + "Serial", "ImagePath"); }
    std::vector<std::string> Started() {
        std::vector<std::string> out;
        for (const auto& p : desktop().startedProcesses())
            out.push_back(p.commandLine);
        return out;
    }

    std::unique_ptr<sim::Machine> machine;
    std::unique_ptr<win32::User> user;
};

TEST_F(CvCleanTest, BothDriversInstalledTheWholeSequenceRuns) {
    Boot({"CvPci.sys", "CvSerial.sys"});
    Clean();
    EXPECT_EQ(desktop().takeChanges(),
              (std::vector<std::string>{"1000 range 0..5", "1002 \"Checking for running programs...\"",
                                        "1000 position 1", "1002 \"Attempting to stop running drivers...\"",
                                        "1000 position 2", "1002 \"Removing NT driver database entries...\"",
                                        "1000 position 3", "1002 \"Launching unInstallSHIELD...\"",
                                        "1000 position 4"}));
    EXPECT_TRUE(desktop().boxes().empty());
    EXPECT_FALSE(Running("CvPci"));
    EXPECT_FALSE(Installed("CvPci")) << "stopped, deleted, and no handle open";
    EXPECT_FALSE(ImagePath().has_value());
    EXPECT_TRUE(Running("Serial")) << "restarted with its own image";
    ASSERT_EQ(Started(), std::vector<std::string>{kUninstaller});
    EXPECT_TRUE(desktop().startedProcesses()[0].inheritHandles);
    EXPECT_EQ(desktop().startedProcesses()[0].creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(desktop().openHandles(), 0u) << "the process handles were closed";
}

TEST_F(CvCleanTest, WithoutDriverFilesNoServiceIsTouchedAndTheUninstallerStillStarts) {
    Boot({});
    Clean();
    EXPECT_TRUE(desktop().boxes().empty());
    EXPECT_TRUE(Running("CvPci"));
    EXPECT_TRUE(Installed("CvPci"));
    EXPECT_EQ(ImagePath(), "System32\\DRIVERS\\CvSerial.sys");
    EXPECT_EQ(Started(), std::vector<std::string>{kUninstaller});
}

TEST_F(CvCleanTest, OnlyCvSerialGivesTheSerialServiceItsImageBackAndLeavesCvPci) {
    Boot({"CvSerial.sys"});
    Clean();
    EXPECT_TRUE(desktop().boxes().empty()) << "a serial service that does not run counts as stopped";
    EXPECT_FALSE(ImagePath().has_value());
    EXPECT_TRUE(Running("Serial"));
    EXPECT_TRUE(Running("CvPci"));
    EXPECT_TRUE(Installed("CvPci"));
}

TEST_F(CvCleanTest, AnOpenControlPanelIsAskedForAndCancelChangesNothing) {
    Boot({"CvPci.sys", "CvSerial.sys"});
    desktop().openShellWindow("CabinetWClass", "Control Panel");
    // OK without closing it asks again; Cancel then ends the sequence.
    desktop().answerNextBox(IDOK);
    desktop().answerNextBox(IDCANCEL);
    Clean();
    EXPECT_EQ(Texts(),
              (std::vector<std::string>(2, "Cleanup has detected that the Control Panel windows is open.")));
    EXPECT_EQ(desktop().boxes()[0].icon, "information");
    EXPECT_TRUE(Running("CvPci") && Installed("CvPci"));
    EXPECT_EQ(ImagePath(), "System32\\DRIVERS\\CvSerial.sys");
    EXPECT_TRUE(Started().empty());
    // Closed while the question is up, OK goes on.
    desktop().answerNextBox(IDOK, [this] { desktop().closeShellWindow("CabinetWClass", "Control Panel"); });
    Clean();
    EXPECT_FALSE(Installed("CvPci"));
    EXPECT_EQ(Started().size(), 1u);
}

TEST_F(CvCleanTest, APortHeldOpenStopsNothingAndTheAnswerDecides) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "Yes" : "No");
        Boot({"CvPci.sys"});
        std::unique_ptr<nt::UserFile> port;
        {
            nt::KernelScope in(machine->kernel());
            ASSERT_EQ(nt::UserFile::open(machine->kernel(), "COM3", port), STATUS_SUCCESS);
        }
        desktop().answerNextBox(answer);
        Clean();
        ASSERT_EQ(Texts().size(), 1u);
        EXPECT_EQ(Texts()[0],
                  "One or more device drivers could not be stopped, there may be a Corvane port open.");
        EXPECT_TRUE(Running("CvPci"));
        // Yes deletes the service: NT marks it, and its key goes once it has stopped.
        EXPECT_TRUE(Installed("CvPci"));
        EXPECT_EQ(Started().size(), answer == IDYES ? 1u : 0u);
        {
            nt::KernelScope in(machine->kernel());
            port.reset();
            EXPECT_EQ(machine->kernel().services().stop("CvPci"), 0u);
        }
        user.reset();
        machine.reset();
    }
}

TEST_F(CvCleanTest, AFailingRestartOfTheSerialServiceIsReported) {
    // A serial service key that is not a kernel driver's cannot be started.
    Boot({"CvSerial.sys"}, R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Serial]
"Type"=dword:00000010
)");
    Clean();
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], "One or more device drivers could not be restarted.");
    EXPECT_EQ(desktop().boxes()[0].icon, "stop");
    EXPECT_FALSE(ImagePath().has_value());
    EXPECT_EQ(Started().size(), 1u) << "the sequence goes on to the uninstaller";
}

TEST_F(CvCleanTest, TheSecondaryUninstallerMissingEmptyOrFailingToStart) {
    Boot({});
    registry().setString(kUninstall, "SecondaryUninstall", "");
    Clean();
    EXPECT_TRUE(Started().empty());
    EXPECT_TRUE(desktop().boxes().empty());
    registry().removeValue(kUninstall, "SecondaryUninstall");
    Clean();
    EXPECT_TRUE(Started().empty());
    EXPECT_TRUE(desktop().boxes().empty());
    registry().setString(kUninstall, "SecondaryUninstall", kUninstaller);
    desktop().refuseCommandLine(kUninstaller);
    Clean();
    EXPECT_TRUE(Started().empty());
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], "Could not execute unInstallSHIELD, please verify the command line is correct");
}

TEST_F(CvCleanTest, ACommandLineWithoutExactlyOneProductNameOnlySaysSo) {
    Boot({"CvPci.sys", "CvSerial.sys"});
    for (const char* commandLine :
         {"CvClean.exe", "CvClean.exe Corvane Other", "CvClean.exe /s", "CvClean.exe ..\\..\\Run"}) {
        SCOPED_TRACE(commandLine);
        const size_t before = desktop().boxes().size();
        Run(commandLine);
        EXPECT_FALSE(desktop().programRunning());
        ASSERT_EQ(desktop().boxes().size(), before + 1);
        EXPECT_EQ(desktop().boxes().back().text, "Invalid command line parameter.");
        EXPECT_EQ(desktop().boxes().back().caption, "Corvane Cleanup");
        EXPECT_EQ(desktop().boxes().back().icon, "stop");
    }
    EXPECT_TRUE(Running("CvPci") && Installed("CvPci"));
    // A quoted name with a space is one parameter; Cancel closes the dialog without doing anything.
    Run("\"CvClean.exe\" \"Corvane Suite\"");
    ASSERT_EQ(user->activeCaption(), "Corvane Cleanup");
    std::string error;
    ASSERT_TRUE(user->click("Cancel", error)) << error;
    EXPECT_FALSE(desktop().programRunning());
    EXPECT_TRUE(Running("CvPci") && Installed("CvPci"));
}

} // namespace
