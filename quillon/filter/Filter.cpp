#include "filter/Filter.h"

#include "filter/FilterChain.h"
#include "filter/FilterProfile.h"
#include "kinbook/foundation/RegistryBatch.h"
#include "kinbook/foundation/TextHelpers.h"

CFilter::CFilter(CFilterChain* chain, const char* name, std::vector<const char*> counterNames,
                 std::vector<SFilterSetting> settings)
    : m_chain(chain),
      m_name(name),
      m_section(std::string(kSettingsSection) + "\\" + name + " Filter"),
      m_settings(std::move(settings)) {
    m_counterNames = {"Invoked", "True"};
    m_counterNames.insert(m_counterNames.end(), counterNames.begin(), counterNames.end());
    m_counters.assign(m_counterNames.size(), 0);
    for (const SFilterSetting& setting : m_settings) m_settingValues.push_back(setting.fallback);
}

CFilter::~CFilter() = default;

MSSTATUS CFilter::ActionFromText(const std::string& text) {
    if (CompareNoCase(text.c_str(), "hold") == 0 || CompareNoCase(text.c_str(), "junk") == 0)
        return MS_HOLD;
    if (CompareNoCase(text.c_str(), "delete") == 0)
        return MS_DELETED;
    return MS_INBOX;
}

const char* CFilter::ActionText(MSSTATUS action) {
    switch (action) {
        case MS_DELETED:
            return "delete";
        case MS_HOLD:
            return "hold";
        default:
            return "inbox";
    }
}

void CFilter::SaveAction() {
    WriteAction(m_action, m_name.c_str());
}

void CFilter::WriteAction(MSSTATUS action, const char* filterName) {
    WriteProfileText(std::string(kSettingsSection) + "\\" + filterName + " Filter", "Action",
                     ActionText(action));
}

void CFilter::LoadSettings() {
    for (size_t i = 0; i < m_settings.size(); ++i)
        m_settingValues[i] = ReadProfileInt(m_section, m_settings[i].name, m_settings[i].fallback);
}

void CFilter::SaveSettings() {
    CRegistryBatch batch(HKEY_CURRENT_USER);
    for (size_t i = 0; i < m_settings.size(); ++i)
        WriteProfileInt(m_section, m_settings[i].name, m_settingValues[i]);
}

void CFilter::LoadStats() {
    for (size_t i = 0; i < m_counters.size(); ++i)
        m_counters[i] = ReadProfileInt(m_section, m_counterNames[i], 0);
}

void CFilter::SaveStats() {
    CRegistryBatch batch(HKEY_CURRENT_USER);
    for (size_t i = 0; i < m_counters.size(); ++i)
        WriteProfileInt(m_section, m_counterNames[i], m_counters[i]);
}

void CFilter::ClearStats() {
    m_counters.assign(m_counters.size(), 0);
}

bool CFilter::Claim(CMessage* message, int counter, const std::string& note) {
    m_chain->AddAnalysisNote(message, note);
    Count(counter);
    Count(kTrue);
    return true;
}
