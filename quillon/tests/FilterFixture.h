// A filter chain over a private data folder for the filter tests: lists set from code,
// friendliness answered from a table, messages made from header and body texts.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestHome.h"
#include "ferrymail/store/Message.h"
#include "filter/DomainList.h"
#include "filter/FilterChain.h"
#include "filter/PatternList.h"
#include "filter/WordList.h"
#include "kinbook/foundation/TextHelpers.h"

class CFilterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Friends().clear();
        m_chain = std::make_unique<CFilterChain>();
        m_chain->SetFriendlyLookup(&Lookup);
        m_chain->LoadFilters();
    }

    static std::map<std::string, FRIENDLY>& Friends() {
        static std::map<std::string, FRIENDLY> friends;
        return friends;
    }
    static FRIENDLY Lookup(const char* address) {
        for (const auto& [known, kind] : Friends())
            if (CompareNoCase(known.c_str(), address) == 0)
                return kind;
        return FRIENDLY_NONE;
    }

    // A list of the list's own class with entries in the list-file syntax ("*x*", "x*"
    // ...), each with the given flags.
    void SetList(FILTER_LIST which, const std::vector<std::string>& entries, int subjectFlags = 1,
                 int contentFlags = 1) {
        std::unique_ptr<CPatternList> list;
        const std::string name = m_chain->GetList(which)->GetName();
        if (m_chain->GetWordList(which) != nullptr)
            list = std::make_unique<CWordList>(name);
        else if (m_chain->GetDomainList(which) != nullptr)
            list = std::make_unique<CDomainList>(name);
        else
            list = std::make_unique<CPatternList>(name);
        for (const std::string& written : entries) {
            std::string text;
            int kind = 0;
            ASSERT_TRUE(CPatternEntry::ParseSyntax(written, text, kind)) << written;
            list->Add(text.c_str(), kind, subjectFlags, contentFlags);
        }
        ASSERT_TRUE(m_chain->ReplaceList(which, std::move(list)));
    }

    // A message of `headers` (lines ended by LF or CRLF) and `body`; its size in the
    // store is the text's unless `size` is given.
    CMessage* Message(const std::string& headers, const std::string& body = "Hello.\r\n",
                      int size = -1) {
        std::string text;
        for (char c : headers + "\n") {
            if (c == '\n' && (text.empty() || text.back() != '\r'))
                text += '\r';
            text += c;
        }
        text += "\r\n" + body;
        m_messages.push_back(std::make_unique<CMessage>());
        CMessage* message = m_messages.back().get();
        message->SetHeader(text, -1);
        message->SetSize(size >= 0 ? size : static_cast<int>(text.size()));
        return message;
    }

    static char Tag(CMessage* message) {
        return static_cast<char>(reinterpret_cast<intptr_t>(message->GetTag()));
    }

    CTestHome m_home;
    std::unique_ptr<CFilterChain> m_chain;
    std::vector<std::unique_ptr<CMessage>> m_messages;
};
