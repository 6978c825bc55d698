// The terminal's own message as its sources hold it at one moment: every
// value under the policy's key and the message file's bytes, not yet
// parsed. The service compares two of them to know whether its message
// changed (never because something was written beside the file), and status
// asks them whether any message is configured at all.
#ifndef VFD_CLI_MESSAGE_INPUTS_H
#define VFD_CLI_MESSAGE_INPUTS_H

#include <string>

struct MessageInputs {
  std::string policy;  // the policy's values, or why they cannot be read; empty: no value at all
  std::string file;    // the message file's bytes, or why it cannot be read
  bool fileAbsent;     // there is no message file
};

// The policy (message_policy.h) and the default message file, read now;
// config not empty: that file alone, as apply --config reads it.
MessageInputs ReadMessageInputs(const std::string& config);

bool SameMessageInputs(const MessageInputs& a, const MessageInputs& b);

// No policy value and no message file: there is no message to keep, which
// is not a failure.
bool NothingConfigured(const MessageInputs& inputs);

#endif  // VFD_CLI_MESSAGE_INPUTS_H
