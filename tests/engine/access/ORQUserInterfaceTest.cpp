// The engine's user-interface interface without any toolkit: the headless default that
// serves until a program installs its own, installing and restoring, and the scripted
// double that engine tests drive dialogs with.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/access/ORQScriptedUserInterface.h"
#include "engine/access/ORQUserInterface.h"

using namespace orq;

TEST(HeadlessUserInterface, AnswersNoShowsNothingAndNeverAborts) {
    TORQUserInterface& ui = UserInterface();
    ASSERT_NE(dynamic_cast<TORQHeadlessUserInterface*>(&ui), nullptr);
    std::string password = "old";
    EXPECT_FALSE(ui.PasswordDialog("NAVTEX", password));
    EXPECT_EQ(password, "old");
    EXPECT_FALSE(ui.Confirm("Database file was not correctly closed last time. Do you want to repair it?"));
    ui.ShowInformation("i");
    ui.ShowWarning("w");
    ui.ShowError("e");
    ui.ProcessMessages();
    auto wait = ui.CreateWaitWindow();
    wait->StartWait("Compacting Database...");
    wait->MakeVisible();
    for (int p = 0; p <= 100; p += 10) {
        wait->SetPosition(p);
        EXPECT_FALSE(wait->Aborted());
    }
    wait->StopWait();
}

TEST(HeadlessUserInterface, ReportsExceptionsOnStandardError) {
    testing::internal::CaptureStderr();
    UserInterface().HandleException(std::make_exception_ptr(std::runtime_error("Dataset is not opened")));
    UserInterface().HandleException(std::make_exception_ptr(42));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Exception: Dataset is not opened\nException: Unknown exception\n");
}

TEST(UserInterfaceInstance, InstallingReturnsThePreviousAndNullRestoresTheDefault) {
    TORQHeadlessUserInterface* headless = dynamic_cast<TORQHeadlessUserInterface*>(&UserInterface());
    ASSERT_NE(headless, nullptr);
    {
        TORQScriptedUserInterface scripted;
        EXPECT_EQ(&UserInterface(), &scripted);
        {
            TORQScriptedUserInterface inner;
            EXPECT_EQ(&UserInterface(), &inner);
        }
        EXPECT_EQ(&UserInterface(), &scripted);
        TORQUserInterface* before = SetUserInterface(nullptr);
        EXPECT_EQ(before, &scripted);
        EXPECT_EQ(&UserInterface(), headless);
        SetUserInterface(&scripted);
    }
    EXPECT_EQ(&UserInterface(), headless);
}

TEST(ScriptedUserInterface, AnswersFromItsScriptsThenNo) {
    TORQScriptedUserInterface ui;
    ui.PasswordAnswers = {std::nullopt, std::string("secret")};
    ui.ConfirmAnswers = {true};
    std::string password = "old";
    EXPECT_FALSE(UserInterface().PasswordDialog("", password));
    EXPECT_EQ(password, "old");
    EXPECT_TRUE(UserInterface().PasswordDialog("LEX", password));
    EXPECT_EQ(password, "secret");
    EXPECT_FALSE(UserInterface().PasswordDialog("", password));
    EXPECT_EQ(password, "secret");
    EXPECT_TRUE(UserInterface().Confirm("Q1"));
    EXPECT_FALSE(UserInterface().Confirm("Q2"));
    UserInterface().ShowWarning("table problem");
    UserInterface().HandleException(std::make_exception_ptr(std::runtime_error("boom")));
    const std::vector<std::string> expected = {"Password()", "Password(LEX)", "Password()", "Confirm(Q1)",
                                               "Confirm(Q2)", "Warning(table problem)", "Exception(boom)"};
    EXPECT_EQ(ui.Log, expected);
}

TEST(ScriptedUserInterface, WaitWindowAbortsFromTheChosenStepAndLogsTheRun) {
    TORQScriptedUserInterface ui;
    ui.AbortAtStep = 3;
    auto wait = UserInterface().CreateWaitWindow();
    wait->StartWait("Copy Table...");
    int stoppedAt = -1;
    for (int step = 1; step <= 5 && stoppedAt < 0; ++step) {
        wait->SetPosition(step * 20);
        UserInterface().ProcessMessages();
        if (wait->Aborted()) stoppedAt = step;
    }
    wait->StopWait();
    EXPECT_EQ(stoppedAt, 3);
    const std::vector<std::string> expected = {
        "Wait.Create", "Wait.Start(Copy Table...)",
        "Wait.Position(20)", "ProcessMessages", "Wait.Aborted=0",
        "Wait.Position(40)", "ProcessMessages", "Wait.Aborted=0",
        "Wait.Position(60)", "ProcessMessages", "Wait.Aborted=1", "Wait.Stop"};
    EXPECT_EQ(ui.Log, expected);
}
