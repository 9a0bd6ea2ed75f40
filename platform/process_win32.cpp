// Win32 implementation of the process seam: CreateProcessW with a quoted command line, the child
// in a job object of its own.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/process.h"

namespace {

// Handles travel through the interface as integers; this is the one way back.
HANDLE win32_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

std::wstring wide_from_ansi(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const int length =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// The name part of a "NAME=VALUE" entry, with its "=", compared without case as Windows does.
std::wstring variable_of(const std::wstring& entry) {
  // Entries such as "=C:=C:\dir" keep the drive's current directory: their name starts with "=".
  const std::size_t equals = entry.find(L'=', 1);
  std::wstring name = entry.substr(0, equals == std::wstring::npos ? entry.size() : equals + 1);
  ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// This process's environment with `overrides` in place of the variables they name, as the block
// CreateProcessW takes: entries ended by a zero, the block by one more.
std::wstring environment_block(const std::vector<std::string>& overrides) {
  std::vector<std::wstring> wide_overrides;
  std::vector<std::wstring> overridden;
  for (const std::string& entry : overrides) {
    wide_overrides.push_back(wide_from_ansi(entry));
    overridden.push_back(variable_of(wide_overrides.back()));
  }
  std::wstring block;
  wchar_t* strings = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    if (std::find(overridden.begin(), overridden.end(), variable_of(entry)) == overridden.end()) {
      block.append(entry, std::wcslen(entry) + 1);
    }
  }
  if (strings != nullptr) {
    ::FreeEnvironmentStringsW(strings);
  }
  for (const std::wstring& entry : wide_overrides) {
    block.append(entry.c_str(), entry.size() + 1);
  }
  block += L'\0';
  return block;
}

// An inheritable copy of `file`, or of the null device for kNoFile, sharing its position.
HANDLE inheritable_stream(FileHandle file, bool for_reading) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (file == kNoFile) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileW(L"NUL", for_reading ? GENERIC_READ : GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  }
  if (!::DuplicateHandle(::GetCurrentProcess(), win32_handle(file), ::GetCurrentProcess(), &copy, 0,
                         TRUE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

void close_child(HANDLE process, HANDLE job) {
  ::CloseHandle(process);
  if (job != nullptr) {
    ::CloseHandle(job);
  }
}

}  // namespace

// The child gets exactly its three standard handles (a handle list), and starts suspended so that
// it is in its job object before it can start anything of its own.
bool ChildProcess::start(const ProcessOptions& options) {
  std::vector<std::wstring> arguments;
  for (const std::string& argument : options.arguments) {
    arguments.push_back(wide_from_ansi(argument));
  }
  std::wstring command_line = windows_command_line(arguments);
  std::wstring block = environment_block(options.environment);
  HANDLE streams[3] = {inheritable_stream(options.input, true),
                       inheritable_stream(options.output, false),
                       inheritable_stream(options.errors, false)};
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_memory(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  const bool streams_open = std::none_of(std::begin(streams), std::end(streams),
                                         [](HANDLE h) { return h == INVALID_HANDLE_VALUE; });
  if (streams_open && ::InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, streams,
                                    sizeof streams, nullptr, nullptr)) {
      STARTUPINFOEXW startup{};
      startup.StartupInfo.cb = sizeof startup;
      startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      startup.StartupInfo.hStdInput = streams[0];
      startup.StartupInfo.hStdOutput = streams[1];
      startup.StartupInfo.hStdError = streams[2];
      startup.lpAttributeList = list;
      PROCESS_INFORMATION process{};
      if (::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                           CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                               EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                           block.data(), nullptr, &startup.StartupInfo, &process)) {
        // The job ends with this process's handles, so that the child never outlives it.
        HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job != nullptr && (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                                          &limits, sizeof limits) ||
                               !::AssignProcessToJobObject(job, process.hProcess))) {
          ::CloseHandle(job);  // a job that may not nest: the child alone is killed at a timeout
          job = nullptr;
        }
        ::ResumeThread(process.hThread);
        ::CloseHandle(process.hThread);
        process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
        group_ = reinterpret_cast<std::intptr_t>(job);
      }
    }
    ::DeleteProcThreadAttributeList(list);
  }
  for (HANDLE stream : streams) {
    if (stream != INVALID_HANDLE_VALUE) {
      ::CloseHandle(stream);
    }
  }
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  watched_[0] = options.output;
  watched_[1] = options.errors;
  silence_ = std::chrono::milliseconds(options.silence_ms);
  last_heard_ = std::chrono::steady_clock::now();
  return process_ != -1;
}

bool ChildProcess::silent_too_long() {
  if (silence_.count() <= 0) {
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  for (int stream = 0; stream < 2; ++stream) {
    LARGE_INTEGER size{};
    if (watched_[stream] != kNoFile &&
        ::GetFileSizeEx(win32_handle(watched_[stream]), &size) != 0 &&
        size.QuadPart != watched_sizes_[stream]) {
      watched_sizes_[stream] = size.QuadPart;
      last_heard_ = now;
    }
  }
  return now - last_heard_ >= silence_;
}

int ChildProcess::wait() {
  if (process_ == -1) {
    return kProcessKilled;
  }
  // In slices of at most a tenth of a second, so that the silence bound is looked at.
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline_ - std::chrono::steady_clock::now())
                          .count();
    const auto slice = static_cast<DWORD>(std::clamp<std::int64_t>(left, 0, 100));
    const DWORD waited = ::WaitForSingleObject(win32_handle(process_), slice);
    if (waited == WAIT_OBJECT_0) {
      break;
    }
    if (waited != WAIT_TIMEOUT || left <= 100) {
      kill_and_release();
      return kProcessTimedOut;
    }
    if (silent_too_long()) {
      kill_and_release();
      return kProcessSilent;
    }
  }
  DWORD code = 0;
  const int status = ::GetExitCodeProcess(win32_handle(process_), &code) && code <= 255
                         ? static_cast<int>(code)
                         : kProcessKilled;
  close_child(win32_handle(process_), win32_handle(group_));
  process_ = -1;
  return status;
}

void ChildProcess::kill_and_release() {
  HANDLE process = win32_handle(process_);
  HANDLE job = win32_handle(group_);
  if (job == nullptr || !::TerminateJobObject(job, 1)) {
    ::TerminateProcess(process, 1);
  }
  ::WaitForSingleObject(process, INFINITE);
  close_child(process, job);
  process_ = -1;
}

void end_children_with_this_process() {}

ChildProcess::~ChildProcess() {
  if (process_ != -1) {
    kill_and_release();
  }
}
