// CZelConfig: every persistent setting of the server and of its mail
// transport, kept in the registry under the key kKey of
// HKEY_LOCAL_MACHINE. One table in ZelConfig.cpp lists the values in the order in
// which they are loaded and written; defaults, Load and Save all follow it.
//
// Start-up calls CompletePaths, Load, Save in this order, so every start
// writes the complete set of values back. The object lives on the server
// window's thread; EnableMS, which remote calls read, does not change after
// start-up and is read without a lock.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

class CZelConfig {
 public:
  static constexpr const char* kKey = "Software\\HOLLIN\\Brimwell";

  // The defaults of the table; the program folder is the folder of the
  // running executable until SetProgramFolder says otherwise.
  CZelConfig();

  // The server's home folder (`--home DIR`); CompletePaths makes it `Path`.
  void SetProgramFolder(std::string folder);
  const std::string& ProgramFolder() const { return program_folder_; }

  // Sets Path from the program folder, then fills each empty folder value
  // from its default: SpoolDir, MailboxPath, PublicFoldersPath.
  void CompletePaths();
  // Reads every value that the registry holds in a usable form, then
  // CompletePaths (whether or not the key exists).
  void Load();
  // Writes every value; a key that cannot be opened or created is reported
  // by the message box "Error writing configuration" (caption "Brimwell").
  // Returns whether the values were written.
  bool Save();

  std::string MailboxPath;
  std::string PublicFoldersPath;
  std::string SpoolDir;
  std::string DomainName;
  std::string ConnectionName;
  std::string SMTPAllowedIPs;
  std::string DNS;
  DWORD ConnectAlways = 0;
  DWORD EnableMS = 0;  // 0: remote message submission answers MAPI_E_NO_SUPPORT
  DWORD POP3Port = 110;
  DWORD SMTPPort = 25;
  DWORD StartProxy = 0;
  DWORD Autoconnect = 0;
  DWORD ManageMailboxes = 0;
  DWORD ConnectMinutes = 0;
  DWORD ConnectToInternet = 0;
  DWORD ConnectOnActivity = 0;
  DWORD UseDNS = 0;
  DWORD Postoffice = 0;
  DWORD ConnectOnSend = 0;
  DWORD ConnectOnSendImportant = 0;
  DWORD ConnectionPermanent = 0;
  DWORD DropAfterMinutes = 0;
  DWORD SMTPAuth = 0;
  std::string InstalledVersion;
  DWORD CrypWarn = 1;  // 1: the one-time notice about the encrypted users file is due
  std::string Version;
  DWORD Port = 2002;  // kept only: the remote-call endpoint is fixed
  DWORD TraceInternet = 0;
  std::string Smtp_smart_server;
  std::string Smtp_smart_username;
  std::string Smtp_smart_pwd;
  DWORD Smtp_smart_port = 0;
  DWORD Smtp_smart_use = 0;
  DWORD Smtp_smart_login = 0;
  DWORD Smtp_smart_sendFromaddr = 0;
  std::string Smtp_smart_fromaddr;
  std::string Path;  // the home folder; recomputed at every start
  DWORD MinThreads = 10;
  DWORD MaxThreads = 40;
  DWORD BackupMails = 0;
  DWORD AllowRelayAuth = 0;
  DWORD disconnect = 1;
  DWORD disconnect_after = 0;
  DWORD disconnect_immediatly = 1;
  DWORD disconnect_minutes = 5;
  DWORD EnableRecordLocking = 1;
  std::string TrustedHosts;
  DWORD EnableBetaFunctions = 0;
  std::string Postmaster;  // login name of the postmaster user
  // What one client can make the server hold.
  DWORD MaxPendingBytes = 64u << 20;      // unread result-block bytes per session
  DWORD MaxObjectsPerSession = 100000;    // objects open under one session
  DWORD MaxSessionsPerConnection = 64;    // sessions one connection may have
  DWORD MaxConnectionsPerAddress = 64;    // connections from one peer address
  DWORD MaxConnections = 1024;            // connections in total
  DWORD LogonDelayStep = 250;             // ms before the second failed logon in a row; doubles after
  DWORD StopWait = 10;                    // s a stop waits for running calls before exiting without them

 private:
  std::string program_folder_;
};
