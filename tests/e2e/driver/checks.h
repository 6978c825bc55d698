// Checks that report every mismatch with what was expected and what was
// seen, and count the failures for the driver's exit code.
#ifndef VFD_E2E_CHECKS_H
#define VFD_E2E_CHECKS_H

#include <string>
#include <vector>

#include "protocol_expected.h"

typedef expected::ByteList ByteList;

bool Expect(bool condition, const std::string& what);
bool ExpectText(const std::wstring& seen, const std::wstring& expected, const std::string& what);
bool ExpectTexts(const std::vector<std::wstring>& seen, const std::vector<std::wstring>& expected,
                 const std::string& what);
bool ExpectNumber(long long seen, long long expected, const std::string& what);
bool ExpectBytes(const ByteList& seen, const ByteList& expected, const std::string& what);
void Note(const std::string& text);
// A known difference of the platform the test runs on (Wine): reported, not
// counted as a failure, and never a reason to loosen a check elsewhere.
void PlatformGap(const std::string& text);
int FailureCount();

#endif  // VFD_E2E_CHECKS_H
