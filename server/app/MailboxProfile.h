// A user's mailbox: the MAPI profile "mailbox_" + login holding one
// personal-folders store, MailboxPath/<login>.pst, shown as
// "Mailbox - <display name>". Made only when the administrator asks for it
// (the user list's "Postfach" button, `zeladmin mailbox`), never as a side
// effect of saving a user.
#pragma once

#include <string>

// The profile's name for `login`.
std::string MailboxProfileName(const std::string& login);

// Creates the profile and its store. False, with the reason in `message`,
// when the login cannot name a file, the profile exists already or a MAPI
// step fails; on success `message` says what was made.
bool CreateMailboxProfile(const std::string& login, const std::string& display_name, const std::string& mailbox_path,
                          std::string* message);
