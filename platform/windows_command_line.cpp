// The quoting that CommandLineToArgvW and the C runtime's parser undo. Pure, and built on every
// platform, so that its tests run everywhere; only the Windows source of the process seam uses it.
#include <string>
#include <vector>

#include "platform/process.h"

namespace {

void append_quoted(std::wstring& command_line, const std::wstring& argument) {
  if (!command_line.empty()) {
    command_line += L' ';
  }
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    command_line += argument;
    return;
  }
  command_line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
      continue;
    }
    command_line.append(character == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    command_line += character;
  }
  command_line.append(backslashes * 2, L'\\');
  command_line += L'"';
}

}  // namespace

std::wstring windows_command_line(const std::vector<std::wstring>& arguments) {
  std::wstring command_line;
  for (const std::wstring& argument : arguments) {
    append_quoted(command_line, argument);
  }
  return command_line;
}
