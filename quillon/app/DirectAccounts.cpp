#include "app/DirectAccounts.h"

#include "kinbook/RegistryKey.h"

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
