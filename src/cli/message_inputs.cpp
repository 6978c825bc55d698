#include "cli/message_inputs.h"

#include "cli/message_file_platform.h"
#include "cli/message_policy.h"

namespace {

// Each value as its type and data, one line each, in the keys' order.
std::string PolicyText(const MessagePolicy& policy) {
  std::string text;
  for (int k = 0; k < MESSAGE_KEYS; ++k) {
    const PolicyValue& value = policy.values[k];
    if (value.type == POLICY_ABSENT) continue;
    text += std::string(PolicyValueName(MessageKey(k))) + ":" + std::to_string(value.type) + ":" + value.text + ":" +
            std::to_string(value.number) + "\n";
  }
  return text;
}

}  // namespace

MessageInputs ReadMessageInputs(const std::string& config) {
  MessageInputs inputs = {"", "", false};
  MessagePolicy policy;
  std::string error;
  if (config.empty()) inputs.policy = ReadMessagePolicy(&policy, &error) ? PolicyText(policy) : "unreadable: " + error;
  std::string path = config.empty() ? DefaultMessageFilePath() : config;
  if (!ReadMessageFileText(path, &inputs.file, &error)) inputs.file = "unreadable: " + error;
  inputs.fileAbsent = MessageFileAbsent(path);
  return inputs;
}

bool SameMessageInputs(const MessageInputs& a, const MessageInputs& b) {
  return a.policy == b.policy && a.file == b.file && a.fileAbsent == b.fileAbsent;
}

bool NothingConfigured(const MessageInputs& inputs) { return inputs.policy.empty() && inputs.fileAbsent; }
