#include "app/DirectAccounts.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "ferrymail/accounts/AccountTable.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kDirectClientKey[] = "Software\\Brevant\\Quillon\\Clients\\Direct client";

std::string RegistryError(const char* what, const std::string& path, LONG code) {
    return std::string(what) + " HKEY_CURRENT_USER\\" + path + " (registry error " +
           std::to_string(code) + ")";
}

std::string NotRegistered(const SAccountName& account) {
    return "no account " + account.KeyName() + " is registered for direct clients";
}

}  // namespace

std::string DirectAccountKeyPath(const SAccountName& account) {
    return std::string(kDirectClientKey) + "\\" + account.KeyName();
}

bool RegisterDirectAccount(const SAccountName& account, std::string& error) {
    const std::string path = DirectAccountKeyPath(account);
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, path.c_str())) {
        error = RegistryError("cannot create", path, key.GetLastResult());
        return false;
    }
    if (!key.SetValue("ServerName", account.host.c_str()) ||
        !key.SetValue("UserName", account.user.c_str()) ||
        !key.SetValue("ServerPort", account.port)) {
        error = RegistryError("cannot write", path, key.GetLastResult());
        return false;
    }
    return true;
}

bool RemoveDirectAccount(const SAccountName& account, std::string& error) {
    CRegistryKey client;
    if (!client.Open(HKEY_CURRENT_USER, kDirectClientKey)) {
        error = client.GetLastResult() == ERROR_FILE_NOT_FOUND
                    ? NotRegistered(account)
                    : RegistryError("cannot open", kDirectClientKey, client.GetLastResult());
        return false;
    }
    const std::string name = account.KeyName();
    {
        CRegistryKey existing;
        if (!existing.Open(client, name.c_str(), KEY_READ)) {
            error = existing.GetLastResult() == ERROR_FILE_NOT_FOUND
                        ? NotRegistered(account)
                        : RegistryError("cannot open", DirectAccountKeyPath(account),
                                        existing.GetLastResult());
            return false;
        }
    }
    if (!client.DeleteKey(name.c_str())) {
        error =
            RegistryError("cannot delete", DirectAccountKeyPath(account), client.GetLastResult());
        return false;
    }
    return true;
}

bool SetDirectAccountEnabled(const SAccountName& account, bool enabled, std::string& error) {
    const std::string path = DirectAccountKeyPath(account);
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, path.c_str())) {
        error = key.GetLastResult() == ERROR_FILE_NOT_FOUND
                    ? NotRegistered(account)
                    : RegistryError("cannot open", path, key.GetLastResult());
        return false;
    }
    if (!key.SetValue("IsEnabled", enabled ? 1 : 0)) {
        error = RegistryError("cannot write", path, key.GetLastResult());
        return false;
    }
    return true;
}

bool ResolveCAFile(const std::string& file, std::string& absolute, std::string& error) {
    absolute.clear();
    if (file.empty())
        return true;
    std::error_code ignored;
    const std::string path = std::filesystem::absolute(file, ignored).lexically_normal().string();
    if (!std::ifstream(path, std::ios::binary)) {
        error = "cannot read the CA file " + path;
        return false;
    }
    absolute = path;
    return true;
}

bool SetDirectAccountTLS(const SAccountName& account, const std::string& mode,
                         const std::string& absolute, bool insecure, std::string& error) {
    const std::string path = DirectAccountKeyPath(account);
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, path.c_str())) {
        error = RegistryError("cannot open", path, key.GetLastResult());
        return false;
    }
    const char* name = mode.empty() ? TLSModeName(DefaultTLSMode(account.port)) : mode.c_str();
    const bool written = key.SetValue("TLS", name) &&
                         key.SetValue("TLSInsecure", insecure ? 1 : 0) &&
                         (absolute.empty() ? (key.DeleteValue("TLSCAFile"), true)
                                           : key.SetValue("TLSCAFile", absolute.c_str()) != FALSE);
    if (!written) {
        error = RegistryError("cannot write", path, key.GetLastResult());
        return false;
    }
    return true;
}

bool SetDirectAccountSMTP(const SAccountName& account, const std::string& host, int port,
                          std::string& error) {
    const std::string path = DirectAccountKeyPath(account);
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, path.c_str())) {
        error = RegistryError("cannot open", path, key.GetLastResult());
        return false;
    }
    if (!key.SetValue("SMTPServer", host.c_str()) || !key.SetValue("SMTPServerPort", port)) {
        error = RegistryError("cannot write", path, key.GetLastResult());
        return false;
    }
    return true;
}

std::string DescribeAccounts() {
    LoadAccountTable(FALSE);
    std::vector<CAccountData*> accounts;
    EnumAccountData(
        [](CAccountData* account, void* list) {
            account->AddRef();
            static_cast<std::vector<CAccountData*>*>(list)->push_back(account);
            return 0;
        },
        &accounts);
    std::string text;
    for (CAccountData* account : accounts) {
        text += account->m_description + "  server " + account->m_serverName + " port " +
                std::to_string(account->m_serverPort) + "  TLS " +
                TLSModeName(GetServerTLSMode(account, account->m_serverPort)) +
                (account->m_tlsModeSet ? "" : " (default)") +
                (account->m_tlsInsecure ? " insecure" : "") +
                (account->m_tlsCAFile.empty() ? "" : " CA " + account->m_tlsCAFile) +
                "  filtering " + (IsAccountEnabled(account) ? "on" : "off") +
                (account->HasSMTPServer() ? "  SMTP " + account->GetSMTPServer() + " port " +
                                                std::to_string(account->GetSMTPServerPort())
                                          : "") +
                "\n";
        CRefCount::DoRelease(account);
    }
    return text.empty() ? "no accounts\n" : text;
}
