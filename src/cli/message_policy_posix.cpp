// On Linux the message is the message file's only: there is no policy.
#include "cli/message_policy.h"

bool ReadMessagePolicy(MessagePolicy* policy, std::string*) {
  *policy = MessagePolicy();
  return true;
}
