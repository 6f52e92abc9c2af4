#include "platform.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>

#include "common/native_path.h"
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testkit {

#if defined(_WIN32)

std::string scratch_root() { return XIPSAW_TEST_SCRATCH_DIR; }

namespace {

// One argument of a command line, as the C runtime splits it again.
std::string quoted(const std::string& argument) {
  std::string q = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    q += c;
  }
  q.append(2 * backslashes, '\\');
  return q + "\"";
}

}  // namespace

struct Process::Handles {
  HANDLE process = nullptr;
  HANDLE output = nullptr;
  bool ended = false;
  int exit_code = -1;
};

Process::Process(const std::string& program, const std::vector<std::string>& args) : handles_(new Handles) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE write_end = nullptr;
  if (!CreatePipe(&handles_->output, &write_end, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(handles_->output, HANDLE_FLAG_INHERIT, 0);
  // The command line in UTF-16, as the tool takes it.
  std::string command = quoted(program);
  for (const std::string& a : args) command.append(1, ' ').append(quoted(a));
  std::wstring wide_command = xipsaw::native_path(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessW(xipsaw::native_path(program).c_str(), wide_command.data(), nullptr, nullptr, TRUE,
                                 0, nullptr, nullptr, &startup, &started);
  CloseHandle(write_end);
  if (!ok) {
    CloseHandle(handles_->output);
    throw std::runtime_error("cannot start " + program);
  }
  CloseHandle(started.hThread);
  handles_->process = started.hProcess;
}

Process::~Process() {
  stop(false);
  CloseHandle(handles_->process);
  CloseHandle(handles_->output);
}

int Process::stop(bool wait) {
  if (!handles_->ended) {
    DWORD code = 0;
    if (WaitForSingleObject(handles_->process, wait ? INFINITE : 0) != WAIT_OBJECT_0) {
      TerminateProcess(handles_->process, 1);
      WaitForSingleObject(handles_->process, INFINITE);
    } else if (GetExitCodeProcess(handles_->process, &code)) {
      handles_->exit_code = static_cast<int>(code);
    }
    handles_->ended = true;
  }
  return handles_->exit_code;
}

namespace {
long read_some(HANDLE output, char* buffer, size_t size) {
  DWORD got = 0;
  return ReadFile(output, buffer, static_cast<DWORD>(size), &got, nullptr) ? static_cast<long>(got) : -1L;
}
}  // namespace

std::string linux_program_missing(const std::string& path) {
  return "needs the Linux program " + path + ", which a Windows build cannot run";
}

void set_environment(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

std::string read_only_not_enforced() {
  return "under wine the read-only attribute is a Unix permission, which root ignores";
}

#else

std::string scratch_root() {
  const std::string system = std::filesystem::temp_directory_path().string();
  return system.find('.') == std::string::npos ? system : "/tmp";
}

struct Process::Handles {
  pid_t pid = -1;
  int output = -1;
  bool ended = false;
  int exit_code = -1;
};

Process::Process(const std::string& program, const std::vector<std::string>& args) : handles_(new Handles) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  handles_->pid = fork();
  if (handles_->pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  handles_->output = fds[0];
}

Process::~Process() {
  stop(false);
  close(handles_->output);
}

int Process::stop(bool wait) {
  if (!handles_->ended) {
    int status = 0;
    if (waitpid(handles_->pid, &status, wait ? 0 : WNOHANG) != handles_->pid) {
      kill(handles_->pid, SIGKILL);
      waitpid(handles_->pid, &status, 0);
    } else if (WIFEXITED(status)) {
      handles_->exit_code = WEXITSTATUS(status);
    }
    handles_->ended = true;
  }
  return handles_->exit_code;
}

namespace {
long read_some(int output, char* buffer, size_t size) { return static_cast<long>(read(output, buffer, size)); }
}  // namespace

std::string linux_program_missing(const std::string& path) {
  return std::filesystem::exists(path) ? std::string() : "no " + path;
}

void set_environment(const std::string& name, const std::string& value) {
  if (value.empty())
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
}

std::string read_only_not_enforced() {
  return geteuid() == 0 ? "root may open a read-only file for writing anyway" : "";
}

#endif

bool Process::read_until(const std::string& until) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buffer[4096];
  while (until.empty() || output.find(until) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const long n = read_some(handles_->output, buffer, sizeof buffer);
    if (n <= 0) return true;
    output.append(buffer, static_cast<size_t>(n));
    for (size_t cr; (cr = output.find("\r\n")) != std::string::npos;) output.erase(cr, 1);
  }
  return false;
}

ProcessRun run_program(const std::string& program, const std::vector<std::string>& args, const std::string& until) {
  Process process(program, args);
  const bool ended = process.read_until(until);
  ProcessRun run;
  run.exit_code = process.stop(ended);
  run.exited = run.exit_code >= 0;
  run.output = std::move(process.output);
  return run;
}

}  // namespace testkit
