// The accounts of mail clients that connect to the POP3 proxy directly (log-in name
// USER/HOST): kept in the registry under "Software\Brevant\Quillon\Clients\Direct
// client", one key "USER@HOST:PORT" each, where the account table finds them. Called on
// the main thread; the registry serialises the writes with a running proxy.
#pragma once

#include <string>

#include "app/Options.h"

// The client name the POP3 session gives a directly connecting mail client.
inline constexpr const char kDirectClientName[] = "Direct client";

// The registry path of the account's key below HKEY_CURRENT_USER.
std::string DirectAccountKeyPath(const SAccountName& account);

// Writes "ServerName", "UserName" and "ServerPort" (an existing key keeps its
// "IsEnabled"). False with `error` set when the registry cannot be written.
bool RegisterDirectAccount(const SAccountName& account, std::string& error);
// `file` (may be empty) as an absolute path; false with `error` set when it cannot be
// read, so that nothing is registered with it.
bool ResolveCAFile(const std::string& file, std::string& absolute, std::string& error);
// Writes the registered account's "TLS" (`mode`, or the port's default when empty),
// "TLSCAFile" (`caFile` as ResolveCAFile gives it; removed when empty) and
// "TLSInsecure". False with `error` set when the registry cannot be written.
bool SetDirectAccountTLS(const SAccountName& account, const std::string& mode,
                         const std::string& caFile, bool insecure, std::string& error);
// Writes the registered account's "SMTPServer" and "SMTPServerPort". False with `error`
// set when the registry cannot be written.
bool SetDirectAccountSMTP(const SAccountName& account, const std::string& host, int port,
                          std::string& error);
// One line per account of the account table: its key, server, port, TLS mode and
// whether it is filtered, and its SMTP server when one is registered.
std::string DescribeAccounts();
// Deletes the account's key. False with `error` set when there is none.
bool RemoveDirectAccount(const SAccountName& account, std::string& error);
// Sets "IsEnabled" to 1 or 0. False with `error` set when the account is not registered.
bool SetDirectAccountEnabled(const SAccountName& account, bool enabled, std::string& error);
