#pragma once
// The run directory: the directory of the program file, without a trailing
// separator, as GBK text. The alert sound and the alert log live there.

#include <string>

#include "platform/text/Text.h"

namespace platform {

text::Text RunDirectory();
// The run directory as a file system path (UTF-8 bytes, as Linux names are).
std::string RunDirectoryPath();
// Makes the run directory the current directory. False when that failed.
bool EnterRunDirectory();
// Joins the run directory and a file name with the path separator, as GBK.
text::Text InRunDirectory(std::string_view gbkName);
// Points the run directory elsewhere (tests); an empty path restores the
// program file's directory.
void OverrideRunDirectory(const std::string& path);

// GBK path text to the file system's name bytes, and back.
std::string ToFsPath(std::string_view gbk);
text::Text FromFsPath(std::string_view fsPath);

}  // namespace platform
