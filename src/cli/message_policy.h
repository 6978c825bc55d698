// The message as the machine's policy: the values Row0, Row1, Speed, Port
// (REG_SZ) and Strict (REG_DWORD) under HKLM\SOFTWARE\Policies\vfdstartup,
// which Group Policy or Intune write from the vfdstartup.admx template. When
// the key holds a row, the policy is the message and the message file is not
// read. The values follow the message file's rules (ParseMessagePolicy in
// message_file.cpp); reading them is the platform's (message_policy_win32.cpp
// reads the key; message_policy_posix.cpp: no policy).
#ifndef VFD_CLI_MESSAGE_POLICY_H
#define VFD_CLI_MESSAGE_POLICY_H

#include <string>

#include "cli/message_file.h"

// How the policy and its values are named where a person reads them.
const char PolicyKeyName[] = "HKLM\\SOFTWARE\\Policies\\vfdstartup";
const char PolicySourceName[] = "policy";

enum PolicyValueType { POLICY_ABSENT, POLICY_TEXT, POLICY_NUMBER, POLICY_OTHER_TYPE };

struct PolicyValue {
  PolicyValueType type;
  std::string text;        // POLICY_TEXT: UTF-8
  unsigned long number;    // POLICY_NUMBER
};

struct MessagePolicy {
  PolicyValue values[MESSAGE_KEYS];  // by MessageKey
};

// The value's name in the key (Row0, Row1, Speed, Port, Strict).
const char* PolicyValueName(MessageKey key);

// Whether the policy holds the message: a row is set.
bool PolicyHoldsMessage(const MessagePolicy& policy);

// The values into the message, by the message file's rules; false with
// "HKLM\SOFTWARE\Policies\vfdstartup\Speed: unknown speed '250ms' (...)".
bool ParseMessagePolicy(const MessagePolicy& policy, MessageFile* file, std::string* error);

// Platform: the key's values; false with why when the key is there but
// cannot be read. No key: true, every value POLICY_ABSENT.
bool ReadMessagePolicy(MessagePolicy* policy, std::string* error);

#endif  // VFD_CLI_MESSAGE_POLICY_H
