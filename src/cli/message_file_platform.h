// What the message file needs of its platform: where it is, how it is read,
// and what its `port` may name. Realised in message_file_posix.cpp (a path,
// or a pattern over /dev/serial/by-id/) and message_file_win32.cpp (a COM
// port's name).
#ifndef VFD_CLI_MESSAGE_FILE_PLATFORM_H
#define VFD_CLI_MESSAGE_FILE_PLATFORM_H

#include <string>
#include <vector>

// /etc/vfdstartup/message.conf, or %ProgramData%\vfdstartup\message.conf.
std::string DefaultMessageFilePath();

// The whole file, which must be a regular file of at most 64 KiB; false with
// a line that names it and says why.
bool ReadMessageFileText(const std::string& path, std::string* text, std::string* error);

// True only when there is surely no file at path (nothing under that name;
// a link to nothing or an unreadable file is a file that is there).
bool MessageFileAbsent(const std::string& path);

// Whether a `port` value is one the platform takes; false with why.
bool CheckPortSetting(const std::string& value, std::string* why);

// The ports a `port` value names now, in order: the path or name itself, or
// every match of a pattern (none while no such device is plugged in).
std::vector<std::u16string> PortsOfSetting(const std::string& value);

#endif  // VFD_CLI_MESSAGE_FILE_PLATFORM_H
