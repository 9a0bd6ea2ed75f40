// Win32 children: CreateProcessA with standard output on an anonymous pipe.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstring>
#include <string>

#include "tests/child_process.h"

namespace {

// kill_child ends a child with this code. It has the error severity of an NTSTATUS, like the
// codes a process gets when an exception ends it (0xC0000005 and the rest); the command itself
// only ever exits with 0 or 1.
constexpr UINT kKilledExitCode = 0xC000013A;

bool ended_by_itself(DWORD exit_code) {
  return exit_code < 0xC0000000;
}

// Appends `argument` quoted the way the C runtime splits a command line back into arguments:
// inside quotes, backslashes stand for themselves except before a quote, where each one and the
// quote itself need a backslash.
void append_quoted(std::string& command_line, const std::string& argument) {
  if (!command_line.empty()) {
    command_line += ' ';
  }
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    command_line += argument;
    return;
  }
  command_line += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    command_line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    command_line += c;
  }
  command_line.append(2 * backslashes, '\\');  // they precede the closing quote
  command_line += '"';
}

// The environment block for a child: the inherited entries without the names that `options`
// set (compared as Windows compares them, ignoring case), then their entries, each ended by a zero
// byte and the block by one more. Empty when `options` set nothing: the child inherits.
std::string environment_block(const ChildOptions& options) {
  if (options.environment.empty()) {
    return {};
  }
  std::string block;
  char* inherited = ::GetEnvironmentStringsA();
  for (const char* entry = inherited; *entry != '\0'; entry += std::strlen(entry) + 1) {
    bool replaced = false;
    for (const std::string& added : options.environment) {
      const std::size_t name_end = added.find('=') + 1;
      replaced = replaced || ::_strnicmp(entry, added.c_str(), name_end) == 0;
    }
    if (!replaced) {
      block.append(entry, std::strlen(entry) + 1);
    }
  }
  ::FreeEnvironmentStringsA(inherited);
  for (const std::string& added : options.environment) {
    block.append(added.c_str(), added.size() + 1);
  }
  return block + '\0';
}

// Handles travel through the interface as integers; this is the one way back.
HANDLE win32_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

std::optional<std::string> unsupported_reason(const ChildOptions& options) {
  if (options.file_size_limit != 0) {
    return "Windows has no per-process limit on the size of the files a process writes";
  }
  if (options.tmpfs_working_directory || !options.read_only_directory.empty()) {
    return "Windows has no private mount namespaces";
  }
  if (options.user_id >= 0 || options.group_id >= 0) {
    return "Windows has no POSIX user ids to run a child as";
  }
  if (options.output != ChildOutput::kCollected || options.time_limit_seconds != 0) {
    return "the Win32 child harness only collects the output of a child, without a time limit";
  }
  return std::nullopt;
}

RunningChild start_child(const ChildOptions& options) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) {
    return {};
  }
  // Only the child's end is inherited; the parent's end must not keep the pipe open in it.
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::string command_line;
  append_quoted(command_line, options.program);
  for (const std::string& argument : options.arguments) {
    append_quoted(command_line, argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::string environment = environment_block(options);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(
      options.program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
      environment.empty() ? nullptr : environment.data(),
      options.working_directory.empty() ? nullptr : options.working_directory.c_str(), &startup,
      &process);
  ::CloseHandle(write_end);
  if (!started) {
    ::CloseHandle(read_end);
    return {};
  }
  ::CloseHandle(process.hThread);
  return {reinterpret_cast<std::intptr_t>(process.hProcess),
          reinterpret_cast<std::intptr_t>(read_end), 0};
}

void kill_child(const RunningChild& child) {
  if (child.process != -1) {
    ::TerminateProcess(win32_handle(child.process), kKilledExitCode);
  }
}

ChildResult wait_child(RunningChild& child) {
  ChildResult result;
  if (child.process == -1) {
    return result;
  }
  // The read ends with ERROR_BROKEN_PIPE once the child and everything it handed the pipe to
  // have closed it.
  char buffer[4096];
  DWORD count = 0;
  while (::ReadFile(win32_handle(child.output), buffer, sizeof buffer, &count, nullptr)) {
    result.output.append(buffer, count);
  }
  ::CloseHandle(win32_handle(child.output));
  DWORD exit_code = 0;
  if (::WaitForSingleObject(win32_handle(child.process), INFINITE) == WAIT_OBJECT_0 &&
      ::GetExitCodeProcess(win32_handle(child.process), &exit_code) && ended_by_itself(exit_code)) {
    result.exit_status = static_cast<int>(exit_code);
  }
  ::CloseHandle(win32_handle(child.process));
  child = {};
  return result;
}

ChildResult run_child(const ChildOptions& options) {
  RunningChild child = start_child(options);
  return wait_child(child);
}
