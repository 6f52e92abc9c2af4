#include "platform.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testkit {

namespace {

// Appends what the process writes until the output holds `until` or ends,
// for at most 20 seconds; true when it ended.
template <typename Read>
bool read_output(std::string& output, const std::string& until, Read read) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buffer[4096];
  while (until.empty() || output.find(until) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const long n = read(buffer, sizeof buffer);
    if (n <= 0) return true;
    output.append(buffer, static_cast<size_t>(n));
    for (size_t cr; (cr = output.find("\r\n")) != std::string::npos;) output.erase(cr, 1);
  }
  return false;
}

}  // namespace

#if defined(_WIN32)

std::string scratch_root() { return XIPSAW_TEST_SCRATCH_DIR; }

namespace {

// One argument of a command line as the C runtime splits it again.
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

ProcessRun run_program(const std::string& program, const std::vector<std::string>& args, const std::string& until) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::string command = quoted(program);
  for (const std::string& a : args) command.append(1, ' ').append(quoted(a));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    throw std::runtime_error("cannot start " + program);
  }
  ProcessRun run;
  const bool ended = read_output(run.output, until, [read_end](char* buffer, size_t size) {
    DWORD got = 0;
    return ReadFile(read_end, buffer, static_cast<DWORD>(size), &got, nullptr) ? static_cast<long>(got) : -1L;
  });
  run.exited = WaitForSingleObject(process.hProcess, ended ? INFINITE : 0) == WAIT_OBJECT_0;
  DWORD code = 0;
  if (!run.exited) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  } else if (GetExitCodeProcess(process.hProcess, &code)) {
    run.exit_code = static_cast<int>(code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(read_end);
  return run;
}

std::string linux_program_missing(const std::string& path) {
  return "needs the Linux program " + path + ", which a Windows build cannot run";
}

std::string read_only_not_enforced() {
  return "under wine the read-only attribute is a Unix permission, which root ignores";
}

#else

std::string scratch_root() {
  const std::string system = std::filesystem::temp_directory_path().string();
  return system.find('.') == std::string::npos ? system : "/tmp";
}

ProcessRun run_program(const std::string& program, const std::vector<std::string>& args, const std::string& until) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  ProcessRun run;
  const bool ended = read_output(run.output, until, [&fds](char* buffer, size_t size) {
    return static_cast<long>(read(fds[0], buffer, size));
  });
  int status = 0;
  run.exited = waitpid(pid, &status, ended ? 0 : WNOHANG) == pid;
  if (!run.exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  }
  close(fds[0]);
  return run;
}

std::string linux_program_missing(const std::string& path) {
  return std::filesystem::exists(path) ? std::string() : "no " + path;
}

std::string read_only_not_enforced() {
  return geteuid() == 0 ? "root may open a read-only file for writing anyway" : "";
}

#endif

}  // namespace testkit
