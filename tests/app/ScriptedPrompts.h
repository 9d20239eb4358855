// TScriptedPrompts: the receiver's prompt service for tests. Questions take their answers
// from a queue in order; every box is logged with its type, text and buttons. A question
// with no answer left fails the test (and answers Cancel, or No, or OK) rather than
// blocking. Installed for the lifetime of the object.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "app/Prompts.h"

namespace tilo_test {

class TScriptedPrompts : public tilo::TPrompts {
public:
    struct Entry {
        std::string Kind;  // "MessageDlg", "ShowMessage", "InputQuery"
        tilo::TMsgDlgType Type = tilo::mtCustom;
        std::string Text;  // InputQuery: Caption + "|" + Prompt
        tilo::TMsgDlgButtons Buttons = 0;
    };
    struct Input {
        bool Ok;
        std::string Value;
    };

    TScriptedPrompts() { FBefore = tilo::SetPrompts(this); }
    ~TScriptedPrompts() override {
        tilo::SetPrompts(FBefore);
        EXPECT_TRUE(Answers.empty()) << Answers.size() << " answers left unasked";
        EXPECT_TRUE(Inputs.empty()) << Inputs.size() << " inputs left unasked";
    }
    TScriptedPrompts(const TScriptedPrompts&) = delete;
    TScriptedPrompts& operator=(const TScriptedPrompts&) = delete;

    std::deque<tilo::TModalResult> Answers;
    std::deque<Input> Inputs;
    std::vector<Entry> Log;

    tilo::TModalResult MessageDlg(const std::string& Text, tilo::TMsgDlgType Type,
                                  tilo::TMsgDlgButtons Buttons) override {
        Log.push_back({"MessageDlg", Type, Text, Buttons});
        if (Answers.empty()) {
            ADD_FAILURE() << "unanswered question: " << Text;
            return tilo::THeadlessPrompts().MessageDlg(Text, Type, Buttons);
        }
        const tilo::TModalResult r = Answers.front();
        Answers.pop_front();
        return r;
    }
    void ShowMessage(const std::string& Text) override { Log.push_back({"ShowMessage", tilo::mtCustom, Text, 0}); }
    bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) override {
        Log.push_back({"InputQuery", tilo::mtCustom, Caption + "|" + Prompt, 0});
        if (Inputs.empty()) {
            ADD_FAILURE() << "unanswered input: " << Prompt;
            return false;
        }
        const Input in = Inputs.front();
        Inputs.pop_front();
        if (in.Ok) Value = in.Value;
        return in.Ok;
    }

private:
    tilo::TPrompts* FBefore;
};

}  // namespace tilo_test
