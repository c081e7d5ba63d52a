// The elevated second instance: the parameter text it is started with, and the title its failure
// message carries. Pure text work, so that both builds test it.
#pragma once

#include <string>
#include <string_view>

// Appends one parameter: an empty text becomes the parameter, otherwise a space separates them.
void AppendParam(std::u16string& parameters, std::u16string_view parameter);

// "/b" when backup is on; "/l" or "/r"; "/e:ANSI" (index 0), "/e:UTF16LE" (index 2) or "/e:UTF8"
// (any other index); then the file name in double quotes, so that the second instance works on
// the file the window shows. An empty name is left out: the system hosts file is then taken.
std::u16string BuildRelaunchParameters(bool backup, bool includeLocalhost, int encodingIndex,
                                       std::u16string_view fileName);

// The application title from the program's full path: the file name up to its first dot, every
// character after the first in lower case (ASCII letters).
std::u16string ApplicationTitle(std::u16string_view modulePath);
