// The base of the chain's three rule filters (friendly, bad, nice): where the messages a
// filter claims go, its switches and numbers, and its counters, each kept in the filter's
// registry section "Settings\<name> Filter". Owned by the filter chain; every member is
// used under the chain's lock (CFilterChain::GetLock).
#pragma once

#include <string>
#include <vector>

#include "ferrymail/store/MessageStatus.h"

class CFilterChain;
class CMessage;

// One integer setting of a filter: its registry value name and its default.
struct SFilterSetting {
    const char* name;
    int fallback;
};

class CFilter {
public:
    // Counter indices shared by every filter; a filter's own counters follow.
    enum { kInvoked = 0, kTrue = 1 };

    // `counterNames` are the registry value names of the counters after "Invoked" and
    // "True"; `settings` those of the switches and numbers, in the filter's order.
    CFilter(CFilterChain* chain, const char* name, std::vector<const char*> counterNames,
            std::vector<SFilterSetting> settings);
    virtual ~CFilter();
    CFilter(const CFilter&) = delete;
    CFilter& operator=(const CFilter&) = delete;

    // True when the filter claims the message; it has then written its analysis note.
    virtual bool Examine(CMessage* message) = 0;
    virtual MSSTATUS GetAction() const { return m_action; }
    virtual void SetAction(MSSTATUS action) { m_action = action; }
    // Writes the action as "Action" of this filter's section.
    virtual void SaveAction();
    // Writes `action` as "Action" of "Settings\<filterName> Filter".
    virtual void WriteAction(MSSTATUS action, const char* filterName);
    virtual void LoadSettings();
    virtual void SaveSettings();
    virtual void LoadStats();
    virtual void SaveStats();
    virtual void ClearStats();

    const std::string& GetName() const { return m_name; }
    const std::string& GetSection() const { return m_section; }
    int GetCounterCount() const { return static_cast<int>(m_counters.size()); }
    int GetCounter(int index) const { return m_counters.at(index); }
    const char* GetCounterName(int index) const { return m_counterNames.at(index); }
    int GetSettingCount() const { return static_cast<int>(m_settings.size()); }
    int GetSetting(int index) const { return m_settingValues.at(index); }
    // Changes a switch or number in memory; SaveSettings writes it.
    void SetSetting(int index, int value) { m_settingValues.at(index) = value; }
    const char* GetSettingName(int index) const { return m_settings.at(index).name; }

    // "inbox" 5, "hold" and "junk" 4, "delete" 2, compared without case; anything else 5.
    static MSSTATUS ActionFromText(const std::string& text);
    // 2 "delete", 4 "hold", anything else "inbox".
    static const char* ActionText(MSSTATUS action);

protected:
    void Count(int index) { ++m_counters.at(index); }
    bool IsOn(int setting) const { return m_settingValues.at(setting) != 0; }
    // Counts kTrue and `counter`, writes the note; the message is claimed.
    bool Claim(CMessage* message, int counter, const std::string& note);

    CFilterChain* m_chain;  // not owned
    MSSTATUS m_action = MS_INBOX;

private:
    std::string m_name;
    std::string m_section;
    std::vector<const char*> m_counterNames;
    std::vector<int> m_counters;
    std::vector<SFilterSetting> m_settings;
    std::vector<int> m_settingValues;
};
